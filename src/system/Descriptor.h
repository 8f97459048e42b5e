#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

namespace blendora {

// The one EINTR rule: a call a signal interrupted is made again, whatever it is, but close(),
// which is never made again (see UniqueFd::close).
template <class Call> auto uninterrupted(Call call) noexcept {
    for (;;)
        if (const auto done = call(); !(done < 0 && errno == EINTR))
            return done;
}

// The one owner of a file descriptor. System calls only, so the code between fork() and exec()
// may hold one too.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes without a word and leaves errno as it was: the failure being told stays the one.
    void reset(int fd = -1) noexcept;
    // Closes now; false, with errno set, when the system reports a failure: for a file we wrote,
    // the last chance to hear of a delayed write error (NFS, a quota). EINTR is none: the
    // descriptor is gone either way, and closing it again could close another's.
    [[nodiscard]] bool close() noexcept;

  private:
    int fd_;
};

// Closes every descriptor but the `count` listed, which it sorts.
void closeAllBut(int* keep, int count) noexcept;

// True while `name` in `folder`, not followed, is the file of that device and inode: what we
// remove, rename or trust by its name is then still the file we made or opened.
bool namesFile(int folder, const char* name, dev_t device, ino_t inode) noexcept;
// The same for the file `fd` holds.
bool namesHeld(int folder, const char* name, int fd) noexcept;

// Writes all of it, at `offset` or, at -1, where the file stands; false with errno set (EIO
// when the system took nothing).
[[nodiscard]] bool writeAll(int fd, const void* bytes, std::size_t size,
                            off_t offset = -1) noexcept;
// Reads until `size` bytes, the end of the file or a failure, at `offset` or, at -1, where the
// file stands; the count read, and in `error` the failure's errno or 0.
std::size_t readUpTo(int fd, void* bytes, std::size_t size, off_t offset, int& error) noexcept;
// The same, the count read, or -1 with errno set.
[[nodiscard]] ssize_t readAll(int fd, void* bytes, std::size_t size, off_t offset = -1) noexcept;

} // namespace blendora
