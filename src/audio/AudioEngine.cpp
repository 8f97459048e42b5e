#include "AudioEngine.h"

namespace blendora {

namespace {
bool started = false;
}

std::uint32_t BASS_GetVersion() { return kEngineVersion; }

int BASS_SetConfig(std::uint32_t option, std::uint32_t) { return option == kConfigUpdatePeriod; }

int BASS_Init(int device, std::uint32_t freq, std::uint32_t, void*, const void*) {
    if (device != 0 || started || freq == 0)
        return 0;
    started = true;
    return 1;
}

int BASS_Free() {
    const bool was = started;
    started = false;
    return was;
}

// Decoding arrives with the stream and music readers.
EngineHandle BASS_StreamCreateFile(int, const void*, std::uint64_t, std::uint64_t, std::uint32_t) {
    return 0;
}
EngineHandle BASS_MusicLoad(int, const void*, std::uint64_t, std::uint32_t, std::uint32_t,
                            std::uint32_t) {
    return 0;
}
int BASS_ChannelGetInfo(EngineHandle, ChannelInfo*) { return 0; }
std::uint32_t BASS_ChannelIsActive(EngineHandle) { return 0; }
std::int32_t BASS_ChannelGetData(EngineHandle, void*, std::uint32_t) { return -1; }
std::uint64_t BASS_ChannelGetPosition(EngineHandle, std::uint32_t) { return ~std::uint64_t{0}; }
int BASS_ChannelSetPosition(EngineHandle, std::uint64_t, std::uint32_t) { return 0; }

} // namespace blendora
