#pragma once

#include <functional>

namespace blendora {

// Ending the program at once: no close handlers, no further statements. The one clean-up
// that must still run (a running job's private folder) is registered here.
void setEndCleanup(std::function<void()> cleanup);
[[noreturn]] void EndProgram();
// SIGTERM, SIGHUP and SIGINT (a logout, a kill, Ctrl-C) and an exit() from the toolkit (a lost
// display connection) end the program as closing the window does: the clean-up runs first.
// Whatever our starter set for SIGXFSZ and SIGCHLD is undone: a file past `ulimit -f` fails
// with EFBIG and is told like any other failure, and our children can be waited for.
void takeOverSignals();

} // namespace blendora
