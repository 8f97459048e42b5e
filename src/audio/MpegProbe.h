#pragma once

#include "FileSource.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace blendora::audio {

// The parts of a 4-byte MPEG audio frame header that matter for finding frames.
struct MpegHeader {
    int version = 0;    // 1, 2, or 25 for MPEG 2.5
    int layer = 0;      // 1..3
    int sampleRate = 0; // Hz
    int frameBytes = 0; // 0 for free format
    int samples = 0;    // per frame
    bool mono = false;
    bool padded = false;
    bool crc = false;
};

std::optional<MpegHeader> parseMpegHeader(const unsigned char* bytes);

// What walking a file the way a decoder does finds: the one stream (version, layer, rate,
// channel mode, and for free format its one frame length) whose frames cover the most.
struct MpegWalk {
    std::uint64_t start = 0;   // its first frame, or an earlier stream running into it
    std::uint64_t end = 0;     // where the trailing tags begin
    std::uint64_t content = 0; // bytes that are neither tags nor leading zeros
    std::uint64_t covered = 0; // of those, the bytes inside the stream's frames
    double seconds = 0;        // the stream's length
    bool free = false;         // free-format frames
    // [begin, end) of the stretches a decoder should read: the stream's frames with the tags
    // between them, and other streams that run into them without a gap.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    double share() const { return content ? double(covered) / double(content) : 0.0; }
};

MpegWalk walkMpeg(const FileSource& source);

// The walk, when it shows MPEG audio: a stream that covers most of the file; a very short or
// a free-format one only when its frames are all there is.
std::optional<MpegWalk> findMpegAudio(const FileSource& source);

// The data chunk of a RIFF WAVE file whose format tag says MPEG audio (0x50, 0x55).
std::optional<FileSource> mpegInsideRiff(const FileSource& source);

// True when the file starts (after ID3v2 tags) like a container another decoder owns.
bool looksLikeOtherFormat(const FileSource& source);

// True when the file starts with an ID3v2 tag or a frame sync, as libsndfile's MPEG
// detection would see it.
bool startsLikeMpeg(const FileSource& source);

} // namespace blendora::audio
