#include "File.h"

#include "Failure.h"
#include "JobFolder.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace blendora {

File::~File() {
    if (fd_ >= 0)
        ::close(fd_);
}

void File::open(const QString& path, Mode mode, unsigned permissions) {
    if (fd_ >= 0)
        close();
    path_ = path;
    end_ = 0;
    if (path.isEmpty() || path.contains(QChar(u'\0')))
        failErrno(ENOENT, path);
    int flags = O_CLOEXEC | O_NOCTTY;
    switch (mode) {
    case Read:
        flags |= O_RDONLY;
        break;
    case ReadWrite:
        flags |= O_RDWR | O_CREAT;
        break;
    case Replace:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
    }
    // In a job folder nothing is followed, and whatever is written there is new.
    const Anchored at = anchor(path);
    if (at.held)
        flags |= O_NOFOLLOW | (mode == Replace ? O_EXCL : 0);
    const int fd = ::openat(at.dir, at.name.constData(), flags, permissions);
    if (fd < 0)
        failErrno(errno, path);
    fd_ = fd;
}

std::int64_t File::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        failErrno(errno, path_);
    return st.st_size;
}

void File::readAt(std::int64_t offset, void* buffer, std::int64_t length) const {
    auto* p = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(fd_, p, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failErrno(errno, path_);
        if (n == 0)
            break;
        p += n;
        offset += n;
        length -= n;
    }
    if (length > 0)
        std::memset(p, 0, size_t(length));
}

void File::writeAt(std::int64_t offset, const void* buffer, std::int64_t length) {
    const auto* p = static_cast<const char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd_, p, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failErrno(errno, path_);
        if (n == 0)
            failErrno(EIO, path_);
        p += n;
        offset += n;
        length -= n;
    }
}

void File::append(const void* buffer, std::int64_t length) {
    writeAt(end_, buffer, length);
    end_ += length;
}

void File::discard() noexcept {
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
    if (!path_.isEmpty())
        removeFile(path_);
}

void File::close() {
    if (fd_ < 0)
        return;
    const int fd = fd_;
    fd_ = -1;
    // Delayed write errors (NFS, quota) only show up here.
    if (::close(fd) != 0 && errno != EINTR)
        failErrno(errno, path_);
}

bool sameFileState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

} // namespace blendora
