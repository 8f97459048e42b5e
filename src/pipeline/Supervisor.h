#pragma once

#include "Save.h"

#include <QByteArray>
#include <sys/stat.h>
#include <sys/types.h>

namespace blendora {

// ---- the supervisor -------------------------------------------------------------------------
//
// A forked copy of this program that runs the encoder, waits for it and then saves its file, so
// that the output is completed when this program has ended first. Between fork() and _exit()
// it makes system calls only: the other threads of this program may hold locks (the allocator's
// among them) that the copy would wait for for ever.

enum class SupervisorStep : int { Unknown, Encoding, NoOutput, Saving, MixChanged };

// The three ways to start the encoder, in the order they are tried.
enum EncoderStart { FromMemory, CopyInJobFolder, Installed, kEncoderStarts };

struct SupervisorReport {
    SupervisorStep step = SupervisorStep::Unknown;
    SaveResult save;
    int encoderStatus = 0;   // as waitpid gives it
    long long freeNear = -1; // free bytes where the encoder wrote, after it failed
};
// Where the save tells which file it put under the name, and where a failed start leaves the
// errno of each way, in the report file.
constexpr off_t kSavedAt = 2048;
constexpr off_t kStartErrorAt = 4096;
constexpr char kCopyName[] = "lame";
constexpr char kEncoded[] = "result.mp3";

struct SupervisorPlan {
    char* const* argv;
    char* const* envp;
    int memory;      // the encoder in an anonymous file, or -1
    int memoryError; // why it cannot run from there
    const char* installed;
    int errors; // the encoder's output goes here
    int report; // SupervisorReport at 0, the start errors at kStartErrorAt
    int job;    // the job folder, also its lock
    int jobParent;
    const char* jobName;
    SavePlan save;
    bool root;
    // The mix the encoder reads by name, and the state the merge left it in.
    const char* mixName;
    struct stat mixed;
};

// Runs the encoder as the plan says, waits for it, saves its file and removes the job folder;
// the outcome goes to the report file. Never returns.
[[noreturn]] void supervise(const SupervisorPlan& p);

// The encoder's bytes in an anonymous file, sealed; -1 with `error` set when that fails. Where
// the kernel refuses to run such files the file still holds the bytes, and `error` says why.
int encoderInMemory(const QByteArray& bytes, int& error);

} // namespace blendora
