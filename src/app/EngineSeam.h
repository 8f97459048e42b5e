#pragma once

#include "AudioEngine.h"

namespace blendora {

// The engine entry points as the program calls them. The default forwards to the real engine;
// tests hand in engines of another version, engines that refuse to start or that fail.
class EngineSeam {
  public:
    virtual ~EngineSeam() = default;
    virtual std::uint32_t GetVersion() { return BASS_GetVersion(); }
    virtual int SetConfig(std::uint32_t option, std::uint32_t value) {
        return BASS_SetConfig(option, value);
    }
    virtual int Init(int device, std::uint32_t freq, std::uint32_t flags, void* window,
                     const void* classId) {
        return BASS_Init(device, freq, flags, window, classId);
    }
    virtual int Free() { return BASS_Free(); }
    // The opens answer why a file was refused along with the handle.
    virtual EngineOpened StreamCreateFile(int mem, const void* file, std::uint64_t offset,
                                          std::uint64_t length, std::uint32_t flags) {
        return EngineStreamCreateFile(mem, file, offset, length, flags);
    }
    virtual EngineOpened MusicLoad(int mem, const void* file, std::uint64_t offset,
                                   std::uint32_t length, std::uint32_t flags, std::uint32_t freq) {
        return EngineMusicLoad(mem, file, offset, length, flags, freq);
    }
    virtual int ChannelFree(EngineHandle handle) { return BASS_ChannelFree(handle); }
    virtual int ChannelGetInfo(EngineHandle handle, ChannelInfo* info) {
        return BASS_ChannelGetInfo(handle, info);
    }
    virtual std::uint32_t ChannelIsActive(EngineHandle handle) {
        return BASS_ChannelIsActive(handle);
    }
    virtual std::int32_t ChannelGetData(EngineHandle handle, void* buffer, std::uint32_t length) {
        return BASS_ChannelGetData(handle, buffer, length);
    }
    virtual std::string TypeCheckTrouble() { return EngineTypeCheckTrouble(); }
};

// The process-wide real engine.
EngineSeam& realEngine();

} // namespace blendora
