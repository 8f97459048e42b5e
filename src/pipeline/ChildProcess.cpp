#include "ChildProcess.h"

#include "Descriptor.h"
#include "Form1View.h"
#include "Paths.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace blendora {

namespace {
constexpr std::size_t kTailBytes = 4096;
} // namespace

QByteArray tailOf(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0)
        return {};
    const off_t from = st.st_size > off_t(kTailBytes) ? st.st_size - off_t(kTailBytes) : 0;
    QByteArray bytes(st.st_size - from, '\0');
    const ssize_t n = ::pread(fd, bytes.data(), std::size_t(bytes.size()), from);
    bytes.truncate(n > 0 ? n : 0);
    return bytes;
}

// The environment without LAMEOPT: nothing outside the program changes how it encodes.
std::vector<char*> childEnvironment() {
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "LAMEOPT=", 8) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    return env;
}

// One pass of the event loop, a 100 ms sleep, a look at the child; its wait status, or -1 when
// the child cannot be waited for (SIGCHLD ignored reaps it unseen): nothing tells how it went.
int waitWhileEventsRun(pid_t pid) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        DoEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int RunAndWait(const QStringList& arguments, int style, RunOutcome* outcome) {
    (void)style;
    RunOutcome local;
    RunOutcome& out = outcome ? *outcome : local;
    out = RunOutcome();
    if (arguments.isEmpty()) {
        out.startError = ENOENT;
        return kStartFailureBase + out.startError;
    }

    std::vector<QByteArray> bytes;
    for (const QString& a : arguments)
        bytes.push_back(nativePath(a));
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);

    // The error output goes to an anonymous file rather than a pipe: should we end first, the
    // child writes on without a broken pipe ending it.
    UniqueFd errors(::memfd_create("child-errors", MFD_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (errors.get() >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errors.get(), 1);
        posix_spawn_file_actions_adddup2(&actions, errors.get(), 2);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> env = childEnvironment();
    const int code = RunAndWait(
        [&] {
            pid_t pid = 0;
            const int started =
                ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), env.data());
            errno = started;
            return started == 0 ? pid : pid_t(-1);
        },
        out);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    out.errorTail = tailOf(errors.get());
    return code;
}

int RunAndWait(const std::function<pid_t()>& start, RunOutcome& out) {
    out = RunOutcome();
    const pid_t pid = start();
    if (pid < 0) {
        out.startError = errno ? errno : ECHILD;
        return kStartFailureBase + out.startError;
    }
    out.started = true;
    const int status = waitWhileEventsRun(pid);
    if (status == -1) {
        out.exitCode = -1;
    } else if (WIFSIGNALED(status)) {
        out.signal = WTERMSIG(status);
        out.exitCode = 128 + out.signal;
    } else {
        out.exitCode = WEXITSTATUS(status);
    }
    return out.exitCode;
}

} // namespace blendora
