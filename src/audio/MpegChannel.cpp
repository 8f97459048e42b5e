#include "MpegChannel.h"

#include "MpegProbe.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace blendora::audio {

namespace {

ssize_t readSource(void* handle, void* buffer, size_t count) {
    return ssize_t(static_cast<Stretches*>(handle)->read(buffer, count));
}

off_t seekSource(void* handle, off_t offset, int whence) {
    return off_t(static_cast<Stretches*>(handle)->seek(offset, whence));
}

// Opens the decoder on source and answers its output format.
Mpg123Ptr openDecoder(Stretches& source, long& rate, int& channels,
                      int encoding = MPG123_ENC_SIGNED_16) {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
    int error = 0;
    Mpg123Ptr mh(mpg123_new(nullptr, &error));
    if (!mh)
        return nullptr;
    // A decoder that refused a setting is not the one the rest of this file counts on.
    bool set =
        mpg123_param(mh.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0) == MPG123_OK &&
        mpg123_param(mh.get(), MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0) == MPG123_OK &&
        // The source holds runs of frames only: resync over two damaged ones of any size.
        mpg123_param(mh.get(), MPG123_RESYNC_LIMIT, 2 * 8192, 0) == MPG123_OK &&
        // Every MPEG rate at its own channel count, always in the one encoding.
        mpg123_format_none(mh.get()) == MPG123_OK;
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i)
        set = set &&
              mpg123_format(mh.get(), rates[i], MPG123_MONO | MPG123_STEREO, encoding) == MPG123_OK;
    if (!set ||
        mpg123_replace_reader_handle(mh.get(), readSource, seekSource, nullptr) != MPG123_OK)
        return nullptr;
    source.seek(0, SEEK_SET);
    if (mpg123_open_handle(mh.get(), &source) != MPG123_OK)
        return nullptr;
    int given = 0;
    if (mpg123_getformat(mh.get(), &rate, &channels, &given) != MPG123_OK || given != encoding ||
        channels < 1 || channels > 2 || rate <= 0)
        return nullptr;
    return mh;
}

// Frames of sound enough to judge a run by: a second and a half at 44.1 kHz; and frames of
// silence enough to say that a run decodes without failing, so that the probe's cost stays in
// proportion to the file's size.
constexpr std::size_t kJudgedFrames = 64;
constexpr std::size_t kJudgedSilence = 2048;

// Bytes that differ by at most this much are alike, as neighbouring pixels mostly are. Coded
// bits differ as chance makes bytes differ, an eighth of them by this little; a picture's rows
// do so more than twice as often.
constexpr int kLittle = 16;

// The frame libmpg123 has just decoded, from the run that begins at begin, past its head.
std::vector<unsigned char> codedPart(mpg123_handle* mh, const FileSource& file,
                                     std::uint64_t begin) {
    mpg123_frameinfo info{};
    const off_t at = mpg123_framepos(mh);
    if (at < 0 || mpg123_info(mh, &info) != MPG123_OK || info.framesize < 4)
        return {};
    std::vector<unsigned char> frame(std::size_t(info.framesize));
    frame.resize(file.readAt(begin + std::uint64_t(at), frame.data(), frame.size()));
    const auto header = frame.size() >= 4 ? parseMpegHeader(frame.data()) : std::nullopt;
    const std::size_t skip = header ? headBytes(*header) : frame.size();
    return skip < frame.size()
               ? std::vector<unsigned char>(frame.begin() + std::ptrdiff_t(skip), frame.end())
               : std::vector<unsigned char>();
}

bool anySound(const unsigned char* audio, size_t bytes) {
    for (size_t at = 0; at + sizeof(float) <= bytes; at += sizeof(float)) {
        float v = 0;
        std::memcpy(&v, audio + at, sizeof v);
        if (v != 0)
            return true;
    }
    return false;
}

// The decoder's word on the frames of [begin, end).
Heard listen(const FileSource& file, std::uint64_t begin, std::uint64_t end) {
    Stretches run(file, {{begin, end}});
    long rate = 0;
    int channels = 0;
    const Mpg123Ptr mh = openDecoder(run, rate, channels, MPG123_ENC_FLOAT_32);
    Heard heard;
    heard.noise = !mh;
    std::vector<unsigned char> before; // the last frame of sound, past its head
    std::size_t little = 0, much = 0;  // bytes that differ from it, by little or by much
    for (std::size_t frames = 0;
         !heard.noise && heard.sound < kJudgedFrames && frames < kJudgedSilence; ++frames) {
        off_t frame = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        const int rc = mpg123_decode_frame(mh.get(), &frame, &audio, &bytes);
        if (rc == MPG123_DONE)
            break;
        heard.noise = rc != MPG123_OK && rc != MPG123_NEW_FORMAT;
        const bool sound = !heard.noise && anySound(audio, bytes);
        const std::vector<unsigned char> coded =
            sound ? codedPart(mh.get(), file, begin) : std::vector<unsigned char>();
        for (std::size_t i = 0; sound && i < std::min(coded.size(), before.size()); ++i)
            if (coded[i] != before[i])
                ++(std::abs(int(coded[i]) - int(before[i])) <= kLittle ? little : much);
        before = sound ? coded : std::vector<unsigned char>();
        heard.sound += sound ? 1 : 0;
    }
    heard.rows = 4 * little > little + much;
    return heard;
}

} // namespace

std::unique_ptr<Channel> MpegChannel::open(const FileSource& file) {
    const auto walk = findMpegAudio(
        file, [&](std::uint64_t begin, std::uint64_t end) { return listen(file, begin, end); });
    if (!walk)
        return nullptr;
    auto source = std::make_unique<Stretches>(file, walk->spans);
    long rate = 0;
    int channels = 0;
    Mpg123Ptr mh = openDecoder(*source, rate, channels);
    if (!mh)
        return nullptr;
    std::unique_ptr<MpegChannel> channel(
        new MpegChannel(rate, channels, std::move(source), std::move(mh)));
    channel->prime();
    return channel;
}

Stretches::Stretches(const FileSource& file,
                     std::vector<std::pair<std::uint64_t, std::uint64_t>> spans)
    : file_(file), spans_(std::move(spans)) {
    for (const auto& [begin, end] : spans_)
        size_ += end - begin;
}

std::size_t Stretches::read(void* buffer, std::size_t count) {
    std::size_t done = 0;
    std::uint64_t skipped = 0;
    for (const auto& [begin, end] : spans_) {
        const std::uint64_t length = end - begin;
        if (done < count && cursor_ < skipped + length) {
            const std::uint64_t into = cursor_ - skipped;
            const std::size_t want =
                std::size_t(std::min<std::uint64_t>(count - done, length - into));
            const std::size_t n =
                file_.readAt(begin + into, static_cast<char*>(buffer) + done, want);
            done += n;
            cursor_ += n;
            if (n < want)
                break;
        }
        skipped += length;
    }
    return done;
}

std::int64_t Stretches::seek(std::int64_t offset, int whence) {
    const std::int64_t origin = whence == SEEK_CUR   ? std::int64_t(cursor_)
                                : whence == SEEK_END ? std::int64_t(size_)
                                : whence == SEEK_SET ? 0
                                                     : -1;
    if (origin < 0 || (offset > 0 && origin > INT64_MAX - offset) || origin + offset < 0)
        return -1;
    cursor_ = std::uint64_t(origin + offset);
    return std::int64_t(cursor_);
}

MpegChannel::MpegChannel(long rate, int channels, std::unique_ptr<Stretches> source,
                         Mpg123Ptr decoder)
    : Channel(std::uint32_t(rate), std::uint32_t(channels)), source_(std::move(source)),
      decoder_(std::move(decoder)), partRate_(rate), partChannels_(channels) {}

bool MpegChannel::restart() {
    resampler_.reset();
    long rate = 0;
    int channels = 0;
    decoder_ = openDecoder(*source_, rate, channels);
    partRate_ = rate;
    partChannels_ = channels;
    return decoder_ && rate == long(this->rate()) && channels == int(this->channels());
}

bool MpegChannel::decode(std::vector<std::int16_t>& out) {
    if (!decoder_)
        return false;
    off_t frame = 0;
    unsigned char* audio = nullptr;
    size_t bytes = 0;
    const int rc = mpg123_decode_frame(decoder_.get(), &frame, &audio, &bytes);
    if (rc == MPG123_NEW_FORMAT) {
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(decoder_.get(), &rate, &channels, &encoding) != MPG123_OK ||
            encoding != MPG123_ENC_SIGNED_16 || channels < 1 || channels > 2 ||
            !switchFormat(rate, channels, out)) {
            drain(out);
            return false;
        }
        return true;
    }
    // Done, or damaged data such as a cut-off file: either way the data ends here.
    if (rc != MPG123_OK) {
        drain(out);
        return false;
    }
    const std::size_t samples = bytes / (2 * std::size_t(partChannels_)) * partChannels_;
    if (samples == 0)
        return true;
    // Copied (not cast) because the decoder's buffer has no alignment promise.
    const bool asIs = !resampler_ && partChannels_ == int(channels());
    std::vector<std::int16_t>& to = asIs ? out : frameCopy_;
    const std::size_t old = asIs ? out.size() : 0;
    to.resize(old + samples);
    std::memcpy(to.data() + old, audio, samples * 2);
    if (!asIs)
        append(frameCopy_.data(), samples / partChannels_, out);
    return true;
}

bool MpegChannel::switchFormat(long rate, int channels, std::vector<std::int16_t>& out) {
    if (rate == partRate_ && channels == partChannels_)
        return true;
    drain(out);
    partRate_ = rate;
    partChannels_ = channels;
    if (rate == long(this->rate()))
        return true;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER; // keeps a rewind bit-exact
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    resampler_.reset(
        soxr_create(double(rate), this->rate(), this->channels(), &error, &io, &quality, nullptr));
    if (error)
        resampler_.reset();
    return resampler_ != nullptr;
}

void MpegChannel::append(const std::int16_t* samples, std::size_t frames,
                         std::vector<std::int16_t>& out) {
    const std::size_t to = channels();
    if (std::size_t(partChannels_) != to) {
        mapped_.resize(frames * to);
        for (std::size_t i = 0; i < frames; ++i) {
            if (to == 2) {
                mapped_[2 * i] = mapped_[2 * i + 1] = samples[i];
            } else {
                mapped_[i] = std::int16_t((int(samples[2 * i]) + samples[2 * i + 1]) / 2);
            }
        }
        samples = mapped_.data();
    }
    if (resampler_)
        resample(samples, frames, out);
    else
        out.insert(out.end(), samples, samples + frames * to);
}

void MpegChannel::resample(const std::int16_t* samples, std::size_t frames,
                           std::vector<std::int16_t>& out) {
    const std::size_t to = channels();
    const std::size_t room = std::size_t(double(frames) * rate() / double(partRate_)) + 256;
    std::size_t used = 0;
    for (;;) {
        std::size_t in = 0;
        std::size_t made = 0;
        const std::size_t old = out.size();
        out.resize(old + room * to);
        // A null input asks libsoxr for the tail it still holds.
        soxr_process(resampler_.get(), samples ? samples + used * to : nullptr,
                     samples ? frames - used : 0, &in, out.data() + old, room, &made);
        out.resize(old + made * to);
        used += in;
        if (samples ? used >= frames || (in == 0 && made == 0) : made == 0)
            break;
    }
}

void MpegChannel::drain(std::vector<std::int16_t>& out) {
    if (!resampler_)
        return;
    resample(nullptr, 0, out);
    resampler_.reset();
}

} // namespace blendora::audio
