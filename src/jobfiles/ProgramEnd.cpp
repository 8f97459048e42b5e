#include "ProgramEnd.h"

#include "Folders.h"
#include "Leftovers.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace blendora {

namespace {

// Constant-initialised and without a destructor, so that a handler or exit() may read it at
// any moment, also after every other static object is gone.
struct Record {
    std::atomic<int> task{0};
    int parent = -1, folder = -1;
    char name[256] = {};
};
Record records[2];

// Whoever takes the task does it: a signal during exit() does not do it twice.
void runCleanup() {
    for (Record& r : records) {
        switch (EndTask(r.task.exchange(0, std::memory_order_acq_rel))) {
        case EndTask::None:
            break;
        case EndTask::JobFolder:
            removeJobFolder(r.parent, r.name, r.folder);
            break;
        case EndTask::DecodedInputs:
            for (const char* decoded : {"temp1.wav", "temp2.wav"})
                ::unlinkat(r.folder, decoded, 0);
            break;
        case EndTask::Scratch:
            removeHeldFolder(r.parent, r.name, r.folder);
            break;
        }
    }
}

void endBySignal(int signal) {
    const int saved = errno;
    runCleanup();
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(signal, &byDefault, nullptr);
    errno = saved;
    // Blocked until the handler returns, then it ends the program as it would have.
    ::raise(signal);
}

} // namespace

SignalsHeld::SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &old_);
}

SignalsHeld::~SignalsHeld() {
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

void armEnd(EndSlot slot, EndTask task, int parent, int folder, const char* name) {
    Record& r = records[int(slot)];
    const SignalsHeld held;
    r.task.store(0, std::memory_order_release);
    r.parent = parent;
    r.folder = folder;
    std::strncpy(r.name, name ? name : "", sizeof r.name - 1);
    r.name[sizeof r.name - 1] = '\0';
    r.task.store(int(task), std::memory_order_release);
}

void disarmEnd(EndSlot slot) {
    records[int(slot)].task.store(0, std::memory_order_release);
}

void takeOverSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &action, nullptr);
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &action, nullptr);
    action.sa_handler = endBySignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGABRT})
        ::sigaction(s, &action, nullptr);
    static bool registered = false;
    if (!std::exchange(registered, true))
        std::atexit(runCleanup);
}

void EndProgram() {
    runCleanup();
    std::fflush(nullptr);
    // Settings are already on disk; skip every destructor, as an immediate end must.
    _exit(0);
}

} // namespace blendora
