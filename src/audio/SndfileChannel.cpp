#include "SndfileChannel.h"

#include <algorithm>
#include <cmath>

namespace blendora::audio {

namespace {

constexpr sf_count_t kBlockFrames = 4096;
constexpr int kMaxChannels = 16;

sf_count_t sourceLength(void* user) {
    return sf_count_t(static_cast<FileSource*>(user)->size());
}
sf_count_t sourceSeek(sf_count_t offset, int whence, void* user) {
    return static_cast<FileSource*>(user)->seek(offset, whence);
}
sf_count_t sourceRead(void* buffer, sf_count_t count, void* user) {
    return count <= 0 ? 0 : sf_count_t(static_cast<FileSource*>(user)->read(buffer, size_t(count)));
}
sf_count_t sourceWrite(const void*, sf_count_t, void*) {
    return 0;
}
sf_count_t sourceTell(void* user) {
    return sf_count_t(static_cast<FileSource*>(user)->tell());
}

SndfilePtr openFile(FileSource& source, SF_INFO& info) {
    static SF_VIRTUAL_IO io = {sourceLength, sourceSeek, sourceRead, sourceWrite, sourceTell};
    source.seek(0, SEEK_SET);
    info = {};
    SndfilePtr file(sf_open_virtual(&io, SFM_READ, &info, &source));
    // libsndfile tells an MPC 2000 sample by two bytes, 01 04, which one file in 65,536 starts
    // with by chance, and a dark picture's pixels far more often.
    const int type = info.format & SF_FORMAT_TYPEMASK;
    if (!file || type == SF_FORMAT_MPEG || type == SF_FORMAT_MPC2K || info.channels < 1 ||
        info.channels > kMaxChannels || info.samplerate < 1)
        return nullptr;
    // Any float data libsndfile itself turns into integers must saturate, not wrap around.
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return file;
}

} // namespace

std::unique_ptr<Channel> SndfileChannel::open(const FileSource& whole) {
    auto source = std::make_unique<FileSource>(whole);
    SF_INFO info;
    SndfilePtr file = openFile(*source, info);
    if (!file)
        return nullptr;
    std::unique_ptr<SndfileChannel> channel(
        new SndfileChannel(info, std::move(source), std::move(file)));
    channel->prime();
    return channel;
}

SndfileChannel::SndfileChannel(const SF_INFO& info, std::unique_ptr<FileSource> source,
                               SndfilePtr file)
    : Channel(std::uint32_t(info.samplerate), std::uint32_t(info.channels)),
      source_(std::move(source)), file_(std::move(file)), info_(info) {
    // libsndfile does not scale floating-point data read as integers: full scale would come
    // out as ±1. Such data is read as float and scaled and clipped here instead.
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    floating_ = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE ||
                subtype == SF_FORMAT_VORBIS || subtype == SF_FORMAT_OPUS;
}

bool SndfileChannel::decode(std::vector<std::int16_t>& out) {
    if (!file_)
        return false;
    const std::size_t samples = std::size_t(kBlockFrames) * channels();
    out.resize(samples);
    sf_count_t n = 0;
    if (floating_) {
        floats_.resize(samples);
        n = sf_readf_float(file_.get(), floats_.data(), kBlockFrames);
        for (std::size_t i = 0; i < std::size_t(std::max<sf_count_t>(n, 0)) * channels(); ++i) {
            const float v = std::nearbyint(floats_[i] * 32768.0f);
            out[i] = std::int16_t(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : v);
        }
    } else {
        n = sf_readf_short(file_.get(), out.data(), kBlockFrames);
    }
    out.resize(n > 0 ? std::size_t(n) * channels() : 0);
    return n > 0;
}

bool SndfileChannel::restart() {
    // Reopened rather than sought, as not every format can seek.
    SF_INFO info;
    file_ = openFile(*source_, info);
    return file_ && info.samplerate == info_.samplerate && info.channels == info_.channels;
}

bool SndfileChannel::seekFrame(std::uint64_t frame) {
    return file_ && info_.seekable && frame <= std::uint64_t(info_.frames) &&
           sf_seek(file_.get(), sf_count_t(frame), SEEK_SET) == sf_count_t(frame);
}

} // namespace blendora::audio
