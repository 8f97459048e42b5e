#include "JobFolder.h"

#include "Failure.h"
#include "Paths.h"
#include "ProgramEnd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace blendora {

namespace {
const QString kPrefix = QStringLiteral("blendora-job-");
}

void JobFolder::create() {
    remove();
    QString parent = temporaryFolder();
    while (parent.size() > 1 && parent.endsWith(QLatin1Char('/')))
        parent.chop(1);
    QByteArray name =
        nativePath(parent + QLatin1Char('/') + kPrefix +
                   QString::number(QCoreApplication::applicationPid()) + QStringLiteral("-XXXXXX"));
    if (!::mkdtemp(name.data()))
        failErrno(errno, QFile::decodeName(name));
    path_ = QFile::decodeName(name);
    if (!path_.startsWith(QLatin1Char('/')))
        path_ = QDir::currentPath() + QLatin1Char('/') + path_;
    lock_ = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (lock_ < 0 || ::flock(lock_, LOCK_SH) != 0) {
        const int error = errno;
        remove();
        failErrno(error, QFile::decodeName(name));
    }
    armEndCleanup();
}

void JobFolder::armEndCleanup() {
    const QString folder = path_;
    setEndCleanup([folder] { QDir(folder).removeRecursively(); });
}

QString JobFolder::file(const QString& name) const {
    return path_.isEmpty() ? QString() : path_ + QLatin1Char('/') + name;
}

void JobFolder::remove() {
    if (path_.isEmpty())
        return;
    QDir(path_).removeRecursively();
    setEndCleanup({});
    path_.clear();
    if (lock_ >= 0)
        ::close(lock_);
    lock_ = -1;
}

namespace {

// The file a killed job left beside its output: removed only while it is still the very one the
// job made, under a name of the kind the job gives.
void removeRecordedOutside(const QString& jobFolder) {
    QFile record(jobFolder + QLatin1Char('/') + QLatin1String(kOutsideRecord));
    if (!record.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> parts = record.read(64 * 1024).split('\0');
    static const QRegularExpression temporaryName(
        QStringLiteral("^\\.blendora-[A-Za-z0-9]{6}\\.mp3$"));
    if (parts.size() < 2 || !temporaryName.match(QString::fromLatin1(parts[1])).hasMatch())
        return;
    const int folder = ::open(parts[0].constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    struct stat st;
    const QList<QByteArray> id = parts.size() > 2 ? parts[2].split(':') : QList<QByteArray>();
    // Once made, the file is known by its inode (root may have given it to another user
    // already); before, only a file of ours can be it.
    if (::fstatat(folder, parts[1].constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) &&
        (id.size() == 2 ? id[0].toULongLong() == st.st_dev && id[1].toULongLong() == st.st_ino
                        : st.st_uid == ::geteuid()))
        ::unlinkat(folder, parts[1].constData(), 0);
    ::close(folder);
}

} // namespace

void RemoveStaleJobFolders(const QString& temporaryFolder) {
    static const QRegularExpression pattern(QStringLiteral("^blendora-job-(\\d+)-[A-Za-z0-9]{6}$"));
    const QDir folder(temporaryFolder);
    for (const QString& name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const QString path = folder.filePath(name);
        struct stat st;
        // Only real folders of our own; never a link someone placed.
        if (::lstat(nativePath(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (pid <= 0 || pid == ::getpid() || (::kill(pid, 0) == 0 || errno == EPERM))
            continue;
        // An encoder that outlived its program still holds the folder.
        const int lock =
            ::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool free = lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) == 0;
        if (free) {
            removeRecordedOutside(path);
            QDir(path).removeRecursively();
        }
        if (lock >= 0)
            ::close(lock);
    }
}

std::int64_t freeSpace(const QString& path) {
    struct statvfs vfs;
    if (::statvfs(nativePath(path).constData(), &vfs) != 0)
        return -1;
    return std::int64_t(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
}

} // namespace blendora
