#include "ProgramEnd.h"

#include <cstdio>
#include <unistd.h>

namespace blendora {

namespace {
std::function<void()>& endCleanup() {
    static std::function<void()> cleanup;
    return cleanup;
}
} // namespace

void setEndCleanup(std::function<void()> cleanup) {
    endCleanup() = std::move(cleanup);
}

void EndProgram() {
    if (auto& cleanup = endCleanup())
        cleanup();
    std::fflush(nullptr);
    // Settings are already on disk; skip every destructor, as an immediate end must.
    _exit(0);
}

} // namespace blendora
