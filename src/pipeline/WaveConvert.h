#pragma once

#include "Wave.h"

#include <QString>

namespace blendora {

struct WaveFormat {
    int sampleRate = 0;
    int channels = 0;
    bool operator==(const WaveFormat&) const = default;
};

// The rate and channel count of a 16-bit input that holds sound; {0, 0} for one that is
// silent or whose header gives nothing a conversion could rely on.
WaveFormat mixableFormat(const WaveFileInfo& info);

// What two inputs are mixed in: the higher rate and the most channels, at most stereo.
// {0, 0} when neither holds sound.
WaveFormat commonFormat(const WaveFileInfo& first, const WaveFileInfo& second);

// Brings the 16-bit sound of `input` to `format` (resampled with libsoxr, channels mixed down
// or copied) as a canonical WAV file at `output`, and returns that file's record. Memory stays
// the same whatever the length. Throws a Failure when a file cannot be read or written.
WaveFileInfo ConvertWave(const QString& input, const WaveFileInfo& info, WaveFormat format,
                         const QString& output);

} // namespace blendora
