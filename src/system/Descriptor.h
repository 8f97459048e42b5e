#pragma once

#include <cstddef>
#include <sys/types.h>

namespace blendora {

// The one owner of a file descriptor. System calls only, so the code between fork() and exec()
// may hold one too.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_;
};

// True while `name` in `folder`, not followed, is the file of that device and inode: what we
// remove, rename or trust by its name is then still the file we made or opened.
bool namesFile(int folder, const char* name, dev_t device, ino_t inode);
// The same for the file `fd` holds.
bool namesHeld(int folder, const char* name, int fd);

// Writes all of it, at `offset` or, at -1, where the file stands; false with errno set (EIO
// when the system took nothing).
bool writeAll(int fd, const void* bytes, std::size_t size, off_t offset = -1);
// Reads until `size` bytes, the end of the file or a failure, at `offset` or, at -1, where the
// file stands; the count read, and in `error` the failure's errno or 0.
std::size_t readUpTo(int fd, void* bytes, std::size_t size, off_t offset, int& error);
// The same, the count read, or -1 with errno set.
ssize_t readAll(int fd, void* bytes, std::size_t size, off_t offset = -1);

} // namespace blendora
