// libFuzzer target: any bytes, opened as a stream and as music, decoded with the program's
// loop. Besides crashes it traps on broken promises: partial frames, a position that
// disagrees with the bytes delivered, an active channel that gives nothing, or a rewind
// that does not reproduce the start.

#include "AudioEngine.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using namespace blendora;

namespace {

constexpr std::uint64_t kMaxOutput = 50u << 20;
// Modules render at a low rate so long songs do not slow the fuzzer down.
constexpr std::uint32_t kMusicRate = 8000;

const std::string& inputPath() {
    static const std::string path = [] {
        char name[] = "/tmp/blendora-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            std::abort();
        close(fd);
        std::atexit([] { unlink(inputPath().c_str()); });
        return std::string(name);
    }();
    return path;
}

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

std::uint64_t decode(EngineHandle h, std::uint64_t budget) {
    ChannelInfo info;
    if (!h || !BASS_ChannelGetInfo(h, &info))
        return 0;
    check(info.chans >= 1 && info.freq >= 1);
    static char buffer[20000];
    static char first[20000];
    std::int32_t firstBytes = -1;
    std::uint64_t total = 0;
    while (BASS_ChannelIsActive(h) && total < budget) {
        const std::int32_t n = BASS_ChannelGetData(h, buffer, sizeof buffer);
        check(n > 0 && n % (2 * info.chans) == 0);
        if (firstBytes < 0) {
            firstBytes = n;
            std::memcpy(first, buffer, std::size_t(n));
        }
        total += std::uint64_t(n);
        check(BASS_ChannelGetPosition(h, 0) == total);
    }
    if (firstBytes > 0 && BASS_ChannelSetPosition(h, 0, 0)) {
        check(BASS_ChannelGetPosition(h, 0) == 0);
        check(BASS_ChannelGetData(h, buffer, std::uint32_t(firstBytes)) == firstBytes);
        check(std::memcmp(buffer, first, std::size_t(firstBytes)) == 0);
    }
    return total;
}

} // namespace

// libsndfile leaks libvorbis state when an Ogg Vorbis header turns out damaged.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:vorbis_info_init\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = inputPath();
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != ssize_t(size))
        std::abort();
    close(fd);

    if (!BASS_Init(0, 44100, 0, nullptr, nullptr))
        std::abort();
    const std::uint64_t used =
        decode(BASS_StreamCreateFile(0, path.c_str(), 0, 0, kStreamDecode), kMaxOutput);
    decode(BASS_MusicLoad(0, path.c_str(), 0, 0, kStreamDecode, kMusicRate), kMaxOutput - used);
    BASS_Free();
    return 0;
}
