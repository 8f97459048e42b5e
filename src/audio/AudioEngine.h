#pragma once

// Blendora's own audio engine: decode-only channels over libmpg123 (MPEG audio), libsndfile
// (WAV, AIFF, FLAC, Ogg Vorbis, Opus) and libopenmpt (tracker modules). Nothing is ever played.
// Every function is safe to call with a zero or stale handle: it answers its error value.

#include <cstdint>
#include <string>

namespace blendora {

using EngineHandle = std::uint32_t;

// Flags and options understood by the engine.
inline constexpr std::uint32_t kConfigUpdatePeriod = 1;
inline constexpr std::uint32_t kMusicRampNormal = 0x200;   // music: normal volume ramping
inline constexpr std::uint32_t kMusicPrescan = 0x20000;    // music: measure the length first
inline constexpr std::uint32_t kStreamDecode = 0x200000;   // decode only, never played
inline constexpr std::uint32_t kUnicodeName = 0x80000000u; // file name is UTF-16 text
inline constexpr std::uint32_t kPositionBytes = 0;
inline constexpr std::uint32_t kEngineVersion = 0x02040000u; // 2.4, revision 0

// Eight 32-bit fields: rate in Hz, channel count, flags (bit 0: 8-bit samples), five unused.
struct ChannelInfo {
    std::uint32_t freq = 0;
    std::uint32_t chans = 0;
    std::uint32_t flags = 0;
    std::uint32_t unused[5] = {};
};

// What a file was found to be when the engine would not open it as sound.
enum class Refusal : std::uint8_t {
    None,       // it was opened
    Unopenable, // the system would not open it: EngineOpened::error holds why
    Folder,
    NotAFile, // a pipe, a device or a socket
    Empty,
    Changed, // it came up shorter than it was while it was judged
    // Named by libmagic's signatures.
    Picture,
    Video,
    Program,
    Document,
    Font,
    Database,
    Archive, // an archive or compressed file, with no module in it that libopenmpt plays
    NoKnownSound,
};

// A channel, or why there is none.
struct EngineOpened {
    EngineHandle handle = 0;
    Refusal why = Refusal::None;
    int error = 0; // errno, for Refusal::Unopenable
};

// Version word: major and minor in the high 16 bits (0x0204), revision in the low 16.
std::uint32_t BASS_GetVersion();
// Accepts option 1 (update period); answers nonzero on success.
int BASS_SetConfig(std::uint32_t option, std::uint32_t value);
// Device 0 is the no-output device; freq is the rate at which music is rendered.
// Answers nonzero on success, 0 for any other device or a second call without BASS_Free.
int BASS_Init(int device, std::uint32_t freq, std::uint32_t flags, void* window,
              const void* classId);
// Releases every channel; answers nonzero when the engine was started.
int BASS_Free();

// Opens a decoding stream on a file (mem must be 0). With kUnicodeName in flags, file points
// to NUL-terminated UTF-16 text; otherwise to NUL-terminated UTF-8. Offset and length 0
// mean the whole file. The format is told by the content, never by the name. Answers the
// channel handle, or 0 when the file cannot be opened as a stream.
EngineHandle BASS_StreamCreateFile(int mem, const void* file, std::uint64_t offset,
                                   std::uint64_t length, std::uint32_t flags);
// Opens a tracker module, rendered in stereo at the rate given to BASS_Init (freq 0), once
// through to the song's end. Answers the handle, or 0.
EngineHandle BASS_MusicLoad(int mem, const void* file, std::uint64_t offset, std::uint32_t length,
                            std::uint32_t flags, std::uint32_t freq);
// The two opens above, answering why a file was refused along with the handle.
EngineOpened EngineStreamCreateFile(int mem, const void* file, std::uint64_t offset,
                                    std::uint64_t length, std::uint32_t flags);
EngineOpened EngineMusicLoad(int mem, const void* file, std::uint64_t offset, std::uint32_t length,
                             std::uint32_t flags, std::uint32_t freq);
// Releases one channel; its handle goes stale. Answers nonzero for a live channel.
int BASS_ChannelFree(EngineHandle handle);
// Answers nonzero and fills info for a live channel.
int BASS_ChannelGetInfo(EngineHandle handle, ChannelInfo* info);
// Nonzero while the channel has data left to deliver, 0 once it has ended (or is no channel).
std::uint32_t BASS_ChannelIsActive(EngineHandle handle);
// Fills buffer with at most length bytes of interleaved signed 16-bit little-endian PCM,
// whole sample frames only; answers the count delivered (0 at the end), or -1 on error.
std::int32_t BASS_ChannelGetData(EngineHandle handle, void* buffer, std::uint32_t length);
// Bytes delivered so far (mode 0); ~0 on error.
std::uint64_t BASS_ChannelGetPosition(EngineHandle handle, std::uint32_t mode);
// Moves the channel to a byte position (mode 0); answers nonzero on success.
int BASS_ChannelSetPosition(EngineHandle handle, std::uint64_t position, std::uint32_t mode);

// Why files were opened without libmagic's judgement of their type (its database could not be
// loaded, or it failed on one); empty while every file so far was judged.
std::string EngineTypeCheckTrouble();

// The high 16 bits of a 32-bit value.
constexpr std::uint32_t HiWordOf(std::uint32_t value) {
    return value >> 16;
}

} // namespace blendora
