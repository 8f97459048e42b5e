#pragma once

#include <functional>

namespace blendora {

// Ending the program at once: no close handlers, no further statements. The one clean-up
// that must still run (a running job's private folder) is registered here.
void setEndCleanup(std::function<void()> cleanup);
[[noreturn]] void EndProgram();

} // namespace blendora
