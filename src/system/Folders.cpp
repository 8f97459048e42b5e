#include "Folders.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace blendora {

namespace {

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
                {
                    const UniqueFd inner = openFolderAt(folder, name);
                    if (!inner.valid())
                        continue;
                    emptyFolder(inner.get(), depth + 1);
                }
                removed = ::unlinkat(folder, name, AT_REMOVEDIR) == 0 || removed;
            }
    }
}

} // namespace

bool randomLetters(char* at, int length) noexcept {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[32];
    length = std::min(length, int(sizeof bytes));
    if (::getentropy(bytes, std::size_t(length)) != 0)
        return false;
    for (int i = 0; i < length; ++i)
        at[i] = kLetters[bytes[i] % 62];
    return true;
}

bool drawnLetters(const char* at, int length) noexcept {
    for (int i = 0; i < length; ++i)
        if (!(at[i] >= '0' && at[i] <= '9') && !(at[i] >= 'A' && at[i] <= 'Z') &&
            !(at[i] >= 'a' && at[i] <= 'z'))
            return false;
    return true;
}

UniqueFd openFolderAt(int parent, const char* name) noexcept {
    return UniqueFd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

void removeHeldFolder(int parent, const char* name, int folder) noexcept {
    emptyFolder(folder, 0);
    if (namesHeld(parent, name, folder))
        ::unlinkat(parent, name, AT_REMOVEDIR);
}

std::int64_t freeBytes(int folder, bool withReserve) noexcept {
    struct statvfs vfs;
    if (folder < 0 || ::fstatvfs(folder, &vfs) != 0)
        return -1;
    return std::int64_t(withReserve ? vfs.f_bfree : vfs.f_bavail) * std::int64_t(vfs.f_frsize);
}

} // namespace blendora
