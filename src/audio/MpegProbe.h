#pragma once

#include "FileSource.h"

#include <cstdint>
#include <optional>

namespace blendora::audio {

// The parts of a 4-byte MPEG audio frame header that matter for finding frames.
struct MpegHeader {
    int version = 0;    // 1, 2, or 25 for MPEG 2.5
    int layer = 0;      // 1..3
    int sampleRate = 0; // Hz
    int frameBytes = 0; // 0 for free format
    bool mono = false;
};

std::optional<MpegHeader> parseMpegHeader(const unsigned char* bytes);

// Where the MPEG audio of a file begins: past any ID3v2 tags and a little junk, the first of a
// run of consistent frames. libmpg123 would otherwise "decode" any data in which it finds a
// frame sync, so a file only counts as MPEG when its audio starts near the top and several
// real frames of one stream follow each other.
std::optional<std::uint64_t> findMpegAudio(const FileSource& source);

// True when the file starts (after ID3v2 tags) like a container another decoder owns.
bool looksLikeOtherFormat(const FileSource& source);

// True when the file starts with an ID3v2 tag or a frame sync, as libsndfile's MPEG
// detection would see it.
bool startsLikeMpeg(const FileSource& source);

} // namespace blendora::audio
