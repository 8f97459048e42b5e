// Seconds the stream attempt takes to decide on a file (open and free, no decoding), best of
// five: the probe's own cost.
//
//   probe_time file

#include "AudioEngine.h"

#include <chrono>
#include <cstdio>

using namespace blendora;

int main(int argc, char** argv) {
    if (argc != 2 || !BASS_Init(0, 44100, 0, nullptr, nullptr)) {
        std::fprintf(stderr, "usage: probe_time file\n");
        return 2;
    }
    double best = 1e9;
    bool opened = false;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const EngineHandle h = BASS_StreamCreateFile(0, argv[1], 0, 0, kStreamDecode);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        opened = h != 0;
        BASS_ChannelFree(h);
        best = std::min(best, took.count());
    }
    std::printf("%.4f %s\n", best, opened ? "opened" : "refused");
    return 0;
}
