#include "Settings.h"
#include "SettingsFolder.h"

#include "Descriptor.h"
#include "Failure.h"
#include "Paths.h"

#include <QFileInfo>
#include <QSettings>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

namespace {

// A settings file is a few lines; anything bigger is not ours to read into memory.
constexpr qint64 kMaxSettingsBytes = 1 << 20;
constexpr auto kNotRead = "The settings file %1 cannot be read: %2";

// What stands at the settings' name is no file of settings we read; the words say what it is.
class Unreadable : public Failure {
  public:
    using Failure::Failure;
};

// What stands at the name: the bytes of a regular file of sane size, never through a link and
// never waiting on a FIFO or a device; none when nothing stands there. Anything else throws
// Unreadable. `st` is what was found.
QByteArray currentBytes(int folder, const QByteArray& name, struct stat& st) {
    st = {};
    const UniqueFd held(::openat(folder, name.constData(),
                                 O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    const int fd = held.get();
    if (fd < 0 && errno == ENOENT)
        return {};
    if (fd < 0)
        throw Unreadable(errno == ELOOP ? QStringLiteral("it is a link.") : errnoText(errno) + '.');
    if (::fstat(fd, &st) != 0)
        throw Unreadable(errnoText(errno) + '.');
    if (!S_ISREG(st.st_mode))
        throw Unreadable(QStringLiteral("it is not a file."));
    if (st.st_size > kMaxSettingsBytes)
        throw Unreadable(QStringLiteral("it is larger than %1 KiB.").arg(kMaxSettingsBytes >> 10));
    QByteArray bytes(qsizetype(st.st_size), '\0');
    const ssize_t done = readAll(fd, bytes.data(), std::size_t(bytes.size()));
    // Part of the file, or none of it, is not the settings it holds.
    if (done < 0)
        throw Unreadable(errnoText(errno) + '.');
    if (done != st.st_size)
        throw Unreadable(QStringLiteral("it changed while it was being read."));
    return bytes;
}

// QSettings keeps what it parsed by path for as long as the file's size and time stay the
// same, and our paths through /proc/self/fd come back with every descriptor number: each file
// it is given gets a time of its own, so that it never answers from another's content.
bool freshTime(int fd) {
    static std::atomic<long> next{1};
    const struct timespec times[2] = {{0, UTIME_OMIT}, {next++, 0}};
    return ::futimens(fd, times) == 0;
}

// QSettings reads only files it names itself: the bytes read are handed to it through an
// anonymous file, so that nothing is read twice by name.
class InMemory {
  public:
    explicit InMemory(const QByteArray& bytes) : fd_(::memfd_create("settings", MFD_CLOEXEC)) {
        if (!fd_.valid() || !writeAll(fd_.get(), bytes.constData(), std::size_t(bytes.size())) ||
            !freshTime(fd_.get()))
            fail(QStringLiteral("The settings cannot be read: %1").arg(errnoText(errno)));
    }
    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd_.get()); }

  private:
    UniqueFd fd_;
};

// What QSettings makes of what it was given: false when that is no settings at all. It tells
// only once it has read every key; one key's value leaves the status as it was.
bool readsAsSettings(QSettings& settings) {
    settings.allKeys();
    return settings.status() != QSettings::FormatError;
}

bool holdsSettings(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return true;
    const InMemory copy(bytes);
    QSettings settings(copy.path(), QSettings::IniFormat);
    return readsAsSettings(settings);
}

// What stands at the name, no settings, is kept as it is beside a fresh start, so that the two
// files are remembered again; what the person is told of it is thrown.
[[noreturn]] void keepAsideAtStart(const QString& file, const struct stat& seen) {
    QString aside;
    try {
        aside = SettingsFolder(file, kLockWaitMs).keepAside(seen);
    } catch (const std::exception&) {
        fail(QStringLiteral("The settings file %1 holds something other than settings.")
                 .arg(shownName(file)));
    }
    failPlainly(QStringLiteral("The settings file %1 held something other than settings. "
                               "Blendora kept it as %2 and starts a fresh one.")
                    .arg(shownName(file), shownName(aside)));
}

} // namespace

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue) {
    const QString file = settingsFile(appName);
    if (file.isEmpty())
        return defaultValue;
    const UniqueFd folder(::open(nativePath(QFileInfo(file).absolutePath()).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return defaultValue;
    struct stat seen {};
    QByteArray bytes;
    try {
        bytes = currentBytes(folder.get(), nativePath(QFileInfo(file).fileName()), seen);
    } catch (const Unreadable& e) {
        fail(QString::fromLatin1(kNotRead).arg(shownName(file), describe(e)));
    }
    if (bytes.isEmpty())
        return defaultValue;
    const InMemory copy(bytes);
    QSettings settings(copy.path(), QSettings::IniFormat);
    if (!readsAsSettings(settings))
        keepAsideAtStart(file, seen);
    return settings.value(section + QLatin1Char('/') + key, defaultValue).toString();
}

namespace {

// The new settings for `file` as a file in the scratch folder: what it held, the one key changed,
// never a file that the next start would refuse to read, and in the mode the person chose.
void writeScratchCopy(int scratch, const QByteArray& bytes, const QString& entry,
                      const QString& value, const struct stat& before, const QString& file) {
    {
        UniqueFd start(::openat(scratch, "settings.ini",
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!start.valid() ||
            !writeAll(start.get(), bytes.constData(), std::size_t(bytes.size())) ||
            !freshTime(start.get()) || !start.close())
            notWritten(file, errnoText(errno ? errno : EIO, QFileInfo(file).absolutePath()) + '.');
    }
    {
        QSettings settings(QStringLiteral("/proc/self/fd/%1/settings.ini").arg(scratch),
                           QSettings::IniFormat);
        settings.setValue(entry, value);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            notWritten(file, QStringLiteral("the file could not be saved."));
    }
    struct stat made {};
    if (::fstatat(scratch, "settings.ini", &made, AT_SYMLINK_NOFOLLOW) != 0)
        notWritten(file, errnoText(errno) + '.');
    if (made.st_size > kMaxSettingsBytes)
        notWritten(file, QStringLiteral("it would grow past %1 KiB.").arg(kMaxSettingsBytes >> 10));
    // The person may have opened the file to others, or closed it further: theirs to choose.
    if (S_ISREG(before.st_mode) && (before.st_mode & 0777) != 0600 &&
        ::fchmodat(scratch, "settings.ini", before.st_mode & 0777, 0) != 0)
        notWritten(file, errnoText(errno) + '.');
}

// What the person should know of a write that reached the file: what stood there before was
// kept aside (`aside`), or was replaced (`odd`, why it could not be read).
QString writtenOver(const QString& file, const QString& aside, const QString& odd) {
    if (!aside.isEmpty())
        return QStringLiteral("The settings file %1 held something other than settings. Blendora "
                              "kept it as %2 and has started a fresh one, to remember the two "
                              "files.")
            .arg(shownName(file), shownName(aside));
    if (!odd.isEmpty())
        return QStringLiteral("The settings file %1 held something other than settings. Blendora "
                              "has rewritten it, to remember the two files.")
            .arg(shownName(file));
    return QString();
}

} // namespace

QString SaveSetting(const QString& appName, const QString& section, const QString& key,
                    const QString& value, int lockWaitMs) {
    const QString file = settingsFile(appName);
    if (file.isEmpty())
        fail(QStringLiteral("The settings cannot be saved: neither HOME nor XDG_CONFIG_HOME is "
                            "set."));
    SettingsFolder folder(file, lockWaitMs);
    const QByteArray& name = folder.name();

    QString odd;
    struct stat before {};
    QByteArray bytes;
    try {
        bytes = currentBytes(folder.fd(), name, before);
    } catch (const Unreadable& e) {
        odd = describe(e);
    }
    // What could not be read is not replaced by a file that lacks its keys.
    if (S_ISREG(before.st_mode) && !odd.isEmpty())
        notWritten(file, odd.chopped(1) + QStringLiteral(", and Blendora leaves what it cannot "
                                                         "read as it is."));
    // A file its owner made read-only is not ours to replace.
    if (odd.isEmpty() && before.st_nlink != 0 &&
        ::faccessat(folder.fd(), name.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        notWritten(file, errnoText(errno) + '.');
    QString aside;
    if (!holdsSettings(bytes)) {
        aside = folder.keepAside(before);
        bytes.clear();
    }
    // QSettings writes through links: it works on a copy in a private folder beside the file,
    // reached through that folder's descriptor, and the copy is renamed over the name, replacing
    // whatever stands there.
    const int scratch = folder.makeScratch();
    writeScratchCopy(scratch, bytes, section + QLatin1Char('/') + key, value, before, file);
    if (::renameat(scratch, "settings.ini", folder.fd(), name.constData()) != 0)
        notWritten(file, errnoText(errno) + '.');
    return writtenOver(file, aside, odd);
}

} // namespace blendora
