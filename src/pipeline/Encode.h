#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <sys/stat.h>

namespace blendora {

class JobFolder;

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

// The name chosen for the new file, as it was when the job began. Its folder is held open and
// the name itself is never followed: a link there is replaced as a name, like any file.
class OutputName {
  public:
    OutputName() = default;
    OutputName(OutputName&& other) noexcept { *this = std::move(other); }
    OutputName& operator=(OutputName&& other) noexcept;
    ~OutputName();

    // Looks at the name now. Answers why the name cannot take the new file, or nothing.
    QString take(const QString& path);

    const QString& path() const { return path_; }
    const QString& folder() const { return folder_; }
    int folderFd() const { return folderFd_; }
    const QByteArray& name() const { return name_; }
    // What stood at the name when it was taken; st_nlink 0 when nothing did.
    const struct stat& before() const { return before_; }

  private:
    int folderFd_ = -1;
    QString path_, folder_;
    QByteArray name_;
    struct stat before_ {};
};

// What came of an encode: success means the encoder exited with 0 and its file now stands at
// the chosen name.
struct EncodeOutcome {
    bool ok = false;
    QString problem; // for the person: what went wrong, with the encoder's own last words
};

// The encoder writes the MP3 file with "-h" inside the job folder; a supervisor then copies it
// into a new file of its own beside the output and renames that over the name, but only while
// the name is still what it was when taken: a newer file there stays. The supervisor does this
// even when this program has ended first, and removes the job folder when done.
EncodeOutcome EncodeWavToMp3(const QString& encoder, const QString& wav, const OutputName& mp3,
                             JobFolder& job);

// The encoder's failure in one clean line: no progress output, no terminal controls.
QString encoderLastWords(const QByteArray& tail);

} // namespace blendora
