#include "Folders.h"

#include <algorithm>
#include <sys/statvfs.h>
#include <unistd.h>

namespace blendora {

bool randomLetters(char* at, int length) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[32];
    length = std::min(length, int(sizeof bytes));
    if (::getentropy(bytes, std::size_t(length)) != 0)
        return false;
    for (int i = 0; i < length; ++i)
        at[i] = kLetters[bytes[i] % 62];
    return true;
}

bool drawnLetters(const char* at, int length) {
    for (int i = 0; i < length; ++i)
        if (!(at[i] >= '0' && at[i] <= '9') && !(at[i] >= 'A' && at[i] <= 'Z') &&
            !(at[i] >= 'a' && at[i] <= 'z'))
            return false;
    return true;
}

std::int64_t freeBytes(int folder, bool withReserve) {
    struct statvfs vfs;
    if (folder < 0 || ::fstatvfs(folder, &vfs) != 0)
        return -1;
    return std::int64_t(withReserve ? vfs.f_bfree : vfs.f_bavail) * std::int64_t(vfs.f_frsize);
}

} // namespace blendora
