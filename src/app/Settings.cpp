#include "Settings.h"

#include "AppTitle.h"
#include "Descriptor.h"
#include "Failure.h"
#include "Folders.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "Prompts.h"
#include "WorkFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

// Thrown with the person's words when the settings file `file` cannot be written.
[[noreturn]] void notWritten(const QString& file, const QString& why) {
    fail(QString::fromLatin1(kNotWritten).arg(shownName(file), why));
}

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

// Nearest folder on the way to `path` that exists.
QString nearestFolder(QString folder, struct stat& st) {
    while (::stat(nativePath(folder).constData(), &st) != 0 && folder != QStringLiteral("/"))
        folder = QFileInfo(folder).absolutePath();
    return folder;
}

// For root: the first folder or link on the way to `path` that others control, judged without
// following links (a link in someone's HOME may point into root's own folders). A link's own
// modes mean nothing; only its owner counts.
QString anotherUsersOnTheWay(QString at) {
    for (at = QDir::cleanPath(at);; at = QFileInfo(at).absolutePath()) {
        struct stat st;
        if (::lstat(nativePath(at).constData(), &st) == 0 &&
            othersControl(st.st_uid, st.st_gid, S_ISLNK(st.st_mode) ? 0 : st.st_mode))
            return at;
        if (at == QStringLiteral("/"))
            return QString();
    }
}

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

// The settings folder, held, and the lock that two copies of the program take across read,
// change and rename, so that each write changes only its own key. A scratch folder found while
// the lock is held was left by a copy that ended before it could remove it.
class SettingsFolder {
  public:
    // Throws, in the words of a file that cannot be written, when the folder cannot be held.
    SettingsFolder(const QString& file, int waitMs)
        : file_(file), path_(QFileInfo(file).absolutePath()),
          name_(nativePath(QFileInfo(file).fileName())) {
        try {
            hold(waitMs);
        } catch (...) {
            release();
            throw;
        }
    }
    ~SettingsFolder() { release(); }
    SettingsFolder(const SettingsFolder&) = delete;
    SettingsFolder& operator=(const SettingsFolder&) = delete;

    int fd() const { return fd_.get(); }
    const QByteArray& name() const { return name_; }
    const QString& path() const { return path_; }

    // A private folder beside the file, removed by whatever ends the program meanwhile. Its
    // name goes into the lock file before the folder is made: that record is what proves a
    // folder left there by a killed copy ours. Throws when it cannot be made.
    int makeScratch() {
        const SignalsHeld untilRecorded;
        QByteArray name = "." + name_ + "-XXXXXX";
        const int made = makePrivateFolder(fd_.get(), name.data(),
                                           [&](const char* next) { return record(next); });
        UniqueFd scratch = made == 0 ? openFolderAt(fd_.get(), name.constData()) : UniqueFd();
        if (!scratch.valid())
            notWritten(file_, errnoText(errno ? errno : EIO, path_) + '.');
        scratch_ = std::move(scratch);
        scratchName_ = name;
        armEnd(EndSlot::Settings, EndTask::Scratch, fd_.get(), scratch_.get(),
               scratchName_.constData());
        return scratch_.get();
    }

    // Moves what stands at the name, no settings, to a name of its own beside it, without
    // replacing anything; answers that name, and throws when it could not.
    QString keepAside(const struct stat& seen) {
        const bool same = namesFile(fd_.get(), name_.constData(), seen.st_dev, seen.st_ino);
        for (int n = 1; same && n < 10; ++n) {
            const QByteArray aside = name_ + ".broken" + (n > 1 ? "-" + QByteArray::number(n) : "");
            if (::renameat2(fd_.get(), name_.constData(), fd_.get(), aside.constData(),
                            RENAME_NOREPLACE) == 0)
                return path_ + QLatin1Char('/') + QFile::decodeName(aside);
            if (errno == EINVAL &&
                ::linkat(fd_.get(), name_.constData(), fd_.get(), aside.constData(), 0) == 0) {
                ::unlinkat(fd_.get(), name_.constData(), 0);
                return path_ + QLatin1Char('/') + QFile::decodeName(aside);
            }
            if (errno != EEXIST)
                break;
        }
        notWritten(file_, QStringLiteral("it holds something other than settings, and it could "
                                         "not be kept aside."));
    }

  private:
    // The lock file holds the name of the scratch folder of the write under way, or nothing.
    // Only a lock file of ours that we hold is written or believed.
    bool record(const QByteArray& scratch) {
        if (!locked_)
            return true;
        return ::ftruncate(lock_.get(), 0) == 0 &&
               writeAll(lock_.get(), scratch.constData(), std::size_t(scratch.size()), 0);
    }

    [[noreturn]] void refuse(const QString& why) const { notWritten(file_, why); }

    void hold(int waitMs) {
        struct stat st;
        // Root with another user's HOME (an old sudo keeps it) leaves that user's files alone.
        const auto theirs = [&](const QString& folder) {
            refuse(QStringLiteral("%1 belongs to another user or others may change it, and "
                                  "Blendora run as root does not write there.")
                       .arg(shownName(folder)));
        };
        if (::geteuid() == 0)
            if (const QString folder = anotherUsersOnTheWay(path_); !folder.isEmpty())
                theirs(folder);
        if (!QDir().mkpath(path_)) {
            const QString at = nearestFolder(path_, st);
            refuse(S_ISDIR(st.st_mode) ? errnoText(EACCES, at) + '.'
                                       : errnoText(ENOTDIR, at) + '.');
        }
        fd_.reset(::open(nativePath(path_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd_.valid())
            refuse(errnoText(errno, path_) + '.');
        if (::geteuid() == 0 && (::fstat(fd_.get(), &st) != 0 || st.st_uid != 0))
            theirs(path_);
        const QByteArray lockName = name_ + ".lock";
        lock_.reset(::openat(fd_.get(), lockName.constData(),
                             O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                             0600));
        struct stat lockStat {};
        if (!lock_.valid() || ::fstat(lock_.get(), &lockStat) != 0 || !S_ISREG(lockStat.st_mode))
            refuse(QStringLiteral("its lock %1 cannot be used: %2.")
                       .arg(QFile::decodeName(lockName), !lock_.valid()
                                                             ? errnoText(errno)
                                                             : QStringLiteral("it is not a file")));
        // Another copy holds it for a few milliseconds; far longer, it hangs on a slow disk or
        // something else holds it, and the window must not wait on it.
        for (int waited = 0; ::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0; waited += 10) {
            // A file system that cannot lock (some FUSE ones) leaves copies to the last rename,
            // as before there was a lock; nor can a scratch folder there be told stale.
            if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL)
                return;
            if (errno != EWOULDBLOCK)
                refuse(QStringLiteral("its lock %1 cannot be taken: %2.")
                           .arg(QFile::decodeName(lockName), errnoText(errno)));
            if (waited >= waitMs)
                throw LockBusy(
                    QString::fromLatin1(kNotWritten)
                        .arg(shownName(path_ + QLatin1Char('/') + QFile::decodeName(name_)),
                             QStringLiteral("another program holds its lock %1.")
                                 .arg(QFile::decodeName(lockName))));
            ::usleep(10000);
        }
        // Only a lock file as we make it is written into or believed: ours, of one name, closed
        // to others. A second name of a file of the person's (a link another user put in a shared
        // folder), or a file anyone may write, is no lock of ours.
        locked_ = lockStat.st_uid == ::geteuid() && lockStat.st_nlink == 1 &&
                  (lockStat.st_mode & 077) == 0;
        removeStaleScratch();
    }

    void release() {
        if (scratch_.valid()) {
            removeHeldFolder(fd_.get(), scratchName_.constData(), scratch_.get());
            disarmEnd(EndSlot::Settings);
            scratch_.reset();
            record({});
        }
        lock_.reset();
        fd_.reset();
    }

    // Only the folder the lock file names was ours: a look-alike name beside it may be the
    // person's own (a backup of the settings), and stays with what it holds.
    void removeStaleScratch() {
        if (!locked_)
            return;
        char held[64];
        const ssize_t got = readAll(lock_.get(), held, sizeof held, 0);
        const QByteArray name(held, got > 0 ? qsizetype(got) : 0);
        if (name.isEmpty())
            return;
        if (isScratchName(name)) {
            const UniqueFd scratch = openFolderAt(fd_.get(), name.constData());
            struct stat st;
            if (scratch.valid() && ::fstat(scratch.get(), &st) == 0 && st.st_uid == ::geteuid())
                removeHeldFolder(fd_.get(), name.constData(), scratch.get());
        }
        record({});
    }

    bool isScratchName(const QByteArray& name) const {
        const QByteArray prefix = "." + name_ + "-";
        return name.startsWith(prefix) && name.size() == prefix.size() + 6 &&
               drawnLetters(name.constData() + prefix.size(), 6);
    }

    QString file_, path_;
    QByteArray name_, scratchName_;
    UniqueFd fd_, lock_, scratch_;
    bool locked_ = false; // the lock is ours and held, so its record may be trusted
};

} // namespace

namespace {

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

void RemoveStaleSettingsScratch(const QString& appName) {
    const QString file = settingsFile(appName);
    if (file.isEmpty() || !QFileInfo(QFileInfo(file).absolutePath()).isDir())
        return;
    try {
        // Another copy at work has the lock, and sweeps after itself.
        const SettingsFolder held(file, 0);
    } catch (const Failure&) {
        // Nothing to sweep where nothing can be written.
    }
}

void StayOutOfAnotherUsersHome() {
    if (::geteuid() != 0 || qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") ||
        qEnvironmentVariableIsEmpty("HOME") ||
        anotherUsersOnTheWay(qEnvironmentVariable("HOME")).isEmpty())
        return;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")))
        return;
    // Without a bus, D-Bus would start one of root's and note it in that user's ~/.dbus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
}

QString ToolkitSettingsFolder() {
    const QString file = settingsFile(kMakerName);
    const QString folder = file.isEmpty() ? QString() : QFileInfo(file).absolutePath();
    if (folder.isEmpty())
        return QString();
    struct stat st;
    nearestFolder(folder, st);
    // A sticky folder open to all still takes anyone's new names, a link among them.
    if (othersControl(st.st_uid, st.st_gid, st.st_mode & ~S_ISVTX) ||
        !anotherUsersOnTheWay(folder).isEmpty())
        return QString();
    return folder;
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
    prompts_ = &prompts;
    pending_.insert(key, value);
    flush();
}

// Every value not yet stored, newest first for its key. A lock that stays busy is waited for
// once; after that each try takes no time, and a timer tries again until it is free.
void SettingsStore::flush() {
    QString notice;
    for (auto it = pending_.begin(); it != pending_.end();) {
        try {
            notice = SaveSetting(kMakerName, kProductTitle, it.key(), it.value(),
                                 busy_ ? 0 : kLockWaitMs);
            busy_ = false;
        } catch (const LockBusy& e) {
            if (!std::exchange(busy_, true))
                notice = describe(e) + QStringLiteral("\r\rBlendora goes on working, and "
                                                      "remembers the two files once it is free.");
            break;
        } catch (const std::exception& e) {
            notice = describe(e) + QStringLiteral("\r\rBlendora goes on working, but cannot "
                                                  "remember the two files for its next start.");
        } catch (...) {
            notice = QStringLiteral("The settings cannot be saved.");
        }
        it = pending_.erase(it);
    }
    if (!pending_.isEmpty() && !retry_.isActive())
        retry_.start(1000);
    if (notice.isEmpty() || told_ || !prompts_)
        return;
    told_ = true;
    // Told from the fields' change handlers, at a key the person typed: the keys after it
    // belong to the field.
    prompts_->notice(notice, appTitle());
}

} // namespace blendora
