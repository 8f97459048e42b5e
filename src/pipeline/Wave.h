#pragma once

#include "JobFolder.h"
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace blendora {

class Prompts;

// The 44-byte canonical PCM header, as three records written one after the other.
struct RiffHeader {
    char chunkId[4] = {'R', 'I', 'F', 'F'};
    std::uint32_t riffSize = 0;
    char formType[4] = {'W', 'A', 'V', 'E'};
};

struct WaveFormatChunk {
    char chunkId[4] = {'f', 'm', 't', ' '};
    std::uint32_t chunkSize = 16;
    std::int16_t formatTag = 1;
    std::int16_t channels = 0;
    std::int32_t sampleRate = 0;
    std::int32_t byteRate = 0;
    std::int16_t blockAlign = 0;
    std::int16_t bitsPerSample = 0;
};

struct WaveDataHeader {
    char chunkId[4] = {'d', 'a', 't', 'a'};
    std::uint32_t dataSize = 0;
};

inline constexpr int kWaveHeaderSize = 44;
// The most sample bytes a RIFF header can declare: the RIFF size field is data + 36.
inline constexpr std::uint64_t kMaxWaveDataSize = 0xFFFFFFFFull - 36;

// The one header every WAV file of ours has: 16-bit PCM at `rate` with `channels`, declaring
// `dataSize` bytes of samples; 44 bytes, little-endian, whatever the machine.
WaveFormatChunk pcmFormat(int rate, int channels);
QByteArray pcmWaveHeader(const WaveFormatChunk& format, std::uint32_t dataSize);

// What the merger needs of a WAV file; all zero when it could not be read.
struct WaveFileInfo {
    std::int32_t sampleRate = 0;
    std::int16_t bitsPerSample = 0;
    std::int16_t channels = 0;
    std::int64_t dataOffset = 0;
    std::int64_t dataSize = 0;

    bool operator==(const WaveFileInfo&) const = default;
};

} // namespace blendora
