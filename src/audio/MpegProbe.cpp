#include "MpegProbe.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace blendora::audio {

namespace {

// Above the largest fixed-rate frame (2881 bytes); also the bound for free-format frames.
constexpr std::size_t kMaxFrameBytes = 8192;
constexpr int kMaxTags = 16;
constexpr std::size_t kWindow = 1 << 18;

constexpr std::array<std::array<int, 15>, 6> kKbps = {{
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // MPEG 1, I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // MPEG 1, II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // MPEG 1, III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // MPEG 2, I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // MPEG 2, II
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // MPEG 2, III
}};

constexpr std::array<int, 3> kRates = {44100, 48000, 32000};

// A forward view of the file through one reused buffer.
class Bytes {
  public:
    explicit Bytes(const FileSource& source) : source_(source) {}

    // n bytes at pos, or null when the file ends before them. Valid until the next call.
    const unsigned char* at(std::uint64_t pos, std::size_t n) {
        if (pos + n > source_.size())
            return nullptr;
        if (pos < base_ || pos + n > base_ + buffer_.size()) {
            // The walk looks back by up to a few frames; keep those in the buffer.
            base_ = pos > 4 * kMaxFrameBytes ? pos - 4 * kMaxFrameBytes : 0;
            buffer_.resize(std::max(kWindow, n + (pos - base_)));
            buffer_.resize(source_.readAt(base_, buffer_.data(), buffer_.size()));
            if (pos + n > base_ + buffer_.size())
                return nullptr;
        }
        return buffer_.data() + (pos - base_);
    }

    bool has(std::uint64_t pos, const char* magic) {
        const std::size_t n = std::strlen(magic);
        const unsigned char* b = at(pos, n);
        return b && std::memcmp(b, magic, n) == 0;
    }

    // The first 0xFF byte in [pos, end), or end.
    std::uint64_t nextSync(std::uint64_t pos, std::uint64_t end) {
        while (pos < end) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(end - pos, kMaxFrameBytes));
            const unsigned char* b = at(pos, n);
            if (!b)
                return end;
            if (const void* hit = std::memchr(b, 0xFF, n))
                return pos + std::uint64_t(static_cast<const unsigned char*>(hit) - b);
            pos += n;
        }
        return end;
    }

  private:
    const FileSource& source_;
    std::vector<unsigned char> buffer_;
    std::uint64_t base_ = 0;
};

// Whether the frame of n bytes at b was written by an encoder: it holds its 4-byte header once.
// Bytes that only look like frames (a flat colour, a picture's rows, a table) repeat what they
// are made of, and the header is part of it.
bool headerOnce(const unsigned char* b, std::size_t n) {
    return n < 8 || !memmem(b + 1, n - 1, b, 4);
}

std::uint32_t synchsafe(const unsigned char* b) {
    return (std::uint32_t(b[0]) << 21) | (std::uint32_t(b[1]) << 14) | (std::uint32_t(b[2]) << 7) |
           b[3];
}

std::uint32_t bigEndian(const unsigned char* b, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | b[i];
    return v;
}

std::uint32_t littleEndian(const unsigned char* b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

// Bytes an ID3v2 tag at pos takes, or 0. Frames running past the declared size (taggers that
// did not count a picture) are the tag's as well: no MPEG header reads as a frame name. A tag
// claiming to run beyond the file is taken to be damaged and only its 10-byte header is skipped.
std::uint64_t id3v2Bytes(Bytes& bytes, std::uint64_t pos, std::uint64_t fileEnd) {
    const unsigned char* h = bytes.at(pos, 10);
    if (!h || std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF ||
        (h[6] | h[7] | h[8] | h[9]) & 0x80)
        return 0;
    const int major = h[3];
    const bool walkable = major >= 2 && major <= 4 && !(h[5] & 0x40);
    const std::uint64_t footer = (h[5] & 0x10) ? 10 : 0;
    const std::uint64_t declared = pos + 10 + synchsafe(h + 6);
    if (declared + footer > fileEnd)
        return 10;
    std::uint64_t end = pos + 10;
    const std::size_t head = major == 2 ? 6 : 10;
    const std::size_t id = major == 2 ? 3 : 4;
    while (walkable) {
        const unsigned char* f = bytes.at(end, head);
        if (!f || !std::all_of(f, f + id, [](unsigned char c) {
                return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            }))
            break;
        const std::uint64_t size = major == 2   ? bigEndian(f + 3, 3)
                                   : major == 3 ? bigEndian(f + 4, 4)
                                                : synchsafe(f + 4);
        if (end + head + size > fileEnd)
            break;
        end += head + size;
    }
    return std::max(end, declared) + footer - pos;
}

// Bytes an APE tag that starts with its header at pos takes, or 0.
std::uint64_t apeBytes(Bytes& bytes, std::uint64_t pos, std::uint64_t fileEnd) {
    const unsigned char* h = bytes.at(pos, 32);
    if (!h || std::memcmp(h, "APETAGEX", 8) != 0 || !(littleEndian(h + 20) & 0x20000000u))
        return 0;
    const std::uint64_t total = 32 + std::uint64_t(littleEndian(h + 12));
    return pos + total <= fileEnd ? total : 0;
}

// Where the tags at the end of [begin, end) begin: ID3v1, APE, Lyrics3 v2, an ID3v2 footer.
std::uint64_t trailingTags(Bytes& bytes, std::uint64_t begin, std::uint64_t end) {
    for (int i = 0; i < kMaxTags; ++i) {
        const std::uint64_t room = end - begin;
        std::uint64_t tag = 0;
        // The last bytes are asked for once and whole: a file that shrank since it was opened
        // has none, and each call may move the buffer.
        const std::size_t last = std::size_t(std::min<std::uint64_t>(room, 32));
        const bool v1 = room >= 128 && bytes.has(end - 128, "TAG");
        const unsigned char* t = v1 ? nullptr : bytes.at(end - last, last);
        if (v1) {
            tag = 128;
        } else if (t && last == 32 && std::memcmp(t, "APETAGEX", 8) == 0) {
            tag = littleEndian(t + 12) + ((littleEndian(t + 20) & 0x80000000u) ? 32 : 0);
        } else if (t && last >= 15 && std::memcmp(t + last - 9, "LYRICS200", 9) == 0) {
            const unsigned char* f = t + last - 15;
            std::uint64_t digits = 0;
            int d = 0;
            for (; d < 6 && f[d] >= '0' && f[d] <= '9'; ++d)
                digits = digits * 10 + std::uint64_t(f[d] - '0');
            tag = d == 6 ? 15 + digits : 0;
        } else if (t && last >= 10 && std::memcmp(t + last - 10, "3DI", 3) == 0) {
            tag = 20 + std::uint64_t(synchsafe(t + last - 4));
        }
        if (tag == 0 || tag > room)
            break;
        end -= tag;
    }
    return end;
}

// Tags between two frames, as files joined together have them; 0 when none.
std::uint64_t tagsBetween(Bytes& bytes, std::uint64_t pos, std::uint64_t end) {
    std::uint64_t n = 0;
    for (int i = 0; i < kMaxTags; ++i) {
        std::uint64_t tag = id3v2Bytes(bytes, pos + n, end);
        if (tag == 0 && pos + n + 128 <= end && bytes.has(pos + n, "TAG"))
            tag = 128;
        if (tag == 0)
            tag = apeBytes(bytes, pos + n, end);
        if (tag == 0)
            break;
        n += tag;
    }
    return n;
}

// The frames of one stream: everything a decoder keeps from frame to frame. Free-format
// frames also keep their length, which only the distance to the next header tells.
struct StreamKey {
    int version = 0, layer = 0, sampleRate = 0;
    bool mono = false;
    int freeBytes = 0; // without the padding slot; 0 for fixed-rate frames
    bool operator==(const StreamKey&) const = default;
};

// Whether a header would start a frame of the stream, whatever that frame's length.
bool ofStream(const MpegHeader& h, const StreamKey& key) {
    return h.version == key.version && h.layer == key.layer && h.sampleRate == key.sampleRate &&
           h.mono == key.mono;
}

struct Frame {
    MpegHeader header;
    StreamKey key;
    std::uint64_t bytes = 0;
};

int slotBytes(const MpegHeader& h) {
    return h.layer == 1 ? 4 : 1;
}

// The frame at pos, when its header parses, it ends by `end`, and (given a stream) it belongs
// to that stream. A free-format frame is measured up to the next header of its kind.
std::optional<Frame> frameAt(Bytes& bytes, std::uint64_t pos, std::uint64_t end,
                             const StreamKey* stream) {
    const unsigned char* b = bytes.at(pos, 4);
    if (!b || pos + 4 > end)
        return std::nullopt;
    const auto h = parseMpegHeader(b);
    if (!h)
        return std::nullopt;
    Frame f;
    f.header = *h;
    f.key = {h->version, h->layer, h->sampleRate, h->mono, 0};
    const std::uint64_t pad = h->padded ? std::uint64_t(slotBytes(*h)) : 0;
    if (h->frameBytes > 0) {
        f.bytes = std::uint64_t(h->frameBytes);
    } else if (stream) {
        if (stream->freeBytes == 0)
            return std::nullopt;
        f.key.freeBytes = stream->freeBytes;
        f.bytes = std::uint64_t(stream->freeBytes) + pad;
    } else {
        const std::uint64_t least = headBytes(*h);
        for (std::uint64_t at = pos + least; at < pos + kMaxFrameBytes && at <= end; ++at) {
            const unsigned char* n = at + 4 <= end ? bytes.at(at, 4) : nullptr;
            const auto g = n ? parseMpegHeader(n) : std::nullopt;
            // A frame that runs to the end of the file has no length that a header confirms.
            if (g && g->frameBytes == 0 && ofStream(*g, f.key)) {
                f.bytes = at - pos;
                break;
            }
        }
        if (f.bytes < least + pad)
            return std::nullopt;
        f.key.freeBytes = int(f.bytes - pad);
    }
    if (pos + f.bytes > end || (stream && !(f.key == *stream)))
        return std::nullopt;
    return f;
}

} // namespace

std::optional<MpegHeader> parseMpegHeader(const unsigned char* b) {
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0)
        return std::nullopt;
    const int versionBits = (b[1] >> 3) & 3;
    const int layerBits = (b[1] >> 1) & 3;
    const int bitrateIndex = b[2] >> 4;
    const int rateIndex = (b[2] >> 2) & 3;
    // MPEG 2.5 extends layer III alone to the lowest rates: layers I and II there are no
    // encoder's, only bytes that look like frames.
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 15 || rateIndex == 3 ||
        (b[3] & 3) == 2 || (versionBits == 0 && layerBits != 1))
        return std::nullopt;
    MpegHeader h;
    h.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    h.layer = 4 - layerBits;
    h.crc = !(b[1] & 1);
    h.padded = (b[2] >> 1) & 1;
    h.mono = (b[3] >> 6) == 3;
    h.sampleRate = kRates[std::size_t(rateIndex)] / (h.version == 1 ? 1 : h.version == 2 ? 2 : 4);
    h.samples = h.layer == 1 ? 384 : (h.layer == 3 && h.version != 1) ? 576 : 1152;
    const int table = (h.version == 1 ? 0 : 3) + h.layer - 1;
    const int bitrate = kKbps[std::size_t(table)][std::size_t(bitrateIndex)] * 1000;
    const int padding = h.padded ? 1 : 0;
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

std::size_t headBytes(const MpegHeader& h) {
    const int channels = h.mono ? 1 : 2;
    const int side = h.layer == 1     ? 16 * channels
                     : h.layer == 2   ? 4 * channels
                     : h.version == 1 ? (h.mono ? 17 : 32)
                                      : (h.mono ? 9 : 17);
    return std::size_t(4 + (h.crc ? 2 : 0) + side);
}

namespace {

// Where the frames may begin: past ID3v2 and APE tags and zeros at the top.
std::uint64_t pastLeadingTags(Bytes& bytes, std::uint64_t size) {
    std::uint64_t begin = 0;
    for (int i = 0; i < kMaxTags * 2 && begin < size; ++i) {
        std::uint64_t skip = id3v2Bytes(bytes, begin, size);
        if (skip == 0)
            skip = apeBytes(bytes, begin, size);
        if (skip == 0)
            while (begin + skip < size) {
                const unsigned char* b = bytes.at(begin + skip, 1);
                if (!b || *b != 0)
                    break;
                ++skip;
            }
        if (skip == 0)
            break;
        begin += skip;
    }
    return begin;
}

// The frames of one stream and one kind from pos on: an encoder's, each holding its header
// once, or a look-alike's, each holding it again. next is where the walk goes on: a look-alike's
// last frame runs on by its own length over whatever follows it, maybe the start of a stream,
// so it is left out and the walk goes on inside it.
MpegWalk::Run readRun(Bytes& bytes, std::uint64_t pos, std::uint64_t end, const StreamKey& key,
                      std::size_t stream, std::uint64_t& next) {
    MpegWalk::Run run{pos, pos, stream, 0};
    std::uint64_t last = pos;
    while (const auto f = frameAt(bytes, run.end, end, &key)) {
        const unsigned char* b = bytes.at(run.end, std::size_t(f->bytes));
        const bool once = b && headerOnce(b, std::size_t(f->bytes));
        if (run.frames > 0 && once != (run.coded > 0))
            break;
        ++run.frames;
        run.coded += once ? 1 : 0;
        run.largest = std::max(run.largest, f->bytes);
        last = run.end;
        run.end += f->bytes;
        run.end += tagsBetween(bytes, run.end, end);
    }
    next = run.end;
    if (run.coded == 0) {
        --run.frames;
        run.end = last;
        next = last + 1;
    }
    return run;
}

} // namespace

MpegWalk walkMpeg(const FileSource& source) {
    Bytes bytes(source);
    const std::uint64_t size = source.size();
    const std::uint64_t begin = pastLeadingTags(bytes, size);
    const std::uint64_t end = trailingTags(bytes, begin, size);
    MpegWalk walk;
    walk.start = walk.top = begin;
    walk.bottom = end;
    std::vector<StreamKey> keys; // of each stream
    std::uint64_t pos = begin;
    while (pos + 4 <= end) {
        // A decoder believes a header once the next one continues its stream, or the file
        // ends with its frame.
        const auto first = frameAt(bytes, pos, end, nullptr);
        bool holds = false;
        if (first) {
            const std::uint64_t after = pos + first->bytes;
            const std::uint64_t gap = tagsBetween(bytes, after, end);
            holds = after + gap == end || frameAt(bytes, after + gap, end, &first->key).has_value();
        }
        if (!holds) {
            pos = bytes.nextSync(pos + 1, end);
            continue;
        }
        const auto known = std::find(keys.begin(), keys.end(), first->key);
        const std::size_t stream = std::size_t(known - keys.begin());
        // Free-format frames are only as long as the data repeats: a free-format stream starts
        // at the top, or its look-alikes would swallow the frames of a real stream.
        if (first->key.freeBytes != 0 && known == keys.end() && pos != begin) {
            pos = bytes.nextSync(pos + 1, end);
            continue;
        }
        if (known == keys.end())
            keys.push_back(first->key);
        const MpegWalk::Run run = readRun(bytes, pos, end, first->key, stream, pos);
        if (run.frames > 0)
            walk.runs.push_back(run);
    }
    if (walk.runs.empty())
        return walk;
    walk.start = walk.runs.front().begin;
    const MpegWalk::Run& only = walk.runs.front();
    const unsigned char* rest = end - only.end >= 4 ? bytes.at(only.end, 4) : nullptr;
    const auto cut = rest ? parseMpegHeader(rest) : std::nullopt;
    const StreamKey& key = keys[only.stream];
    walk.whole =
        walk.runs.size() == 1 && only.begin == begin &&
        (only.end == end || (end - only.end < kMaxFrameBytes && cut && ofStream(*cut, key) &&
                             (cut->frameBytes == 0) == (key.freeBytes != 0)));
    return walk;
}

namespace {

// The decoder gets the stream from its first run heard to its last, as a player reads it: a
// damaged frame costs that frame. With them go what runs into them without a gap (files joined
// together); never the other data between runs, nor look-alikes anywhere.
void readSpans(MpegWalk& walk, std::size_t first, std::size_t last, std::size_t best) {
    const std::vector<MpegWalk::Run>& runs = walk.runs;
    for (std::size_t i = 0; i < runs.size();) {
        std::size_t end = i;
        while (end + 1 < runs.size() && runs[end].end == runs[end + 1].begin &&
               runs[end].coded > 0 && runs[end + 1].coded > 0)
            ++end;
        bool ours = false;
        for (std::size_t k = std::max(i, first); k <= std::min(end, last); ++k)
            ours = ours || (runs[k].stream == best && runs[k].coded > 0);
        if (ours)
            walk.spans.emplace_back(runs[i].begin, runs[end].end);
        i = end + 1;
    }
}

} // namespace

std::optional<MpegWalk> findMpegAudio(const FileSource& source, const Listen& listen) {
    MpegWalk walk = walkMpeg(source);
    std::vector<bool> heardRun(walk.runs.size(), false);
    std::vector<std::uint64_t> heard(walk.runs.size(), 0); // bytes, by stream
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < walk.runs.size(); ++i) {
        const MpegWalk::Run& run = walk.runs[i];
        // Patterns are never decoded: they cost time, and their sound says nothing.
        if (run.coded < kSoundFrames && !(walk.whole && 2 * run.coded > run.frames))
            continue;
        const Heard h = listen(run.begin, run.end);
        if (!h.noise && !h.rows && (walk.whole || h.sound >= kSoundFrames)) {
            heardRun[i] = true;
            heard[run.stream] += run.end - run.begin;
            if (!best || heard[run.stream] > heard[*best])
                best = run.stream;
        }
    }
    if (!best)
        return std::nullopt;
    std::size_t first = walk.runs.size(), last = 0;
    for (std::size_t i = 0; i < walk.runs.size(); ++i)
        if (heardRun[i] && walk.runs[i].stream == *best) {
            first = std::min(first, i);
            last = i;
        }
    // Runs of the stream that begin or end the file's frames, with at most a few frames'
    // bytes between them and those heard, are the same sound past damaged headers; elsewhere
    // such runs may be chance frames in the other data beside the sound.
    // Four frames, each with a padding slot.
    const std::uint64_t gap = 4 * (std::max(walk.runs[first].largest, walk.runs[last].largest) + 4);
    std::size_t before = first, after = last;
    for (std::size_t k = first; k-- > 0 && walk.runs[before].begin - walk.runs[k].end <= gap;)
        before = walk.runs[k].stream == *best ? k : before;
    for (std::size_t k = last + 1;
         k < walk.runs.size() && walk.runs[k].begin - walk.runs[after].end <= gap; ++k)
        after = walk.runs[k].stream == *best ? k : after;
    if (walk.runs[before].begin == walk.top)
        first = before;
    if (walk.runs[after].end + gap >= walk.bottom)
        last = after;
    readSpans(walk, first, last, *best);
    walk.start = walk.spans.front().first;
    return walk;
}

std::optional<FileSource> mpegInsideRiff(const FileSource& source) {
    Bytes bytes(source);
    if (!bytes.has(0, "RIFF") || !bytes.has(8, "WAVE"))
        return std::nullopt;
    int tag = 0;
    for (std::uint64_t at = 12; at + 8 <= source.size();) {
        const unsigned char* c = bytes.at(at, 8);
        if (!c)
            return std::nullopt;
        const std::uint64_t size = littleEndian(c + 4);
        if (std::memcmp(c, "fmt ", 4) == 0 && size >= 2) {
            const unsigned char* f = bytes.at(at + 8, 2);
            tag = f ? f[0] | f[1] << 8 : 0;
        } else if (std::memcmp(c, "data", 4) == 0) {
            if (tag != 0x50 && tag != 0x55)
                return std::nullopt;
            // A size left at its maximum by a writer that never finished means "to the end".
            return source.part(at + 8, size);
        }
        at += 8 + size + (size & 1);
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
    Bytes bytes(source);
    return matchAt(0) || matchAt(id3v2Bytes(bytes, 0, source.size()));
}

bool startsLikeMpeg(const FileSource& source) {
    unsigned char b[3] = {};
    source.readAt(0, b, sizeof b);
    return std::memcmp(b, "ID3", 3) == 0 || (b[0] == 0xFF && (b[1] & 0xE0) == 0xE0);
}

} // namespace blendora::audio
