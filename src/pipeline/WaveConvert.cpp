#include "WaveConvert.h"

#include "Failure.h"
#include "File.h"
#include "Form1View.h"
#include "JobFolder.h"
#include "Paths.h"
#include "Soxr.h"

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

using Resampler = SoxrPtr;

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

namespace {

// The way from the input's frames to the target's: mixed down to as few channels as both have,
// resampled, copied out to the channels wanted, written after the header's room.
class Conversion {
  public:
    Conversion(const QString& input, WaveFormat from, WaveFormat format, std::int64_t planned,
               File& target)
        : input_(input), format_(format), planned_(planned), target_(target),
          midChannels_(std::min(from.channels, format.channels)),
          down_(from.channels, midChannels_), up_(midChannels_, format.channels),
          resample_(from.sampleRate != format.sampleRate) {
        // Fewer frames per read for a steep rate rise, so buffers stay small whatever the
        // header says.
        const double ratio = double(format.sampleRate) / from.sampleRate;
        framesPerRead_ =
            std::clamp<std::size_t>(std::size_t(double(kFramesPerRead) / ratio), 1, kFramesPerRead);
        maxOutFrames_ = std::size_t(double(framesPerRead_) * ratio) + 64;
        midBuf_.resize(down_.identity() ? 0 : framesPerRead_ * size_t(midChannels_));
        resampled_.resize(resample_ ? maxOutFrames_ * size_t(midChannels_) : 0);
        outBuf_.resize(up_.identity() ? 0 : maxOutFrames_ * size_t(format.channels));
        if (resample_)
            resampler_ = makeResampler(from.sampleRate, format.sampleRate, midChannels_);
    }

    std::size_t framesPerRead() const { return framesPerRead_; }
    std::int64_t written() const { return written_; }

    // Input frames in; a null input asks the resampler for what it still holds.
    void feed(const std::int16_t* frames, std::size_t count) {
        if (frames && !down_.identity()) {
            down_.apply(frames, count, midBuf_.data());
            frames = midBuf_.data();
        }
        if (!resample_) {
            store(frames, count);
            return;
        }
        const bool flush = frames == nullptr;
        for (;;) {
            std::size_t used = 0, made = 0;
            const soxr_error_t error = soxr_process(resampler_.get(), frames, count, &used,
                                                    resampled_.data(), maxOutFrames_, &made);
            if (error)
                fail(QString::fromUtf8(soxr_strerror(error)));
            store(resampled_.data(), made);
            if (flush ? made == 0 : used == count)
                break;
            if (!flush && used == 0 && made == 0)
                fail(QStringLiteral("%1: the resampler stopped.").arg(shownName(input_)));
            if (!flush) {
                frames += used * size_t(midChannels_);
                count -= used;
            }
        }
    }

    void finish() {
        if (resample_)
            feed(nullptr, 0);
        const QByteArray header =
            pcmWaveHeader(pcmFormat(format_.sampleRate, format_.channels), std::uint32_t(written_));
        target_.writeAt(0, header.constData(), header.size());
    }

  private:
    void store(const std::int16_t* frames, std::size_t count) {
        if (!up_.identity()) {
            up_.apply(frames, count, outBuf_.data());
            frames = outBuf_.data();
        }
        const std::int64_t bytes = std::int64_t(count) * 2 * format_.channels;
        // The plan's figure bounds what the space check and the header limit were judged by.
        if (written_ + bytes > planned_)
            fail(QStringLiteral("%1 brought to %2 came out longer than the %3 bytes planned.")
                     .arg(shownName(input_), formatName(format_))
                     .arg(planned_));
        target_.writeAt(kWaveHeaderSize + written_, frames, bytes);
        written_ += bytes;
    }

    const QString& input_;
    const WaveFormat format_;
    const std::int64_t planned_;
    File& target_;
    const int midChannels_;
    const ChannelMap down_, up_;
    const bool resample_;
    std::size_t framesPerRead_ = 0, maxOutFrames_ = 0;
    std::vector<std::int16_t> midBuf_, resampled_, outBuf_;
    Resampler resampler_;
    std::int64_t written_ = 0;
};

} // namespace

WaveFileInfo ConvertWave(const JobFile& inputFile, const WaveFileInfo& info, std::int64_t length,
                         WaveFormat format, std::int64_t planned, const JobFile& output,
                         Form1View& view) {
    const QString& input = inputFile.path;
    const WaveFormat from = mixableFormat(info);
    if (from.channels == 0 || format.channels <= 0 || format.sampleRate <= 0)
        fail(QStringLiteral("%1: the sound cannot be converted.").arg(shownName(input)));
    // Refused up front by the plan's own check; a plan that passed it anyway is a fault.
    if (planned > std::int64_t(kMaxWaveDataSize))
        fail(QStringLiteral("%1 brought to %2 would need %3 bytes of sound, more than the %4 "
                            "that a WAV file can hold.")
                 .arg(shownName(input), formatName(format))
                 .arg(planned)
                 .arg(kMaxWaveDataSize));
    File source;
    source.open(inputFile, File::Read);
    source.mustHold(length);
    const std::int64_t inFrameBytes = 2 * std::int64_t(from.channels);
    const std::int64_t inFrames = inputFrames(info, length, from.channels);

    File target;
    target.open(output, File::Replace);
    std::int64_t written = 0;
    try {
        Conversion conversion(input, from, format, planned, target);
        std::vector<std::int16_t> readBuf(conversion.framesPerRead() * size_t(from.channels));
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        for (std::int64_t done = 0; done < inFrames;) {
            const std::size_t frames = std::size_t(
                std::min<std::int64_t>(std::int64_t(conversion.framesPerRead()), inFrames - done));
            source.readAt(info.dataOffset + done * inFrameBytes, readBuf.data(),
                          std::int64_t(frames) * inFrameBytes);
            conversion.feed(readBuf.data(), frames);
            done += std::int64_t(frames);
            // The window repaints, and a close takes effect, while a long input is converted.
            if (sinceEvents.elapsed() >= kEventLoopMs) {
                view.doEvents();
                sinceEvents.restart();
            }
        }
        conversion.finish();
        written = conversion.written();
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
