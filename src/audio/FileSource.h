#pragma once

#include "Descriptor.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace blendora::audio {

// Converts NUL-terminated UTF-16 to UTF-8; false for unpaired surrogates.
bool utf16ToUtf8(const char16_t* text, std::string& out);

// A byte range of a regular file, read through a cursor of its own. Copies share the
// descriptor but not the cursor, so each decoder library can own one.
class FileSource {
  public:
    // Refuses anything but a regular file, without ever blocking on a FIFO or device: null with
    // errno set, EISDIR for a folder and ENODEV for whatever else is not a regular file.
    // length 0 means up to the end of the file.
    static std::unique_ptr<FileSource> open(const std::string& path, std::uint64_t offset,
                                            std::uint64_t length);

    std::uint64_t size() const { return length_; }
    // Reads at an absolute position within the range; answers the count read.
    std::size_t readAt(std::uint64_t position, void* buffer, std::size_t count) const;
    // The same file from position on, with a fresh cursor.
    FileSource from(std::uint64_t position) const;
    // length bytes (or fewer, at the end) from position on, with a fresh cursor.
    FileSource part(std::uint64_t position, std::uint64_t length) const;

    std::size_t read(void* buffer, std::size_t count);
    // lseek semantics within the range; answers the new position or -1.
    std::int64_t seek(std::int64_t offset, int whence);
    std::uint64_t tell() const { return cursor_; }
    // True once any copy read less than the range held when the file was opened: the file
    // shrank, or the disk failed. What was decoded is then not the whole file.
    bool cut() const { return *cut_; }

  private:
    FileSource(std::shared_ptr<const UniqueFd> fd, std::shared_ptr<std::atomic<bool>> cut,
               std::uint64_t base, std::uint64_t length)
        : fd_(std::move(fd)), cut_(std::move(cut)), base_(base), length_(length) {}

    std::shared_ptr<const UniqueFd> fd_;
    std::shared_ptr<std::atomic<bool>> cut_;
    std::uint64_t base_ = 0;
    std::uint64_t length_ = 0;
    std::uint64_t cursor_ = 0;
};

} // namespace blendora::audio
