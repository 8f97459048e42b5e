#pragma once

#include <QByteArray>
#include <functional>
#include <sys/types.h>
#include <vector>

namespace blendora {

// How a child process ended.
struct RunOutcome {
    bool started = false;
    int startError = 0; // errno when it could not start
    int exitCode = 0;   // when it was waited for
    int signal = 0;     // when a signal ended it
};

// Waits for a child that `start` makes while the event loop runs (see waitWhileEventsRun). `start`
// answers the child's process id, or -1 with errno set when it could not start one. `outcome`
// tells how it ended; its exit code is 128 + the signal when one ended it, and -1 when the child
// could not be waited for. The encoder's supervisor is started this way.
void RunAndWait(const std::function<pid_t()>& start, RunOutcome& outcome);

// What a child wrote last into the descriptor, its last few kilobytes.
QByteArray tailOf(int fd);
// The environment without LAMEOPT: nothing outside the program changes how it encodes.
std::vector<char*> childEnvironment();

} // namespace blendora
