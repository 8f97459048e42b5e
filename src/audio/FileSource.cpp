#include "FileSource.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora::audio {

bool utf16ToUtf8(const char16_t* text, std::string& out) {
    out.clear();
    for (const char16_t* p = text; *p; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return true;
}

std::unique_ptr<FileSource> FileSource::open(const std::string& path, std::uint64_t offset,
                                             std::uint64_t length) {
    struct stat st {};
    const auto notRegular = [&] {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return nullptr;
    };
    if (path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    // Checked before open() so a FIFO or device is never opened at all.
    if (::stat(path.c_str(), &st) != 0)
        return nullptr;
    if (!S_ISREG(st.st_mode))
        return notRegular();
    auto fd = std::make_shared<UniqueFd>(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    // The path may have been swapped for something else in between.
    if (fd->get() < 0 || ::fstat(fd->get(), &st) != 0)
        return nullptr;
    if (!S_ISREG(st.st_mode))
        return notRegular();
    const auto fileSize = std::uint64_t(st.st_size);
    if (offset > fileSize) {
        errno = EINVAL;
        return nullptr;
    }
    const std::uint64_t rest = fileSize - offset;
    if (length == 0 || length > rest)
        length = rest;
    return std::unique_ptr<FileSource>(
        new FileSource(std::move(fd), std::make_shared<std::atomic<bool>>(false), offset, length));
}

std::size_t FileSource::readAt(std::uint64_t position, void* buffer, std::size_t count) const {
    if (position >= length_)
        return 0;
    if (count > length_ - position)
        count = std::size_t(length_ - position);
    int error = 0;
    const std::size_t done = readUpTo(fd_->get(), buffer, count, off_t(base_ + position), error);
    if (done < count)
        *cut_ = true;
    return done;
}

FileSource FileSource::from(std::uint64_t position) const {
    return part(position, length_);
}

FileSource FileSource::part(std::uint64_t position, std::uint64_t length) const {
    if (position > length_)
        position = length_;
    if (length > length_ - position)
        length = length_ - position;
    return FileSource(fd_, cut_, base_ + position, length);
}

std::size_t FileSource::read(void* buffer, std::size_t count) {
    const std::size_t n = readAt(cursor_, buffer, count);
    cursor_ += n;
    return n;
}

std::int64_t FileSource::seek(std::int64_t offset, int whence) {
    std::int64_t origin = 0;
    if (whence == SEEK_CUR)
        origin = std::int64_t(cursor_);
    else if (whence == SEEK_END)
        origin = std::int64_t(length_);
    else if (whence != SEEK_SET)
        return -1;
    if ((offset > 0 && origin > INT64_MAX - offset) || origin + offset < 0)
        return -1;
    cursor_ = std::uint64_t(origin + offset);
    return std::int64_t(cursor_);
}

} // namespace blendora::audio
