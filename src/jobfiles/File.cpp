#include "File.h"

#include "Descriptor.h"
#include "Failure.h"
#include "JobFolder.h"
#include "Paths.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace blendora {

void File::open(const JobFile& file, Mode mode, unsigned permissions) {
    if (fd_.valid())
        close();
    path_ = file.path;
    folder_ = file.folder;
    name_ = file.name;
    end_ = 0;
    if (!file.valid() || file.name.contains('\0') || file.name.contains('/'))
        failErrno(ENOENT, path_);
    int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
    switch (mode) {
    case Read:
        flags |= O_RDONLY;
        break;
    case ReadWrite:
        flags |= O_RDWR | O_CREAT;
        break;
    case Replace:
        flags |= O_WRONLY | O_CREAT | O_TRUNC | (file.fresh ? O_EXCL : 0);
        break;
    }
    const int fd = ::openat(file.folder, file.name.constData(), flags, permissions);
    if (fd < 0)
        failErrno(errno, path_);
    fd_.reset(fd);
    length_ = mode == Replace ? 0 : size();
}

std::int64_t File::size() const {
    return state().st_size;
}

struct stat File::state() const {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0)
        failErrno(errno, path_);
    return st;
}

void File::readAt(std::int64_t offset, void* buffer, std::int64_t length) const {
    if (length <= 0)
        return;
    int error = 0;
    const std::size_t got = readUpTo(fd_.get(), buffer, std::size_t(length), off_t(offset), error);
    if (error != 0)
        failErrno(error, path_);
    if (got < std::size_t(length) && offset + std::int64_t(got) < length_)
        failPlainly(QStringLiteral("%1 changed while it was being read (it is shorter now than "
                                   "when it was written), or could not be read to its end.")
                        .arg(shownName(path_)));
    if (got < std::size_t(length))
        std::memset(static_cast<char*>(buffer) + got, 0, std::size_t(length) - got);
}

void File::writeAt(std::int64_t offset, const void* buffer, std::int64_t length) {
    if (length > 0 && !writeAll(fd_.get(), buffer, std::size_t(length), off_t(offset)))
        failErrno(errno, path_);
}

void File::append(const void* buffer, std::int64_t length) {
    writeAt(end_, buffer, length);
    end_ += length;
}

void File::discard() noexcept {
    if (!fd_.valid())
        return;
    if (namesHeld(folder_, name_.constData(), fd_.get()))
        ::unlinkat(folder_, name_.constData(), 0);
    fd_.reset();
}

void File::close() {
    if (!fd_.close())
        failErrno(errno, path_);
}

bool sameFileState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

} // namespace blendora
