#include "SettingsFolder.h"

#include "Failure.h"
#include "Folders.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "Settings.h"
#include "WorkFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace blendora {

QString settingsFile(const QString& appName) {
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME") && qEnvironmentVariableIsEmpty("HOME"))
        return QString();
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1Char('/') + appName + QStringLiteral(".ini");
}

void notWritten(const QString& file, const QString& why) {
    fail(QString::fromLatin1(kNotWritten).arg(shownName(file), why));
}

SettingsFolder::SettingsFolder(const QString& file, int waitMs)
    : file_(file), path_(QFileInfo(file).absolutePath()),
      name_(nativePath(QFileInfo(file).fileName())) {
    try {
        hold(waitMs);
    } catch (...) {
        release();
        throw;
    }
}

int SettingsFolder::makeScratch() {
    const SignalsHeld untilRecorded;
    QByteArray name = "." + name_ + "-XXXXXX";
    const int made =
        makePrivateFolder(fd_.get(), name.data(), [&](const char* next) { return record(next); });
    UniqueFd scratch = made == 0 ? openFolderAt(fd_.get(), name.constData()) : UniqueFd();
    if (!scratch.valid())
        notWritten(file_, errnoText(errno ? errno : EIO, path_) + '.');
    scratch_ = std::move(scratch);
    scratchName_ = name;
    armEnd(EndSlot::Settings, EndTask::Scratch, fd_.get(), scratch_.get(),
           scratchName_.constData());
    return scratch_.get();
}

QString SettingsFolder::keepAside(const struct stat& seen) {
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

bool SettingsFolder::record(const QByteArray& scratch) {
    if (!locked_)
        return true;
    return ::ftruncate(lock_.get(), 0) == 0 &&
           writeAll(lock_.get(), scratch.constData(), std::size_t(scratch.size()), 0);
}

void SettingsFolder::hold(int waitMs) {
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
        refuse(S_ISDIR(st.st_mode) ? errnoText(EACCES, at) + '.' : errnoText(ENOTDIR, at) + '.');
    }
    fd_.reset(::open(nativePath(path_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_.valid())
        refuse(errnoText(errno, path_) + '.');
    if (::geteuid() == 0 && (::fstat(fd_.get(), &st) != 0 || st.st_uid != 0))
        theirs(path_);
    const QByteArray lockName = name_ + ".lock";
    lock_.reset(::openat(fd_.get(), lockName.constData(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    struct stat lockStat {};
    if (!lock_.valid() || ::fstat(lock_.get(), &lockStat) != 0 || !S_ISREG(lockStat.st_mode))
        refuse(QStringLiteral("its lock %1 cannot be used: %2.")
                   .arg(QFile::decodeName(lockName),
                        !lock_.valid() ? errnoText(errno) : QStringLiteral("it is not a file")));
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
            throw LockBusy(QString::fromLatin1(kNotWritten)
                               .arg(shownName(path_ + QLatin1Char('/') + QFile::decodeName(name_)),
                                    QStringLiteral("another program holds its lock %1.")
                                        .arg(QFile::decodeName(lockName))));
        ::usleep(10000);
    }
    // Only a lock file as we make it is written into or believed: ours, of one name, closed
    // to others. A second name of a file of the person's (a link another user put in a shared
    // folder), or a file anyone may write, is no lock of ours.
    locked_ =
        lockStat.st_uid == ::geteuid() && lockStat.st_nlink == 1 && (lockStat.st_mode & 077) == 0;
    removeStaleScratch();
}

void SettingsFolder::release() {
    if (scratch_.valid()) {
        removeHeldFolder(fd_.get(), scratchName_.constData(), scratch_.get());
        disarmEnd(EndSlot::Settings);
        scratch_.reset();
        record({});
    }
    lock_.reset();
    fd_.reset();
}

void SettingsFolder::removeStaleScratch() {
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

bool SettingsFolder::isScratchName(const QByteArray& name) const {
    const QByteArray prefix = "." + name_ + "-";
    return name.startsWith(prefix) && name.size() == prefix.size() + 6 &&
           drawnLetters(name.constData() + prefix.size(), 6);
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

} // namespace blendora
