#pragma once

#include "ChildProcess.h"
#include "Save.h"
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace blendora {

class JobFolder;
struct JobFile;

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
