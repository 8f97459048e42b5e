#include "WaveConvert.h"

#include "Failure.h"
#include "File.h"
#include "Form1View.h"
#include "JobFolder.h"
#include "WorkSpace.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <bit>
#include <memory>
#include <soxr.h>
#include <vector>

namespace blendora {

// Sample words go between file and memory as they are.
static_assert(std::endian::native == std::endian::little);

// Beyond these a header describes no sound anyone records; its buffers would not fit in memory.
constexpr int kMaxRate = 768000;
constexpr int kMaxChannels = 32;

WaveFormat mixableFormat(const WaveFileInfo& info) {
    if (info.dataSize <= 0 || info.bitsPerSample != 16 || info.channels <= 0 ||
        info.channels > kMaxChannels || info.sampleRate <= 0 || info.sampleRate > kMaxRate)
        return {};
    return {info.sampleRate, info.channels};
}

WaveFormat commonFormat(const WaveFileInfo& first, const WaveFileInfo& second) {
    const WaveFormat a = mixableFormat(first);
    const WaveFormat b = mixableFormat(second);
    const int channels = std::max(a.channels, b.channels);
    if (channels == 0)
        return {};
    // The encoder takes no more than two channels.
    return {std::max(a.sampleRate, b.sampleRate), std::min(channels, 2)};
}

namespace {

// Which input channels make up each output channel; an output channel is their average.
class ChannelMap {
  public:
    ChannelMap(int in, int out) : in_(in), out_(out), sources_(size_t(out)) {
        if (out == 1) {
            for (int c = 0; c < in; ++c)
                sources_[0].push_back(c);
        } else if (in <= out) {
            for (int o = 0; o < out; ++o)
                sources_[size_t(o)].push_back(o % in);
        } else {
            // To stereo: the front pair stays apart, centre and LFE (2, 3) go to both sides,
            // further pairs to their own side, an unpaired last channel to both.
            for (int c = 0; c < in; ++c) {
                const bool both = c == 2 || c == 3 || (c >= 4 && c == in - 1 && c % 2 == 0);
                if (both || c % 2 == 0)
                    sources_[0].push_back(c);
                if (both || c % 2 == 1)
                    sources_[1].push_back(c);
            }
        }
    }

    bool identity() const { return in_ == out_; }

    void apply(const std::int16_t* in, std::size_t frames, std::int16_t* out) const {
        for (std::size_t f = 0; f < frames; ++f, in += in_, out += out_) {
            for (int o = 0; o < out_; ++o) {
                const std::vector<int>& from = sources_[size_t(o)];
                int sum = 0;
                for (int c : from)
                    sum += in[c];
                const int n = int(from.size());
                out[o] = std::int16_t(sum >= 0 ? (sum + n / 2) / n : -((-sum + n / 2) / n));
            }
        }
    }

  private:
    int in_;
    int out_;
    std::vector<std::vector<int>> sources_;
};

struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using Resampler = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

Resampler makeResampler(int inRate, int outRate, int channels) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    Resampler r(soxr_create(inRate, outRate, unsigned(channels), &error, &io, &quality, &runtime));
    if (!r || error)
        fail(QString::fromUtf8(soxr_strerror(error)));
    return r;
}

constexpr std::size_t kFramesPerRead = 32768;
// How long the conversion may keep the window waiting.
constexpr qint64 kEventLoopMs = 40;

std::int64_t inputFrames(const WaveFileInfo& info, std::int64_t fileSize, int channels) {
    const std::int64_t available =
        std::clamp<std::int64_t>(fileSize - info.dataOffset, 0, info.dataSize);
    return available / (2 * std::int64_t(channels));
}

} // namespace

std::int64_t ConvertedDataSize(const WaveFileInfo& info, std::int64_t fileSize, WaveFormat format) {
    const WaveFormat from = mixableFormat(info);
    if (from.channels == 0 || format.channels <= 0 || format.sampleRate <= 0)
        return 0;
    // The resampler gives the input's length at the new rate, rounded; one frame more at most.
    const std::int64_t frames = inputFrames(info, fileSize, from.channels);
    const std::int64_t outFrames =
        from.sampleRate == format.sampleRate
            ? frames
            : (frames * format.sampleRate + from.sampleRate - 1) / from.sampleRate;
    return outFrames * 2 * format.channels;
}

QString formatName(WaveFormat format) {
    const QString channels = format.channels == 1 ? QStringLiteral("mono")
                             : format.channels == 2
                                 ? QStringLiteral("stereo")
                                 : QStringLiteral("%1 channels").arg(format.channels);
    return QStringLiteral("%1 Hz %2").arg(format.sampleRate).arg(channels);
}

WaveFileInfo ConvertWave(const JobFile& inputFile, const WaveFileInfo& info, WaveFormat format,
                         const JobFile& output, Form1View& view) {
    const QString& input = inputFile.path;
    const WaveFormat from = mixableFormat(info);
    if (from.channels == 0 || format.channels <= 0 || format.sampleRate <= 0)
        fail(QStringLiteral("%1: the sound cannot be converted.").arg(input));
    const int inChannels = from.channels;
    // Resample as few channels as possible: mix down first, copy out to more channels last.
    const int midChannels = std::min(inChannels, format.channels);
    const ChannelMap down(inChannels, midChannels);
    const ChannelMap up(midChannels, format.channels);
    const bool resample = from.sampleRate != format.sampleRate;

    File source;
    source.open(inputFile, File::Read);
    const std::int64_t inFrameBytes = 2 * std::int64_t(inChannels);
    const std::int64_t inFrames = inputFrames(info, source.size(), inChannels);

    // Refused before a byte is written: nothing is ever cut short.
    const std::int64_t needed = ConvertedDataSize(info, source.size(), format);
    if (needed > std::int64_t(kMaxWaveDataSize))
        fail(QStringLiteral("%1 brought to %2 would need %3 bytes of sound, more than the %4 "
                            "that a WAV file can hold.")
                 .arg(input, formatName(format))
                 .arg(needed)
                 .arg(kMaxWaveDataSize));
    const QString folder = output.folderPath();
    const std::int64_t free = freeSpace(output);
    if (free >= 0 && kWaveHeaderSize + needed + kSpareSpace > free)
        fail(QStringLiteral("There is not enough free space in %1 to bring %2 to %3 (%4 MiB "
                            "needed, %5 MiB free).")
                 .arg(chosenWorkFolder(folder), input, formatName(format))
                 .arg((kWaveHeaderSize + needed + kSpareSpace + (1 << 20) - 1) >> 20)
                 .arg(free >> 20) +
             kOtherWorkFolder);

    const std::int64_t outFrameBytes = 2 * std::int64_t(format.channels);
    std::int64_t written = 0;
    File target;
    target.open(output, File::Replace);
    try {
        QElapsedTimer sinceEvents;
        sinceEvents.start();

        // Fewer frames per read for a steep rate rise, so buffers stay small whatever the header
        // says.
        const double ratio = double(format.sampleRate) / from.sampleRate;
        const std::size_t framesPerRead =
            std::clamp<std::size_t>(std::size_t(double(kFramesPerRead) / ratio), 1, kFramesPerRead);
        const std::size_t maxOutFrames = std::size_t(double(framesPerRead) * ratio) + 64;
        std::vector<std::int16_t> readBuf(framesPerRead * size_t(inChannels));
        std::vector<std::int16_t> midBuf(down.identity() ? 0 : framesPerRead * size_t(midChannels));
        std::vector<std::int16_t> resampled(resample ? maxOutFrames * size_t(midChannels) : 0);
        std::vector<std::int16_t> outBuf(up.identity() ? 0
                                                       : maxOutFrames * size_t(format.channels));

        auto store = [&](const std::int16_t* frames, std::size_t count) {
            if (!up.identity()) {
                up.apply(frames, count, outBuf.data());
                frames = outBuf.data();
            }
            const std::int64_t bytes = std::int64_t(count) * outFrameBytes;
            if (written + bytes > std::int64_t(kMaxWaveDataSize))
                fail(QStringLiteral("%1 brought to %2 passes what a WAV file can hold.")
                         .arg(input, formatName(format)));
            target.writeAt(kWaveHeaderSize + written, frames, bytes);
            written += bytes;
        };

        Resampler resampler =
            resample ? makeResampler(from.sampleRate, format.sampleRate, midChannels) : Resampler();
        auto feed = [&](const std::int16_t* frames, std::size_t count) {
            if (!resample) {
                store(frames, count);
                return;
            }
            // A null input asks soxr for what it still holds, until it gives nothing more.
            const bool flush = frames == nullptr;
            for (;;) {
                std::size_t used = 0, made = 0;
                const soxr_error_t error = soxr_process(resampler.get(), frames, count, &used,
                                                        resampled.data(), maxOutFrames, &made);
                if (error)
                    fail(QString::fromUtf8(soxr_strerror(error)));
                store(resampled.data(), made);
                if (flush ? made == 0 : used == count)
                    break;
                if (!flush && used == 0 && made == 0)
                    fail(QStringLiteral("%1: the resampler stopped.").arg(input));
                if (!flush) {
                    frames += used * size_t(midChannels);
                    count -= used;
                }
            }
        };

        for (std::int64_t done = 0; done < inFrames;) {
            const std::size_t frames =
                std::size_t(std::min<std::int64_t>(std::int64_t(framesPerRead), inFrames - done));
            source.readAt(info.dataOffset + done * inFrameBytes, readBuf.data(),
                          std::int64_t(frames) * inFrameBytes);
            const std::int16_t* mid = readBuf.data();
            if (!down.identity()) {
                down.apply(readBuf.data(), frames, midBuf.data());
                mid = midBuf.data();
            }
            feed(mid, frames);
            done += std::int64_t(frames);
            // The window repaints, and a close takes effect, while a long input is converted.
            if (sinceEvents.elapsed() >= kEventLoopMs) {
                view.doEvents();
                sinceEvents.restart();
            }
        }
        if (resample)
            feed(nullptr, 0);

        RiffHeader riff;
        riff.riffSize = std::uint32_t(36 + written);
        WaveFormatChunk fmt;
        fmt.channels = std::int16_t(format.channels);
        fmt.sampleRate = format.sampleRate;
        fmt.byteRate = std::int32_t(std::int64_t(format.sampleRate) * outFrameBytes);
        fmt.blockAlign = std::int16_t(outFrameBytes);
        fmt.bitsPerSample = 16;
        WaveDataHeader data;
        data.dataSize = std::uint32_t(written);
        const QByteArray header = waveHeaderBytes(riff, fmt, data);
        target.writeAt(0, header.constData(), header.size());
        target.close();
    } catch (...) {
        // Nothing half-converted stays behind.
        target.discard();
        throw;
    }
    source.close();

    WaveFileInfo result;
    result.sampleRate = format.sampleRate;
    result.bitsPerSample = 16;
    result.channels = std::int16_t(format.channels);
    result.dataOffset = kWaveHeaderSize;
    result.dataSize = written;
    return result;
}

} // namespace blendora
