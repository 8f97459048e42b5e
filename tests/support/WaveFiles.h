#pragma once

// WAV files read by their headers, and merged from them the way a job merges: for the tests,
// the fuzzer and the bench, which start from files rather than from the decoder.

#include "Merge.h"
#include "Wave.h"

namespace blendora {

// Finds the first "fmt" and the first "data" in the file's first 100 bytes, wherever they
// stand. A missing, empty or unreadable file, or one without both marks, gives all zeros.
// A name that cannot be a file name gives "The file is not found." as well.
WaveFileInfo ReadWaveHeader(const JobFile& file, Prompts& prompts);

// Reads the header once, and the file's length. Shows only the header reader's own message.
MergeInput ReadMergeInput(const JobFile& file, Prompts& prompts);

// Plans from one read of each header, refuses what would not fit, then merges, as a job does.
struct stat MergeWave(const JobFile& first, const JobFile& second, const JobFile& output,
                      Form1View& view, Prompts& prompts);

} // namespace blendora
