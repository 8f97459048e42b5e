#pragma once

#include "Channel.h"
#include "FileSource.h"

#include <memory>
#include <sndfile.h>
#include <vector>

namespace blendora::audio {

struct SndfileDeleter {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileDeleter>;

// WAV, AIFF, FLAC, Ogg Vorbis, Opus and the rest of what libsndfile reads, as 16-bit.
class SndfileChannel final : public Channel {
  public:
    // Null when libsndfile cannot read the file, and for MPEG, which libmpg123 decodes
    // gaplessly.
    static std::unique_ptr<Channel> open(const FileSource& file);

  private:
    SndfileChannel(const SF_INFO& info, std::unique_ptr<FileSource> source, SndfilePtr file);

    bool decode(std::vector<std::int16_t>& out) override;
    bool restart() override;
    bool seekFrame(std::uint64_t frame) override;

    std::unique_ptr<FileSource> source_; // read by file_ through its address
    SndfilePtr file_;
    SF_INFO info_;
    bool floating_ = false;
    std::vector<float> floats_;
};

} // namespace blendora::audio
