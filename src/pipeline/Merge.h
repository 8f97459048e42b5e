#pragma once

#include "Form1View.h"
#include "JobFolder.h"
#include "Prompts.h"

#include <QString>
#include <cstdint>

namespace blendora {

// Mixes two 16-bit PCM WAV files word by word into `output`, a copy of the longer input whose
// samples are replaced by the mix, each input at half level. Inputs of different rates or
// channel counts are first brought to one format. Failures are reported through the prompts;
// true when the output was written completely.
bool MergeWave(const JobFile& first, const JobFile& second, const JobFile& output, Form1View& view,
               Prompts& prompts);

// What a merge of two decoded files writes: the converted copy of each input (0 for one used as
// it stands) and the mixed file, in bytes; the format the inputs are brought to.
struct MergeSizes {
    std::int64_t converted[2] = {0, 0};
    std::int64_t output = 0;
    int rate = 0;
    int channels = 0;
};
MergeSizes PlanMerge(const JobFile& first, const JobFile& second, Prompts& prompts);

// Why the merge into `output` cannot be made, in words for the person, before anything is
// written: a converted input passes what a WAV file can declare, or the files pass the free
// space of the output's folder less the spare room. Empty when it fits.
QString MergeRefusal(const JobFile& first, const JobFile& second, const JobFile& output,
                     Prompts& prompts);

// Puts current * 100 / total on the bar; a value it cannot show leaves the bar as it was.
void ShowMergeProgress(std::int64_t current, std::int64_t total, Form1View& view);

} // namespace blendora
