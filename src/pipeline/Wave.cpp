#include "Wave.h"

#include "AppTitle.h"
#include "Descriptor.h"
#include "JobFolder.h"
#include "Prompts.h"

#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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

namespace {

constexpr qsizetype kHeaderSearchBytes = 100;

// Up to `limit` bytes from the start; fewer for a shorter file, none when it cannot be read.
QByteArray readLeadingBytes(int fd, qsizetype limit) {
    QByteArray bytes(limit, '\0');
    const ssize_t got = readAll(fd, bytes.data(), std::size_t(limit));
    if (got < 0)
        return {};
    bytes.truncate(got);
    return bytes;
}

template <class T> bool readLittleEndian(const QByteArray& bytes, qsizetype at, T& value) {
    if (at < 0 || at + qsizetype(sizeof(T)) > bytes.size())
        return false;
    value = qFromLittleEndian<T>(bytes.constData() + at);
    return true;
}

} // namespace

WaveFileInfo ReadWaveHeader(const JobFile& file, Prompts& prompts) {
    if (!file.valid() || file.name.contains('\0')) {
        prompts.message(QStringLiteral("The file is not found."), appTitle());
        return {};
    }
    // Read-only and never O_CREAT: looking at a header must not leave an empty file behind.
    const int fd =
        ::openat(file.folder, file.name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENAMETOOLONG)
            prompts.message(QStringLiteral("The file is not found."), appTitle());
        return {};
    }
    const QByteArray head = readLeadingBytes(fd, kHeaderSearchBytes);
    ::close(fd);

    const qsizetype fmt = head.indexOf("fmt");
    const qsizetype data = head.indexOf("data");
    if (fmt < 0 || data < 0)
        return {};
    WaveFileInfo info;
    std::uint32_t dataSize = 0;
    if (!readLittleEndian(head, fmt + 10, info.channels) ||
        !readLittleEndian(head, fmt + 12, info.sampleRate) ||
        !readLittleEndian(head, fmt + 22, info.bitsPerSample) ||
        !readLittleEndian(head, data + 4, dataSize))
        return {};
    info.dataSize = dataSize;
    info.dataOffset = data + 8;
    return info;
}

} // namespace blendora
