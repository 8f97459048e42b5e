#include "JobFolder.h"

#include "Descriptor.h"
#include "Failure.h"
#include "Paths.h"
#include "ProgramEnd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace blendora {

namespace {

const QString kPrefix = QStringLiteral("blendora-job-");

// A group that is only ours (Debian gives each user one of the same name) shares nothing.
bool privateGroup(gid_t gid) {
    const struct passwd* user = ::getpwuid(::geteuid());
    if (!user || user->pw_gid != gid)
        return false;
    const QByteArray userName(user->pw_name);
    const struct group* group = ::getgrgid(gid);
    return group && userName == group->gr_name && (!group->gr_mem || !group->gr_mem[0]);
}

bool isDirectory(const QString& path, struct stat& st) {
    return !path.isEmpty() && ::stat(nativePath(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

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

bool sameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

bool othersControl(unsigned ownerUid, unsigned ownerGid, unsigned mode) {
    const uid_t me = ::geteuid();
    if (ownerUid != me && ownerUid != 0)
        return true;
    if (mode & S_ISVTX)
        return false;
    if (mode & S_IWOTH)
        return true;
    return (mode & S_IWGRP) && !privateGroup(ownerGid);
}

WorkFolder workFolder() {
    const QString wanted = temporaryFolder();
    struct stat st;
    // A folder that is missing fails later, in the words of the call that needed it.
    if (!isDirectory(wanted, st) || !othersControl(st.st_uid, st.st_gid, st.st_mode))
        return {wanted, {}};
    for (const QString& instead :
         {qEnvironmentVariable("XDG_RUNTIME_DIR"), QStringLiteral("/tmp")}) {
        if (instead.startsWith(QLatin1Char('/')) && isDirectory(instead, st) &&
            !othersControl(st.st_uid, st.st_gid, st.st_mode))
            return {instead, QStringLiteral("The temporary folder %1 can be changed by other "
                                            "users, so Blendora works in %2 instead.")
                                 .arg(wanted, instead)};
    }
    fail(QStringLiteral("The temporary folder %1 can be changed by other users, and no private "
                        "folder was found to work in instead.")
             .arg(wanted));
}

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
                 .arg(parent));
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
                 .arg(shown));
    }
    if (::flock(fd_, LOCK_SH) != 0) {
        const int error = errno;
        remove();
        failErrno(error, parent);
    }
    armEndCleanup();
}

void JobFolder::checkStillAtPath() const {
    struct stat held, named;
    if (fd_ < 0)
        return;
    if (::fstat(fd_, &held) != 0 ||
        ::fstatat(parent_, name_.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameInode(held, named))
        fail(QStringLiteral("Someone else moved or replaced the job folder %1. Blendora stopped "
                            "and changed nothing under that name.")
                 .arg(path_));
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
    struct stat held, named;
    if (::fstat(folder, &held) == 0 && ::fstatat(parent, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameInode(held, named))
        ::unlinkat(parent, name, AT_REMOVEDIR);
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Only a name of the kind the save gives: ".blendora-" and six letters or digits (with ".mp3"
// in the record of an earlier version).
bool saveFolderName(const char* name) {
    static const char kStart[] = ".blendora-";
    const std::size_t start = sizeof kStart - 1, length = std::strlen(name);
    if (std::strncmp(name, kStart, start) != 0 ||
        (length != start + 6 &&
         !(length == start + 10 && std::strcmp(name + start + 6, ".mp3") == 0)))
        return false;
    for (std::size_t i = start; i < start + 6; ++i)
        if (!std::isalnum((unsigned char)name[i]))
            return false;
    return true;
}

unsigned long long decimalAt(const char*& at) {
    unsigned long long value = 0;
    for (; isDigit(*at); ++at)
        value = value * 10 + unsigned(*at - '0');
    return value;
}

// What the job had begun beside its output and not finished (its saver was killed): removed
// only while it is still the very one the job made. System calls only: a signal's clean-up
// runs it.
void removeRecordedOutside(int job) {
    const int fd = ::openat(job, kOutsideRecord, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    char bytes[PATH_MAX + 128];
    const ssize_t read = readAll(fd, bytes, sizeof bytes - 1);
    ::close(fd);
    const std::size_t size = read > 0 ? std::size_t(read) : 0;
    bytes[size] = '\0';
    // The output's folder, NUL, the folder's name, NUL, then "device:inode" once it is made.
    const char* path = bytes;
    const std::size_t pathLength = std::strlen(path);
    if (pathLength + 1 >= size)
        return;
    const char* name = path + pathLength + 1;
    if (!saveFolderName(name))
        return;
    const char* id = name + std::strlen(name) + 1;
    bool known = false;
    unsigned long long device = 0, inode = 0;
    if (id < bytes + size && isDigit(*id)) {
        device = decimalAt(id);
        known = *id++ == ':' && isDigit(*id);
        inode = decimalAt(id);
    }
    const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    // Once made, it is known by its inode (root may have given a file to another user
    // already); before, only one of ours can be it.
    const auto isIt = [&](const struct stat& s) {
        return known ? device == s.st_dev && inode == s.st_ino : s.st_uid == ::geteuid();
    };
    struct stat st;
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && isIt(st)) {
        if (S_ISREG(st.st_mode)) {
            ::unlinkat(folder, name, 0);
        } else if (S_ISDIR(st.st_mode)) {
            const int inner =
                ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (inner >= 0 && ::fstat(inner, &st) == 0 && isIt(st))
                removeHeldFolder(folder, name, inner);
            if (inner >= 0)
                ::close(inner);
        }
    }
    ::close(folder);
}

std::size_t decimal(char* at, unsigned long long value) {
    char digits[24];
    std::size_t n = 0;
    do
        digits[n++] = char('0' + value % 10);
    while ((value /= 10) != 0);
    for (std::size_t i = 0; i < n; ++i)
        at[i] = digits[n - 1 - i];
    return n;
}

} // namespace

bool recordOutside(int job, const char* outFolder, const char* name, const struct stat* made) {
    const int fd =
        ::openat(job, kOutsideRecord, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    char id[64];
    std::size_t n = 0;
    if (made) {
        n = decimal(id, made->st_dev);
        id[n++] = ':';
        n += decimal(id + n, made->st_ino);
    }
    const bool written = writeAll(fd, outFolder, std::strlen(outFolder) + 1) &&
                         writeAll(fd, name, std::strlen(name) + 1) && writeAll(fd, id, n);
    const int error = written ? 0 : errno ? errno : EIO;
    if (::close(fd) != 0 && written)
        return false;
    errno = error;
    return written;
}

void removeJobFolder(int parent, const char* name, int folder) {
    removeRecordedOutside(folder);
    removeHeldFolder(parent, name, folder);
}

void RemoveStaleJobFolders(const QString& temporaryFolder) {
    static const QRegularExpression pattern(QStringLiteral("^blendora-job-(\\d+)-[A-Za-z0-9]{6}$"));
    const int parent =
        ::open(nativePath(temporaryFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return;
    const QDir folder(temporaryFolder);
    for (const QString& name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (pid <= 0 || pid == ::getpid() || (::kill(pid, 0) == 0 || errno == EPERM))
            continue;
        const QByteArray entry = nativePath(name);
        // Only real folders of our own; never a link someone placed.
        const int job =
            ::openat(parent, entry.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (job < 0)
            continue;
        struct stat st;
        // An encoder that outlived its program still holds the folder.
        if (::fstat(job, &st) == 0 && st.st_uid == ::geteuid() &&
            ::flock(job, LOCK_EX | LOCK_NB) == 0) {
            removeJobFolder(parent, entry.constData(), job);
        }
        ::close(job);
    }
    ::close(parent);
}

std::int64_t freeSpace(const JobFile& file) {
    struct statvfs vfs;
    if (file.folder < 0 || ::fstatvfs(file.folder, &vfs) != 0)
        return -1;
    return std::int64_t(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
}

} // namespace blendora
