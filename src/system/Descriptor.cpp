#include "Descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd)
        ::close(fd_);
    fd_ = fd;
}

bool namesFile(int folder, const char* name, dev_t device, ino_t inode) {
    struct stat named;
    return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == device &&
           named.st_ino == inode;
}

bool namesHeld(int folder, const char* name, int fd) {
    struct stat held;
    return ::fstat(fd, &held) == 0 && namesFile(folder, name, held.st_dev, held.st_ino);
}

bool writeAll(int fd, const void* bytes, std::size_t size, off_t offset) {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, at, size) : ::pwrite(fd, at, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        at += n;
        size -= std::size_t(n);
        if (offset >= 0)
            offset += n;
    }
    return true;
}

std::size_t readUpTo(int fd, void* bytes, std::size_t size, off_t offset, int& error) {
    auto* at = static_cast<char*>(bytes);
    std::size_t done = 0;
    error = 0;
    while (done < size) {
        const ssize_t n = offset < 0 ? ::read(fd, at + done, size - done)
                                     : ::pread(fd, at + done, size - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return done;
}

ssize_t readAll(int fd, void* bytes, std::size_t size, off_t offset) {
    int error = 0;
    const std::size_t done = readUpTo(fd, bytes, size, offset, error);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return ssize_t(done);
}

} // namespace blendora
