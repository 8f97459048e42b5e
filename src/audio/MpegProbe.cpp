#include "MpegProbe.h"

#include <array>
#include <cstring>
#include <vector>

namespace blendora::audio {

namespace {

// How much may come before the first frame once the tags are skipped: junk or zero padding of
// about libmpg123's own resync limit. Look-alike frames deep inside other data never count.
constexpr std::size_t kJunkLimit = 4096;
// How many frames of one stream must follow each other from there.
constexpr int kFramesInARow = 8;
// Above the largest fixed-rate frame (2881 bytes); also the bound for free-format frames.
constexpr std::size_t kMaxFrameBytes = 8192;
constexpr int kMaxTags = 16;

constexpr std::array<std::array<int, 15>, 6> kKbps = {{
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // MPEG 1, I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // MPEG 1, II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // MPEG 1, III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // MPEG 2, I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // MPEG 2, II
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // MPEG 2, III
}};

constexpr std::array<int, 3> kRates = {44100, 48000, 32000};

bool isTagAt(const std::vector<unsigned char>& b, std::size_t at) {
    auto starts = [&](const char* magic) {
        const std::size_t n = std::strlen(magic);
        return at + n <= b.size() && std::memcmp(b.data() + at, magic, n) == 0;
    };
    return starts("TAG") || starts("APETAGEX") || starts("LYRICSBEGIN") || starts("ID3");
}

bool sameStream(const MpegHeader& a, const MpegHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate &&
           a.mono == b.mono;
}

// Past any ID3v2 tags. A tag claiming to run beyond the file is taken to be damaged and
// only its 10-byte header is skipped.
std::uint64_t skipId3v2(const FileSource& source) {
    std::uint64_t at = 0;
    for (int i = 0; i < kMaxTags; ++i) {
        unsigned char h[10];
        if (source.readAt(at, h, sizeof h) != sizeof h || std::memcmp(h, "ID3", 3) != 0 ||
            h[3] == 0xFF || h[4] == 0xFF || (h[6] | h[7] | h[8] | h[9]) & 0x80)
            break;
        const std::uint64_t body =
            (std::uint64_t(h[6]) << 21) | (h[7] << 14) | (h[8] << 7) | std::uint64_t(h[9]);
        const std::uint64_t end = at + 10 + body + ((h[5] & 0x10) ? 10 : 0);
        if (end > source.size())
            return at + 10;
        at = end;
    }
    return at;
}

} // namespace

std::optional<MpegHeader> parseMpegHeader(const unsigned char* b) {
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0)
        return std::nullopt;
    const int versionBits = (b[1] >> 3) & 3;
    const int layerBits = (b[1] >> 1) & 3;
    const int bitrateIndex = b[2] >> 4;
    const int rateIndex = (b[2] >> 2) & 3;
    const int padding = (b[2] >> 1) & 1;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 15 || rateIndex == 3 ||
        (b[3] & 3) == 2)
        return std::nullopt;
    MpegHeader h;
    h.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    h.layer = 4 - layerBits;
    h.mono = (b[3] >> 6) == 3;
    h.sampleRate = kRates[std::size_t(rateIndex)] / (h.version == 1 ? 1 : h.version == 2 ? 2 : 4);
    const int table = (h.version == 1 ? 0 : 3) + h.layer - 1;
    const int bitrate = kKbps[std::size_t(table)][std::size_t(bitrateIndex)] * 1000;
    if (bitrate == 0)
        h.frameBytes = 0;
    else if (h.layer == 1)
        h.frameBytes = (12 * bitrate / h.sampleRate + padding) * 4;
    else if (h.layer == 3 && h.version != 1)
        h.frameBytes = 72 * bitrate / h.sampleRate + padding;
    else
        h.frameBytes = 144 * bitrate / h.sampleRate + padding;
    return h;
}

std::optional<std::uint64_t> findMpegAudio(const FileSource& source) {
    const std::uint64_t start = skipId3v2(source);
    std::vector<unsigned char> b(kJunkLimit + kFramesInARow * kMaxFrameBytes + 4);
    b.resize(source.readAt(start, b.data(), b.size()));
    const bool wholeRest = start + b.size() == source.size();

    // Where the frame after the one at `at` begins, or 0 when there is no such frame.
    auto next = [&](std::size_t at, const MpegHeader& h) -> std::size_t {
        if (h.frameBytes > 0)
            return at + std::size_t(h.frameBytes);
        for (std::size_t n = at + 4; n + 4 <= b.size() && n < at + kMaxFrameBytes; ++n) {
            const auto g = parseMpegHeader(b.data() + n);
            if (g && g->frameBytes == 0 && sameStream(*g, h))
                return n;
        }
        return 0;
    };

    // True when frames of one stream follow each other from `at` on.
    auto chainHolds = [&](std::size_t at, MpegHeader h) {
        // A free-format stream has one frame length, give or take the padding slot. Data
        // that repeats looks like such frames too, but then as copies of each other.
        const std::size_t second = h.frameBytes == 0 ? next(at, h) : 0;
        const std::size_t freeBytes = second > at ? second - at : 0;
        const std::size_t slot = h.layer == 1 ? 4 : 1;
        for (int frames = 1; frames < kFramesInARow; ++frames) {
            const std::size_t following = next(at, h);
            if (following == 0)
                return false;
            // A short file may end (or reach its trailing tags) after a frame or two.
            if ((wholeRest && following == b.size()) || isTagAt(b, following))
                return true;
            if (following + 4 > b.size())
                return wholeRest && frames >= 2;
            const auto g = parseMpegHeader(b.data() + following);
            if (!g || !sameStream(*g, h))
                return false;
            if (freeBytes != 0) {
                const std::size_t bytes = following - at;
                if (bytes + slot < freeBytes || bytes > freeBytes + slot ||
                    (following + bytes <= b.size() &&
                     std::memcmp(b.data() + at, b.data() + following, bytes) == 0))
                    return false;
            }
            at = following;
            h = *g;
        }
        return true;
    };

    // Free-format frames prove little (their length is whatever the data repeats at), so
    // they only count right at the start of the audio.
    for (std::size_t first = 0; first < kJunkLimit && first + 4 <= b.size(); ++first) {
        const auto head = parseMpegHeader(b.data() + first);
        if (head && (head->frameBytes > 0 || first == 0) && chainHolds(first, *head))
            return start + first;
    }
    return std::nullopt;
}

bool looksLikeOtherFormat(const FileSource& source) {
    static const char* const kMagic[] = {
        "RIFF",   "RIFX", "RF64",  "BW64", "FORM",    "fLaC",
        "OggS",   ".snd", "dns.",  "caff", "NIST_1A", "Creative Voice File",
        "2BIT",   "wvpk", "#!AMR", "MThd", "riff",    "\x30\x26\xB2\x75",
        "MATLAB",
    };
    auto matchAt = [&](std::uint64_t at) {
        char b[32] = {};
        const std::size_t n = source.readAt(at, b, sizeof b);
        for (const char* magic : kMagic) {
            const std::size_t len = std::strlen(magic);
            if (len <= n && std::memcmp(b, magic, len) == 0)
                return true;
        }
        // ISO media (MP4, M4A) has its type box four bytes in.
        return n >= 8 && std::memcmp(b + 4, "ftyp", 4) == 0;
    };
    return matchAt(0) || matchAt(skipId3v2(source));
}

bool startsLikeMpeg(const FileSource& source) {
    unsigned char b[3] = {};
    source.readAt(0, b, sizeof b);
    return std::memcmp(b, "ID3", 3) == 0 || (b[0] == 0xFF && (b[1] & 0xE0) == 0xE0);
}

} // namespace blendora::audio
