#include "ProgramEnd.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
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

namespace {
// The registered clean-up makes system calls only, so a signal handler may run it.
void runCleanup() {
    if (auto& cleanup = endCleanup())
        cleanup();
}

void endBySignal(int signal) {
    runCleanup();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
} // namespace

void takeOverSignals() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGCHLD, SIG_DFL);
    for (int s : {SIGTERM, SIGHUP, SIGINT})
        std::signal(s, endBySignal);
    std::atexit(runCleanup);
}

void EndProgram() {
    runCleanup();
    std::fflush(nullptr);
    // Settings are already on disk; skip every destructor, as an immediate end must.
    _exit(0);
}

} // namespace blendora
