#include "Descriptor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace blendora {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
        const int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

bool UniqueFd::close() noexcept {
    return fd_ < 0 || ::close(release()) == 0 || errno == EINTR;
}

namespace {

void closeRange(int from, int to) {
    if (from > to)
        return;
    if (::close_range(unsigned(from), unsigned(to), 0) == 0)
        return;
    for (int fd = from; fd <= std::min(to, 65535); ++fd)
        ::close(fd);
}

} // namespace

void closeAllBut(int* keep, int count) noexcept {
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && keep[j - 1] > keep[j]; --j)
            std::swap(keep[j - 1], keep[j]);
    int next = 0;
    for (int i = 0; i < count; ++i) {
        if (keep[i] < next)
            continue;
        closeRange(next, keep[i] - 1);
        next = keep[i] + 1;
    }
    closeRange(next, INT_MAX);
}

bool namesFile(int folder, const char* name, dev_t device, ino_t inode) noexcept {
    struct stat named;
    return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == device &&
           named.st_ino == inode;
}

bool namesHeld(int folder, const char* name, int fd) noexcept {
    struct stat held;
    return ::fstat(fd, &held) == 0 && namesFile(folder, name, held.st_dev, held.st_ino);
}

bool writeAll(int fd, const void* bytes, std::size_t size, off_t offset) noexcept {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = uninterrupted(
            [&] { return offset < 0 ? ::write(fd, at, size) : ::pwrite(fd, at, size, offset); });
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

std::size_t readUpTo(int fd, void* bytes, std::size_t size, off_t offset, int& error) noexcept {
    auto* at = static_cast<char*>(bytes);
    std::size_t done = 0;
    error = 0;
    while (done < size) {
        const ssize_t n = uninterrupted([&] {
            return offset < 0 ? ::read(fd, at + done, size - done)
                              : ::pread(fd, at + done, size - done, offset + off_t(done));
        });
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

ssize_t readAll(int fd, void* bytes, std::size_t size, off_t offset) noexcept {
    int error = 0;
    const std::size_t done = readUpTo(fd, bytes, size, offset, error);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return ssize_t(done);
}

} // namespace blendora
