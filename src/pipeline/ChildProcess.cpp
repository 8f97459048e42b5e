#include "ChildProcess.h"

#include "Descriptor.h"
#include "Form1View.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <sys/syscall.h>
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
    const ssize_t n = readAll(fd, bytes.data(), std::size_t(bytes.size()), from);
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

namespace {

// The event loop runs until the child has ended: a pidfd turns readable then, so the window
// answers at once meanwhile. Where the kernel has no pidfds, one pass of the event loop, a
// 100 ms sleep and a look at the child, in turn. The child's wait status, or -1 when it cannot
// be waited for (SIGCHLD ignored reaps it unseen): nothing tells how it went.
int waitWhileEventsRun(pid_t pid) {
    if (const UniqueFd ended(int(::syscall(SYS_pidfd_open, pid, 0))); ended.valid()) {
        QEventLoop loop;
        QSocketNotifier notifier(ended.get(), QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        loop.exec();
    }
    int status = 0;
    for (;;) {
        const pid_t done = uninterrupted([&] { return ::waitpid(pid, &status, WNOHANG); });
        if (done == pid)
            return status;
        if (done < 0)
            return -1;
        DoEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace

void RunAndWait(const std::function<pid_t()>& start, RunOutcome& out) {
    out = RunOutcome();
    const pid_t pid = start();
    if (pid < 0) {
        out.startError = errno ? errno : ECHILD;
        return;
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
}

} // namespace blendora
