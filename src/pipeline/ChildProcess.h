#pragma once

#include <QByteArray>
#include <QStringList>
#include <functional>
#include <sys/types.h>
#include <vector>

namespace blendora {

// How a child process ended.
struct RunOutcome {
    bool started = false;
    int startError = 0;   // errno when it could not start
    int exitCode = 0;     // when it exited
    int signal = 0;       // when a signal ended it
    QByteArray errorTail; // the last few kilobytes it wrote to its error output
};

inline constexpr int kStartFailureBase = -2147221504;

// Starts arguments[0] with the rest as its arguments (no shell), in a session of its own so
// that it outlives this program, and waits for it while the event loop runs: one pass, a
// 100 ms sleep, a look at the child. Answers the exit code (128 + the signal when one ended
// it), the start's errno plus kStartFailureBase, or -1 when the child could not be waited for. The
// window style is kept for callers that pass one; a child here has no window to show.
int RunAndWait(const QStringList& arguments, int style = 6, RunOutcome* outcome = nullptr);
// The same wait for a child that `start` makes: it answers the child's process id, or -1 with
// errno set when it could not start one. The encoder's supervisor is started this way.
int RunAndWait(const std::function<pid_t()>& start, RunOutcome& outcome);

// What a child wrote last into the descriptor, its last few kilobytes.
QByteArray tailOf(int fd);
// The environment without LAMEOPT: nothing outside the program changes how it encodes.
std::vector<char*> childEnvironment();
// One pass of the event loop, a 100 ms sleep, a look at the child; its wait status, or -1 when
// the child cannot be waited for (SIGCHLD ignored reaps it unseen): nothing tells how it went.
int waitWhileEventsRun(pid_t pid);

} // namespace blendora
