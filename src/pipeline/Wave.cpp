#include "Wave.h"

#include <QtEndian>
#include <cstring>

namespace blendora {

QByteArray waveHeaderBytes(const RiffHeader& riff, const WaveFormatChunk& format,
                           const WaveDataHeader& data) {
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
