#include "JobFolder.h"

#include "Descriptor.h"
#include "Failure.h"
#include "Leftovers.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "WorkFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace blendora {

namespace {

const QString kPrefix = QStringLiteral("blendora-job-");

void emptyFolder(int folder, int depth) {
    alignas(8) char buffer[4096];
    for (bool removed = true; removed;) {
        removed = false;
        if (::lseek(folder, 0, SEEK_SET) != 0)
            return;
        for (ssize_t n; (n = ::getdents64(folder, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                    continue;
                if (::unlinkat(folder, name, 0) == 0) {
                    removed = true;
                    continue;
                }
                if (errno != EISDIR || depth >= 8)
                    continue;
                const int inner =
                    ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (inner < 0)
                    continue;
                emptyFolder(inner, depth + 1);
                ::close(inner);
                removed = ::unlinkat(folder, name, AT_REMOVEDIR) == 0 || removed;
            }
    }
}

} // namespace

void randomLetters(char* at, int length) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[32];
    length = std::min(length, int(sizeof bytes));
    if (::getentropy(bytes, std::size_t(length)) != 0)
        for (int i = 0; i < length; ++i)
            bytes[i] = (unsigned char)((::getpid() >> i) ^ (at[i] * 31) ^ (i * 7));
    for (int i = 0; i < length; ++i)
        at[i] = kLetters[bytes[i] % 62];
}

void JobFolder::create(QString* warning) {
    remove();
    const WorkFolder work = workFolder();
    if (warning)
        *warning = work.warning;
    QString parent = work.path;
    while (parent.size() > 1 && parent.endsWith(QLatin1Char('/')))
        parent.chop(1);
    if (!parent.startsWith(QLatin1Char('/')))
        parent = QDir::currentPath() + QLatin1Char('/') + parent;
    // One spelling of every path inside, so that code naming a file there is recognised.
    parent = QDir::cleanPath(parent);
    const int parentFd = ::open(nativePath(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (parentFd < 0 || ::fstat(parentFd, &st) != 0) {
        const int error = errno;
        if (parentFd >= 0)
            ::close(parentFd);
        failErrno(error, parent);
    }
    parent_ = parentFd;
    // Looked at again through the descriptor: the name may have changed hands meanwhile.
    if (othersControl(st.st_uid, st.st_gid, st.st_mode)) {
        remove();
        fail(QStringLiteral("The folder %1 was changed by someone else while Blendora chose it "
                            "to work in.")
                 .arg(shownName(parent)));
    }
    QByteArray name = nativePath(kPrefix + QString::number(QCoreApplication::applicationPid()) +
                                 QStringLiteral("-XXXXXX"));
    int made = -1;
    for (int attempt = 0; attempt < 100 && made != 0; ++attempt) {
        randomLetters(name.data() + name.size() - 6, 6);
        made = ::mkdirat(parent_, name.constData(), 0700);
        if (made != 0 && errno != EEXIST)
            break;
    }
    if (made != 0) {
        const int error = errno;
        remove();
        failErrno(error, parent);
    }
    name_ = name;
    path_ = parent + QLatin1Char('/') + QFile::decodeName(name);
    // Until it is held, the name could have been given to a folder of someone else's.
    fd_ = ::openat(parent_, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077)) {
        const QString shown = path_;
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
        name_.clear();
        remove();
        fail(QStringLiteral("Someone else replaced the new job folder %1 before it could be "
                            "used; Blendora left it alone.")
                 .arg(shownName(shown)));
    }
    if (::flock(fd_, LOCK_SH) != 0) {
        const int error = errno;
        remove();
        failErrno(error, parent);
    }
    armEndCleanup();
}

void JobFolder::checkStillAtPath() const {
    if (fd_ >= 0 && !namesHeld(parent_, name_.constData(), fd_))
        fail(QStringLiteral("Someone else moved or replaced the job folder %1. Blendora stopped "
                            "and changed nothing under that name.")
                 .arg(shownName(path_)));
}

void JobFolder::armEndCleanup(bool encoderRuns) {
    if (fd_ >= 0)
        armEnd(EndSlot::Job, encoderRuns ? EndTask::DecodedInputs : EndTask::JobFolder, parent_,
               fd_, name_.constData());
}

JobFile JobFolder::file(const QString& name) const {
    if (fd_ < 0)
        return {};
    return {fd_, nativePath(name), path_ + QLatin1Char('/') + name, true};
}

JobFile JobFile::withSuffix(const QString& suffix) const {
    return {folder, name + nativePath(suffix), path + suffix, fresh};
}

QString JobFile::folderPath() const {
    const qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
    return cut > 0 ? path.left(cut) : cut == 0 ? QStringLiteral("/") : QDir::currentPath();
}

void JobFolder::remove() {
    if (fd_ >= 0) {
        disarmEnd(EndSlot::Job);
        removeJobFolder(parent_, name_.constData(), fd_);
        ::close(std::exchange(fd_, -1));
    }
    if (parent_ >= 0)
        ::close(std::exchange(parent_, -1));
    path_.clear();
    name_.clear();
}

bool removeFile(const JobFile& file) {
    return file.valid() && ::unlinkat(file.folder, file.name.constData(), 0) == 0;
}

void removeHeldFolder(int parent, const char* name, int folder) {
    emptyFolder(folder, 0);
    if (namesHeld(parent, name, folder))
        ::unlinkat(parent, name, AT_REMOVEDIR);
}

std::int64_t freeSpace(const JobFile& file) {
    struct statvfs vfs;
    if (file.folder < 0 || ::fstatvfs(file.folder, &vfs) != 0)
        return -1;
    return std::int64_t(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
}

} // namespace blendora
