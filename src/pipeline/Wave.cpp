#include "Wave.h"

#include <QtEndian>
#include <cstring>

namespace blendora {

WaveFormatChunk pcmFormat(int rate, int channels) {
    WaveFormatChunk format;
    format.channels = std::int16_t(channels);
    format.sampleRate = std::int32_t(rate);
    format.bitsPerSample = 16;
    format.blockAlign = std::int16_t(format.channels * format.bitsPerSample / 8);
    format.byteRate = format.sampleRate * format.blockAlign;
    return format;
}

QByteArray pcmWaveHeader(const WaveFormatChunk& format, std::uint32_t dataSize) {
    RiffHeader riff;
    riff.riffSize = dataSize + std::uint32_t(kWaveHeaderSize - 8);
    WaveDataHeader data;
    data.dataSize = dataSize;
    QByteArray bytes(kWaveHeaderSize, '\0');
    char* p = bytes.data();
    std::memcpy(p, riff.chunkId, 4);
    qToLittleEndian(riff.riffSize, p + 4);
    std::memcpy(p + 8, riff.formType, 4);
    std::memcpy(p + 12, format.chunkId, 4);
    qToLittleEndian(format.chunkSize, p + 16);
    qToLittleEndian(format.formatTag, p + 20);
    qToLittleEndian(format.channels, p + 22);
    qToLittleEndian(format.sampleRate, p + 24);
    qToLittleEndian(format.byteRate, p + 28);
    qToLittleEndian(format.blockAlign, p + 32);
    qToLittleEndian(format.bitsPerSample, p + 34);
    std::memcpy(p + 36, data.chunkId, 4);
    qToLittleEndian(data.dataSize, p + 40);
    return bytes;
}

} // namespace blendora
