#include "Settings.h"

#include "AppTitle.h"
#include "Failure.h"
#include "Paths.h"
#include "Prompts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

namespace {

// A settings file is a few lines; anything bigger is not ours to read into memory.
constexpr qint64 kMaxSettingsBytes = 1 << 20;
constexpr auto kNotWritten = "The settings file %1 cannot be written: %2";
constexpr auto kNotRead = "The settings file %1 cannot be read: %2";

// The file QSettings would use, worked out without reading it. Empty without a home.
QString settingsFile(const QString& appName) {
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME") && qEnvironmentVariableIsEmpty("HOME"))
        return QString();
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1Char('/') + appName + QStringLiteral(".ini");
}

// What stands at the name: the bytes of a regular file of sane size, never through a link and
// never waiting on a FIFO or a device. `why` says why there are none; empty when none stand.
QByteArray currentBytes(int folder, const QByteArray& name, QString& why,
                        struct stat* st = nullptr) {
    struct stat own {};
    st = st ? st : &own;
    const int fd = ::openat(folder, name.constData(),
                            O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            why = errno == ELOOP ? QStringLiteral("it is a link.") : errnoText(errno) + '.';
        return {};
    }
    QByteArray bytes;
    if (::fstat(fd, st) != 0)
        why = errnoText(errno) + '.';
    else if (!S_ISREG(st->st_mode))
        why = QStringLiteral("it is not a file.");
    else if (st->st_size > kMaxSettingsBytes)
        why = QStringLiteral("it is larger than %1 KiB.").arg(kMaxSettingsBytes >> 10);
    else {
        bytes.resize(qsizetype(st->st_size));
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, std::size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        bytes.truncate(done);
    }
    ::close(fd);
    return why.isEmpty() ? bytes : QByteArray();
}

// QSettings reads only files it names itself: the bytes read are handed to it through an
// anonymous file, so that nothing is read twice by name.
class InMemory {
  public:
    explicit InMemory(const QByteArray& bytes) : fd_(::memfd_create("settings", MFD_CLOEXEC)) {
        if (fd_ < 0 || ::write(fd_, bytes.constData(), std::size_t(bytes.size())) != bytes.size())
            fail(QStringLiteral("The settings cannot be read: %1").arg(errnoText(errno)));
    }
    ~InMemory() { ::close(fd_); }
    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd_); }

  private:
    int fd_;
};

// Nearest folder on the way to `path` that exists.
QString nearestFolder(QString folder, struct stat& st) {
    while (::stat(nativePath(folder).constData(), &st) != 0 && folder != QStringLiteral("/"))
        folder = QFileInfo(folder).absolutePath();
    return folder;
}

} // namespace

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue) {
    const QString file = settingsFile(appName);
    if (file.isEmpty())
        return defaultValue;
    const int folder = ::open(nativePath(QFileInfo(file).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return defaultValue;
    QString why;
    const QByteArray bytes = currentBytes(folder, nativePath(QFileInfo(file).fileName()), why);
    ::close(folder);
    if (!why.isEmpty())
        fail(QString::fromLatin1(kNotRead).arg(file, why));
    if (bytes.isEmpty())
        return defaultValue;
    const InMemory copy(bytes);
    QSettings settings(copy.path(), QSettings::IniFormat);
    if (settings.status() == QSettings::FormatError)
        fail(QStringLiteral("The settings file %1 cannot be read.").arg(file));
    return settings.value(section + QLatin1Char('/') + key, defaultValue).toString();
}

QString SaveSetting(const QString& appName, const QString& section, const QString& key,
                    const QString& value) {
    const QString file = settingsFile(appName);
    const auto notWritten = [&](const QString& why) {
        fail(QString::fromLatin1(kNotWritten).arg(file, why));
    };
    if (file.isEmpty())
        fail(QStringLiteral("The settings cannot be saved: neither HOME nor XDG_CONFIG_HOME is "
                            "set."));
    const QString folderPath = QFileInfo(file).absolutePath();
    struct stat st;
    const QString nearest = nearestFolder(folderPath, st);
    // Root with another user's HOME (an old sudo keeps it) leaves that user's files alone.
    if (::geteuid() == 0 && st.st_uid != 0)
        notWritten(QStringLiteral("%1 belongs to another user, and Blendora run as root does not "
                                  "write there.")
                       .arg(nearest));
    if (!QDir().mkpath(folderPath)) {
        const QString at = nearestFolder(folderPath, st);
        notWritten(S_ISDIR(st.st_mode) ? errnoText(EACCES, at) + '.'
                                       : errnoText(ENOTDIR, at) + '.');
    }
    const int folder =
        ::open(nativePath(folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        notWritten(errnoText(errno, folderPath) + '.');
    const auto closeFolder = qScopeGuard([folder] { ::close(folder); });
    const QByteArray name = nativePath(QFileInfo(file).fileName());

    QString odd;
    struct stat before {};
    const QByteArray bytes = currentBytes(folder, name, odd, &before);
    // A file its owner made read-only is not ours to replace.
    if (odd.isEmpty() && before.st_nlink != 0 &&
        ::faccessat(folder, name.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        notWritten(errnoText(errno) + '.');
    // QSettings writes through links: it works on a copy in a private folder beside the file,
    // and that copy is renamed over the name, replacing whatever stands there.
    QTemporaryDir scratch(folderPath + QLatin1Char('/') + QLatin1Char('.') +
                          QFile::decodeName(name) + QStringLiteral("-XXXXXX"));
    const QString copy = scratch.filePath(QStringLiteral("settings.ini"));
    QFile start(copy);
    if (!scratch.isValid() || !start.open(QIODevice::WriteOnly) ||
        start.write(bytes) != bytes.size() || !start.flush())
        notWritten(errnoText(errno ? errno : EIO, folderPath) + '.');
    start.close();
    bool heldSettings = true;
    {
        QSettings settings(copy, QSettings::IniFormat);
        heldSettings = settings.status() != QSettings::FormatError;
        if (!heldSettings)
            settings.clear();
        settings.setValue(section + QLatin1Char('/') + key, value);
        settings.sync();
        if (settings.status() != QSettings::NoError && heldSettings)
            notWritten(QStringLiteral("the file could not be saved."));
    }
    if (::renameat(AT_FDCWD, nativePath(copy).constData(), folder, name.constData()) != 0)
        notWritten(errnoText(errno) + '.');
    if (!odd.isEmpty() || !heldSettings)
        return QStringLiteral("The settings file %1 held something other than settings. Blendora "
                              "has rewritten it, to remember the two files.")
            .arg(file);
    return QString();
}

QString SettingsStore::read(const QString& key) {
    try {
        return GetSetting(kMakerName, kProductTitle, key);
    } catch (...) {
        if (told_)
            return QString();
        told_ = true;
        throw;
    }
}

void SettingsStore::write(Prompts& prompts, const QString& key, const QString& value) {
    QString notice;
    try {
        notice = SaveSetting(kMakerName, kProductTitle, key, value);
    } catch (const std::exception& e) {
        notice = describe(e) + QStringLiteral("\r\rBlendora goes on working, but cannot "
                                              "remember the two files for its next start.");
    } catch (...) {
        notice = QStringLiteral("The settings cannot be saved.");
    }
    if (notice.isEmpty() || told_)
        return;
    told_ = true;
    prompts.message(notice, appTitle());
}

} // namespace blendora
