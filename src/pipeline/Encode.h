#pragma once

#include "ChildProcess.h"
#include "Save.h"
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <sys/stat.h>

namespace blendora {

class JobFolder;
struct JobFile;

// The encoder (the program's bytes) writes the MP3 file with "-h" inside the job folder, run
// from an anonymous file in memory; where the kernel refuses that, from a copy in the job
// folder run through its descriptor, and else the installed lame. A supervisor then saves the
// file beside the output (SaveBeside), even when this program has ended first, and removes the
// job folder when done. Throws a Condition with the person's words, the encoder's own last
// ones among them, unless the file now stands at the chosen name; answers where it went when
// its folder was moved meanwhile, else nothing. The encoder reads `wav` by name: a mix no longer
// in the state `mixed` once it has ended was not read whole, and is not saved.
QString EncodeWavToMp3(const QByteArray& encoder, const JobFile& wav, const struct stat& mixed,
                       const OutputName& mp3, JobFolder& job);

// The encoder's failure in one clean line: no progress output, no terminal controls.
QString encoderLastWords(const QByteArray& tail);

} // namespace blendora
