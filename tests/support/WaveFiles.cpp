#include "WaveFiles.h"

#include "AppTitle.h"
#include "Descriptor.h"
#include "Prompts.h"

#include <QtEndian>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace blendora {

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

std::int64_t fileSize(const JobFile& file) {
    struct stat st {};
    return ::fstatat(file.folder, file.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
               ? std::int64_t(st.st_size)
               : 0;
}

} // namespace

WaveFileInfo ReadWaveHeader(const JobFile& file, Prompts& prompts) {
    if (!file.valid() || file.name.contains('\0')) {
        prompts.message(QStringLiteral("The file is not found."), appTitle());
        return {};
    }
    // Read-only and never O_CREAT: looking at a header must not leave an empty file behind.
    const UniqueFd fd(
        ::openat(file.folder, file.name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    if (!fd.valid()) {
        if (errno == ENAMETOOLONG)
            prompts.message(QStringLiteral("The file is not found."), appTitle());
        return {};
    }
    const QByteArray head = readLeadingBytes(fd.get(), kHeaderSearchBytes);

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

MergeInput ReadMergeInput(const JobFile& file, Prompts& prompts) {
    return {ReadWaveHeader(file, prompts), fileSize(file)};
}

struct stat MergeWave(const JobFile& first, const JobFile& second, const JobFile& output,
                      Form1View& view, Prompts& prompts) {
    const MergePlan plan =
        PlanMerge(ReadMergeInput(first, prompts), ReadMergeInput(second, prompts));
    RefuseMergeThatWouldNotFit(plan, output);
    return MergeWave(plan, first, second, output, view, prompts);
}

} // namespace blendora
