#pragma once

#include "Form1View.h"
#include "Prompts.h"

#include <QString>
#include <cstdint>

namespace blendora {

// Mixes two 16-bit PCM WAV files word by word into `output`, a copy of the longer input whose
// samples are replaced by the mix, each input at half level. Inputs of different rates or
// channel counts are first brought to one format. Failures are reported through the prompts;
// true when the output was written completely.
bool MergeWave(const QString& first, const QString& second, const QString& output, Form1View& view,
               Prompts& prompts);

// Puts current * 100 / total on the bar; a value it cannot show leaves the bar as it was.
void ShowMergeProgress(std::int64_t current, std::int64_t total, Form1View& view);

} // namespace blendora
