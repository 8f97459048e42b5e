#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

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
// it), or the start's errno plus kStartFailureBase. The window style is kept for callers
// that pass one; a child here has no window to show.
int RunAndWait(const QStringList& arguments, int style = 6, RunOutcome* outcome = nullptr);

// What came of an encode: success means the encoder exited with 0 and left a non-empty file.
struct EncodeOutcome {
    bool ok = false;
    QString problem; // for the person: what went wrong, with the encoder's own last words
};

// Runs the encoder on the WAV file with "-h" and writes the MP3 file. A failed encoder leaves
// no new half-written MP3 behind. A folder named last is removed once the encoder has ended,
// even when this program ended first.
EncodeOutcome EncodeWavToMp3(const QString& encoder, const QString& wav, const QString& mp3,
                             const QString& removeAfterwards = QString());

} // namespace blendora
