#pragma once

#include "Channel.h"
#include "FileSource.h"
#include "Soxr.h"

#include <memory>
#include <mpg123.h>
#include <utility>
#include <vector>

namespace blendora::audio {

struct Mpg123Deleter {
    void operator()(mpg123_handle* h) const { mpg123_delete(h); }
};
using Mpg123Ptr = std::unique_ptr<mpg123_handle, Mpg123Deleter>;

// Stretches of a file read one after another as one stream, with a cursor of its own.
class Stretches {
  public:
    Stretches(const FileSource& file, std::vector<std::pair<std::uint64_t, std::uint64_t>> spans);
    std::size_t read(void* buffer, std::size_t count);
    // lseek semantics; answers the new position or -1.
    std::int64_t seek(std::int64_t offset, int whence);

  private:
    FileSource file_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans_;
    std::uint64_t size_ = 0;
    std::uint64_t cursor_ = 0;
};

// MPEG audio layers 1-3 through libmpg123, gapless, as 16-bit at the first frame's format.
//
// A file can change rate or channel count part-way (MP3s stuck together). The first format
// is the one the caller was told about, so later parts are mapped onto it: mono is copied
// to both sides, stereo averaged, and other rates converted by libsoxr, because libmpg123's
// own resampler does no interpolation.
class MpegChannel final : public Channel {
  public:
    // Null unless the file holds real MPEG frames.
    static std::unique_ptr<Channel> open(const FileSource& file);

  private:
    MpegChannel(long rate, int channels, std::unique_ptr<Stretches> source, Mpg123Ptr decoder);

    bool decode(std::vector<std::int16_t>& out) override;
    bool restart() override;

    bool switchFormat(long rate, int channels, std::vector<std::int16_t>& out);
    void append(const std::int16_t* samples, std::size_t frames, std::vector<std::int16_t>& out);
    void resample(const std::int16_t* samples, std::size_t frames, std::vector<std::int16_t>& out);
    void drain(std::vector<std::int16_t>& out);

    std::unique_ptr<Stretches> source_; // read by decoder_ through its address
    Mpg123Ptr decoder_;
    long partRate_;
    int partChannels_;
    SoxrPtr resampler_;
    std::vector<std::int16_t> frameCopy_;
    std::vector<std::int16_t> mapped_;
};

} // namespace blendora::audio
