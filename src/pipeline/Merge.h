#pragma once

#include "Form1View.h"
#include "JobFolder.h"
#include "Prompts.h"
#include "Wave.h"
#include "WaveConvert.h"

#include <cstdint>
#include <sys/stat.h>

namespace blendora {

// One input of a merge: its header and the length of its file.
struct MergeInput {
    WaveFileInfo info;
    std::int64_t fileSize = 0;
};

// A file as the decoder wrote it: the header it returned, and nothing after the samples.
inline MergeInput decodedWave(const WaveFileInfo& info) {
    return {info, info.dataOffset + info.dataSize};
}

// What a merge decides before it writes anything, decided once: the space check and the merge
// both follow it, so they cannot disagree.
struct MergePlan {
    MergeInput input[2];
    // What an input of another rate or channel count is brought to.
    WaveFormat common;
    bool convert[2] = {false, false};
    // Sample bytes of each converted copy, never less than the conversion writes.
    std::int64_t converted[2] = {0, 0};
    // The input the output is a copy of: the larger data chunk, the first on a tie. Planned
    // from the converted copies' figures, which may be a frame high: the merge judges it again,
    // by the same rule, from what the conversion wrote.
    int longer = 0;
    // Bytes of the mixed file.
    std::int64_t output = 0;
};

// Never shows a message.
MergePlan PlanMerge(const MergeInput& first, const MergeInput& second);

// Throws a Condition, with the figures, when a converted input would pass what a WAV file can
// declare or the files would pass the free space of the output's folder less the spare room.
void RefuseMergeThatWouldNotFit(const MergePlan& plan, const JobFile& output);

// Mixes two 16-bit PCM WAV files word by word into `output`, a copy of the longer input whose
// samples are replaced by the mix, each input at half level. Inputs of different rates or
// channel counts are first brought to one format, as the plan says. A failing statement is
// reported with its number; then the merge throws a Condition saying that the two files could
// not be mixed. A condition of the machine (a full disk) ends it at once, thrown as it is; so
// does an input shorter than the plan says (cut since it was written). Answers the mixed file as
// it was left (inode, size and times): what the encoder must find.
struct stat MergeWave(const MergePlan& plan, const JobFile& first, const JobFile& second,
                      const JobFile& output, Form1View& view, Prompts& prompts);

// Puts current * 100 / total on the bar; a value it cannot show leaves the bar as it was.
void ShowMergeProgress(std::int64_t current, std::int64_t total, Form1View& view);

} // namespace blendora
