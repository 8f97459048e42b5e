#include "FileIo.h"

#include "Failure.h"
#include "Paths.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace blendora {

OutputFile OutputFile::create(const QString& path, unsigned mode) {
    OutputFile file;
    file.path_ = path;
    if (path.isEmpty() || path.contains(QChar(0)))
        fail(QStringLiteral("Bad file name or number"));
    file.fd_ = ::open(nativePath(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (file.fd_ < 0)
        failErrno(errno, path);
    return file;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

void OutputFile::write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failErrno(n < 0 ? errno : ENOSPC, path_);
        p += n;
        size -= std::size_t(n);
    }
}

void OutputFile::writeAt(const void* data, std::size_t size, std::int64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd_, p, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failErrno(n < 0 ? errno : ENOSPC, path_);
        p += n;
        size -= std::size_t(n);
        offset += n;
    }
}

void OutputFile::close() {
    if (fd_ < 0)
        return;
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0)
        failErrno(errno, path_);
}

void OutputFile::discard() noexcept {
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
    if (!path_.isEmpty())
        ::unlink(nativePath(path_).constData());
}

} // namespace blendora
