#pragma once

#include "Descriptor.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace blendora {

// Fills `length` (at most 32) letters and digits from the kernel's random source; false with
// errno set when it gives none (a name others could foresee is no private name). System calls
// only.
bool randomLetters(char* at, int length) noexcept;
// Whether the `length` characters at `at` are of the kind randomLetters draws. Not isalnum():
// the locale has no say in a name we made, nor a place in a signal handler.
bool drawnLetters(const char* at, int length) noexcept;

// Makes a folder of mode 0700 in `parent` named `name`, whose last six characters are drawn
// afresh for each attempt until a name is free. `before(name)` runs before each attempt and
// stops it by answering false: a name can be recorded before the folder exists. 0, or -1 with
// errno set. System calls only, as long as `before` makes none other.
template <class Before> int makePrivateFolder(int parent, char* name, Before before) {
    char* const letters = name + std::strlen(name) - 6;
    int made = -1;
    for (int attempt = 0; attempt < 100 && made != 0; ++attempt) {
        if (!randomLetters(letters, 6) || !before(static_cast<const char*>(name)))
            return -1;
        made = ::mkdirat(parent, name, 0700);
        if (made != 0 && errno != EEXIST)
            break;
    }
    return made;
}

inline int makePrivateFolder(int parent, char* name) {
    return makePrivateFolder(parent, name, [](const char*) { return true; });
}

// The folder `name` in `parent`, never through a link at that name: the one way a folder of
// ours is opened by its name, where whoever can write `parent` could swap it. System calls only.
UniqueFd openFolderAt(int parent, const char* name) noexcept;

// Empties a folder through its descriptor, never following a link, then removes it from its
// parent only while the name there is still that folder. System calls only: safe between
// fork() and exec() and in a signal handler.
void removeHeldFolder(int parent, const char* name, int folder) noexcept;

// Free bytes for us on the file system that holds `folder`, or -1 when unknown. With
// `withReserve`, the blocks kept for root count too. System calls only.
std::int64_t freeBytes(int folder, bool withReserve = false) noexcept;

} // namespace blendora
