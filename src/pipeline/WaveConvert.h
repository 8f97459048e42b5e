#pragma once

#include "JobFolder.h"
#include "Wave.h"

#include <QString>
#include <cstdint>

namespace blendora {

class Form1View;

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

// The sample bytes that ConvertWave writes for an input of `fileSize` bytes: what its header
// declares and the file holds, at the rate and channel count of `format`. Never less than the
// conversion writes.
std::int64_t ConvertedDataSize(const WaveFileInfo& info, std::int64_t fileSize, WaveFormat format);

// "44100 Hz stereo".
QString formatName(WaveFormat format);

// Brings the 16-bit sound of `input` to `format` (resampled with libsoxr, channels mixed down
// or copied) as a canonical WAV file at `output`, and returns that file's record. `length` is
// what the input holds, as it was written: a read that comes up short of it throws a
// Condition. `planned` is ConvertedDataSize's figure, by which the caller judged the header
// limit and the free space; writing more is a fault. Memory stays the same whatever the
// length, and the view's event loop runs now and then. Throws when a file cannot be read or
// written.
WaveFileInfo ConvertWave(const JobFile& input, const WaveFileInfo& info, std::int64_t length,
                         WaveFormat format, std::int64_t planned, const JobFile& output,
                         Form1View& view);

} // namespace blendora
