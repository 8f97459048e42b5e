#pragma once

#include <csignal>

namespace blendora {

// What the end of the program removes, whatever road it ends by: the event loop returns, the
// toolkit calls exit() (a lost display), a signal, or an immediate end.
enum class EndTask : int {
    None,
    JobFolder,     // the whole job folder, after the folder it recorded beside an output
    DecodedInputs, // temp1.wav and temp2.wav only: a running encoder still needs the rest
    Scratch,       // a private folder of ours, emptied and removed
};
enum class EndSlot : int { Job, Settings };

// Signals wait while it lives. A folder made and recorded for the end under it is never left
// behind by a signal that came between the two.
class SignalsHeld {
  public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t old_;
};

// Records, as plain data that lives to the very end, what the end removes for `slot`: the
// folder `name` in `parent`, held open as `folder`. A signal that arrives meanwhile finds the
// record whole or absent, never half-written.
void armEnd(EndSlot slot, EndTask task, int parent, int folder, const char* name);
void disarmEnd(EndSlot slot);

// Ending the program at once: no close handlers, no further statements; the recorded clean-up
// still runs.
[[noreturn]] void EndProgram();
// SIGTERM, SIGHUP, SIGINT, SIGQUIT and SIGABRT (a logout, a kill, Ctrl-C, Ctrl-\, an abort in a
// library) and an exit() from the toolkit (a lost display connection) end the program as
// closing the window does: the clean-up runs first, then the signal ends it as it asks.
// Whatever our starter set for SIGXFSZ and SIGCHLD is undone: a file past `ulimit -f` fails
// with EFBIG and is told in plain words, and our children can be waited for.
void takeOverSignals();

} // namespace blendora
