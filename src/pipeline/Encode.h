#pragma once

#include "Save.h"
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace blendora {

class JobFolder;
struct JobFile;

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

// What came of an encode: success means the encoder exited with 0 and its file now stands at
// the chosen name.
struct EncodeOutcome {
    bool ok = false;
    QString problem; // for the person: what went wrong, with the encoder's own last words
    QString note;    // for the person: where the file went when its folder moved meanwhile
};

// The encoder (the program's bytes) writes the MP3 file with "-h" inside the job folder, run
// from an anonymous file in memory; where the kernel refuses that, from a copy in the job
// folder run through its descriptor, and else the installed lame. A supervisor then saves the
// file beside the output (SaveBeside), even when this program has ended first, and removes the
// job folder when done.
EncodeOutcome EncodeWavToMp3(const QByteArray& encoder, const JobFile& wav, const OutputName& mp3,
                             JobFolder& job);

// The installed lame, the last way to encode; empty when there is none.
QString installedEncoder();

// The encoder's failure in one clean line: no progress output, no terminal controls.
QString encoderLastWords(const QByteArray& tail);

} // namespace blendora
