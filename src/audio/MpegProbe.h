#pragma once

#include "FileSource.h"

#include <cstdint>
#include <functional>
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

// The bytes a frame holds before its coded sound, at least: the header, CRC and side
// information (for layer I the bit allocation, four bits per subband and channel).
std::size_t headBytes(const MpegHeader& header);

// What walking a file the way a decoder does finds: runs of frames back to back (with any tags
// between them), each of one stream (version, layer, rate, channel mode, and for free format
// its one frame length).
struct MpegWalk {
    struct Run {
        std::uint64_t begin = 0, end = 0;
        std::size_t stream = 0; // the same for every run of one stream
        std::size_t frames = 0;
        // Frames that hold their header once, as an encoder writes it; a flat colour's or a
        // table's hold it again inside, since they repeat what they are made of.
        std::size_t coded = 0;
        std::uint64_t largest = 0; // bytes of its longest frame
    };
    std::uint64_t start = 0;           // the first frame read, else where frames may begin
    std::uint64_t top = 0, bottom = 0; // where frames may begin and end, between the tags
    std::vector<Run> runs;
    // One run is all the file holds between its tags, its last frame perhaps cut short.
    bool whole = false;
    // [begin, end) of the stretches a decoder should read, once findMpegAudio chose a stream:
    // its runs, and other streams that run into them without a gap (files joined together).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
};

MpegWalk walkMpeg(const FileSource& source);

// What libmpg123 makes of a run of frames: noise, when it fails on one; else how many of them
// it decodes to sound rather than silence (up to a bound), and whether they are rows: where
// those frames differ from the frame of sound before them, past their heads, their bytes differ
// by little far more often than chance makes them, as pixels do from the pixels above them.
struct Heard {
    bool noise = false;
    std::size_t sound = 0;
    bool rows = false;
};
using Listen = std::function<Heard(std::uint64_t begin, std::uint64_t end)>;

// The least sound believed in a file that holds more than the run: two or three frames line up
// by chance in any large file, and a picture's flat rows hold as many.
constexpr std::size_t kSoundFrames = 4;

// The walk, when it holds frames an encoder wrote: a run with four coded frames that the
// decoder hears four frames of sound in, or a run that is the whole file, mostly coded and not
// noise (silence says nothing of where it came from, so it is believed only alone). Of the
// streams heard, the one heard longest is read as a player reads it, from its first run heard
// to its last, damage and all, but not the other data between its runs.
std::optional<MpegWalk> findMpegAudio(const FileSource& source, const Listen& listen);

// The data chunk of a RIFF WAVE file whose format tag says MPEG audio (0x50, 0x55).
std::optional<FileSource> mpegInsideRiff(const FileSource& source);

// True when the file starts (after ID3v2 tags) like a container another decoder owns.
bool looksLikeOtherFormat(const FileSource& source);

// True when the file starts with an ID3v2 tag or a frame sync, as libsndfile's MPEG
// detection would see it.
bool startsLikeMpeg(const FileSource& source);

} // namespace blendora::audio
