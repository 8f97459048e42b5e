// Decodes one file through the engine with the same loop the program uses and writes a
// 16-bit WAV. Used by the benchmark; handy for trying a file by hand.
//
//   decode_to_wav [--music] input output.wav

#include "AudioEngine.h"

#include <cstdio>
#include <cstring>
#include <vector>

using namespace blendora;

namespace {

void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

bool writeHeader(std::FILE* out, const ChannelInfo& info, std::uint64_t dataBytes) {
    unsigned char h[44] = {};
    const std::uint32_t size = dataBytes > 0xFFFFFFD0u ? 0xFFFFFFD0u : std::uint32_t(dataBytes);
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + size);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);
    put16(h + 20, 1);
    put16(h + 22, std::uint16_t(info.chans));
    put32(h + 24, info.freq);
    put32(h + 28, info.freq * info.chans * 2);
    put16(h + 32, std::uint16_t(info.chans * 2));
    put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, size);
    return std::fseek(out, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, out) == sizeof h;
}

} // namespace

int main(int argc, char** argv) {
    const bool music = argc == 4 && std::strcmp(argv[1], "--music") == 0;
    if (argc != 3 + int(music)) {
        std::fprintf(stderr, "usage: %s [--music] input output.wav\n", argv[0]);
        return 2;
    }
    const char* input = argv[1 + int(music)];
    const char* output = argv[2 + int(music)];
    if (!BASS_Init(0, 44100, 0, nullptr, nullptr))
        return 1;
    const EngineHandle h = music ? BASS_MusicLoad(0, input, 0, 0, kStreamDecode, 0)
                                 : BASS_StreamCreateFile(0, input, 0, 0, kStreamDecode);
    ChannelInfo info;
    if (!h || !BASS_ChannelGetInfo(h, &info)) {
        std::fprintf(stderr, "%s: cannot open\n", input);
        return 1;
    }
    std::FILE* out = std::fopen(output, "wb");
    if (!out || !writeHeader(out, info, 0))
        return 1;
    std::vector<char> buffer(20000);
    std::uint64_t total = 0;
    while (BASS_ChannelIsActive(h)) {
        const std::int32_t n = BASS_ChannelGetData(h, buffer.data(), 20000);
        if (n > 0 && std::fwrite(buffer.data(), 1, std::size_t(n), out) != std::size_t(n))
            return 1;
        total = BASS_ChannelGetPosition(h, 0);
    }
    const bool ok = writeHeader(out, info, total) && std::fclose(out) == 0;
    BASS_Free();
    std::printf("%u Hz, %u channels, %llu frames\n", info.freq, info.chans,
                static_cast<unsigned long long>(total / (2 * info.chans)));
    return ok ? 0 : 1;
}
