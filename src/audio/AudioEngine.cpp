#include "AudioEngine.h"

#include "Channel.h"
#include "FileSource.h"
#include "ModuleChannel.h"
#include "MpegChannel.h"
#include "MpegProbe.h"
#include "Signature.h"
#include "SndfileChannel.h"

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace blendora {

namespace {

using audio::Channel;
using audio::FileSource;

// A channel and the lock that lets callers on different threads share it; the table lock
// is only held for lookups, so decoding one channel never blocks another.
struct Slot {
    std::mutex lock;
    std::unique_ptr<Channel> channel;
    std::unique_ptr<FileSource> file; // shares the channel's record of short reads
};

struct Engine {
    std::mutex lock;
    bool started = false;
    std::uint32_t musicRate = 0;
    EngineHandle lastHandle = 0;
    std::map<EngineHandle, std::shared_ptr<Slot>> channels;
};

Engine& engine() {
    static Engine e;
    return e;
}

// The rate given to BASS_Init, or 0 while the engine is not started.
std::uint32_t startedRate() {
    std::lock_guard guard(engine().lock);
    return engine().started ? engine().musicRate : 0;
}

EngineHandle add(std::unique_ptr<Channel> channel, const FileSource& file) {
    if (!channel)
        return 0;
    auto slot = std::make_shared<Slot>();
    slot->channel = std::move(channel);
    slot->file = std::make_unique<FileSource>(file);
    Engine& e = engine();
    std::lock_guard guard(e.lock);
    if (!e.started)
        return 0;
    // Counting up, so a released handle does not come back for four billion channels.
    do
        ++e.lastHandle;
    while (e.lastHandle == 0 || e.channels.count(e.lastHandle));
    e.channels.emplace(e.lastHandle, std::move(slot));
    return e.lastHandle;
}

std::shared_ptr<Slot> find(EngineHandle handle) {
    Engine& e = engine();
    std::lock_guard guard(e.lock);
    const auto it = e.channels.find(handle);
    return it == e.channels.end() ? nullptr : it->second;
}

constexpr EngineOpened kNotStarted{0, Refusal::Unopenable, EINVAL};

// The file, or why it could not be opened.
std::unique_ptr<FileSource> openFile(int mem, const void* file, std::uint64_t offset,
                                     std::uint64_t length, std::uint32_t flags,
                                     EngineOpened& opened) {
    opened = {0, Refusal::Unopenable, EINVAL};
    if (mem != 0 || !file)
        return nullptr;
    std::string path;
    if (flags & kUnicodeName) {
        if (!audio::utf16ToUtf8(static_cast<const char16_t*>(file), path)) {
            opened.error = EILSEQ;
            return nullptr;
        }
    } else {
        path = static_cast<const char*>(file);
    }
    auto source = FileSource::open(path, offset, length);
    if (!source) {
        opened.error = errno;
        opened.why = errno == EISDIR   ? Refusal::Folder
                     : errno == ENODEV ? Refusal::NotAFile
                                       : Refusal::Unopenable;
    } else if (source->size() == 0) {
        opened.why = Refusal::Empty;
    } else {
        opened = {};
    }
    return source;
}

// Why a file that was opened was refused after all: the file shrank while it was judged, or
// else what its bytes are.
EngineOpened refused(const FileSource& source, Refusal kind) {
    return {0, source.cut() ? Refusal::Changed : kind, 0};
}

EngineOpened added(std::unique_ptr<Channel> channel, const FileSource& file, Refusal otherwise) {
    const EngineHandle handle = add(std::move(channel), file);
    return handle != 0 ? EngineOpened{handle} : refused(file, otherwise);
}

} // namespace

std::uint32_t BASS_GetVersion() {
    return kEngineVersion;
}

int BASS_SetConfig(std::uint32_t option, std::uint32_t) {
    return option == kConfigUpdatePeriod;
}

int BASS_Init(int device, std::uint32_t freq, std::uint32_t, void*, const void*) {
    Engine& e = engine();
    std::lock_guard guard(e.lock);
    if (device != 0 || e.started || freq == 0)
        return 0;
    e.started = true;
    e.musicRate = freq;
    return 1;
}

int BASS_Free() {
    Engine& e = engine();
    std::map<EngineHandle, std::shared_ptr<Slot>> released;
    bool was = false;
    {
        std::lock_guard guard(e.lock);
        was = e.started;
        e.started = false;
        released.swap(e.channels);
    }
    // Decoders are closed outside the table lock; one still in use elsewhere closes after.
    return was;
}

int BASS_ChannelFree(EngineHandle handle) {
    Engine& e = engine();
    std::shared_ptr<Slot> released;
    std::lock_guard guard(e.lock);
    const auto it = e.channels.find(handle);
    if (it == e.channels.end())
        return 0;
    released = std::move(it->second);
    e.channels.erase(it);
    return 1;
}

EngineOpened EngineStreamCreateFile(int mem, const void* file, std::uint64_t offset,
                                    std::uint64_t length, std::uint32_t flags) {
    if (startedRate() == 0)
        return kNotStarted;
    EngineOpened opened;
    const auto source = openFile(mem, file, offset, length, flags, opened);
    if (opened.why != Refusal::None)
        return opened;
    // Whatever frames its bytes may hold, a file whose signature says it is something else is
    // not sound; nor is an archive a stream.
    if (const Refusal kind = audio::signatureOf(*source); kind != Refusal::None)
        return refused(*source, kind);
    if (audio::isTrackerModule(*source))
        return refused(*source, Refusal::NoKnownSound);
    // libmpg123 finds false frames in PCM data, so other containers never reach it.
    if (audio::looksLikeOtherFormat(*source)) {
        // MPEG audio inside a WAV file is the MPEG decoder's, with the data chunk as stream.
        if (const auto data = audio::mpegInsideRiff(*source))
            return added(audio::MpegChannel::open(*data), *data, Refusal::NoKnownSound);
        return added(audio::SndfileChannel::open(*source), *source, Refusal::NoKnownSound);
    }
    if (auto channel = audio::MpegChannel::open(*source))
        return added(std::move(channel), *source, Refusal::NoKnownSound);
    // libsndfile would hand what looks like MPEG to a libmpg123 of its own, unchecked and
    // printing to the console.
    if (audio::startsLikeMpeg(*source))
        return refused(*source, Refusal::NoKnownSound);
    return added(audio::SndfileChannel::open(*source), *source, Refusal::NoKnownSound);
}

EngineOpened EngineMusicLoad(int mem, const void* file, std::uint64_t offset, std::uint32_t length,
                             std::uint32_t flags, std::uint32_t freq) {
    const std::uint32_t rate = startedRate();
    if (rate == 0)
        return kNotStarted;
    EngineOpened opened;
    const auto source = openFile(mem, file, offset, length, flags, opened);
    if (opened.why != Refusal::None)
        return opened;
    // libopenmpt opens modules inside archives.
    const Refusal kind = audio::signatureOf(*source);
    if (kind != Refusal::None && kind != Refusal::Archive)
        return refused(*source, kind);
    return added(audio::ModuleChannel::open(*source, freq ? freq : rate), *source,
                 kind == Refusal::Archive ? kind : Refusal::NoKnownSound);
}

EngineHandle BASS_StreamCreateFile(int mem, const void* file, std::uint64_t offset,
                                   std::uint64_t length, std::uint32_t flags) {
    return EngineStreamCreateFile(mem, file, offset, length, flags).handle;
}

EngineHandle BASS_MusicLoad(int mem, const void* file, std::uint64_t offset, std::uint32_t length,
                            std::uint32_t flags, std::uint32_t freq) {
    return EngineMusicLoad(mem, file, offset, length, flags, freq).handle;
}

int BASS_ChannelGetInfo(EngineHandle handle, ChannelInfo* info) {
    const auto slot = find(handle);
    if (!slot || !info)
        return 0;
    std::lock_guard guard(slot->lock);
    *info = {};
    info->freq = slot->channel->rate();
    info->chans = slot->channel->channels();
    return 1;
}

std::uint32_t BASS_ChannelIsActive(EngineHandle handle) {
    const auto slot = find(handle);
    if (!slot)
        return 0;
    std::lock_guard guard(slot->lock);
    return slot->channel->active() ? 1 : 0;
}

std::int32_t BASS_ChannelGetData(EngineHandle handle, void* buffer, std::uint32_t length) {
    const auto slot = find(handle);
    if (!slot)
        return -1;
    std::lock_guard guard(slot->lock);
    const std::int32_t n = slot->channel->getData(buffer, length);
    // A file that came up short of its length at open is an error, not an end.
    if (slot->file->cut()) {
        slot->channel->getData(nullptr, 0);
        return -1;
    }
    return n;
}

std::uint64_t BASS_ChannelGetPosition(EngineHandle handle, std::uint32_t mode) {
    const auto slot = find(handle);
    if (!slot || mode != kPositionBytes)
        return ~std::uint64_t{0};
    std::lock_guard guard(slot->lock);
    return slot->channel->position();
}

int BASS_ChannelSetPosition(EngineHandle handle, std::uint64_t position, std::uint32_t mode) {
    const auto slot = find(handle);
    if (!slot || mode != kPositionBytes)
        return 0;
    std::lock_guard guard(slot->lock);
    return slot->channel->setPosition(position) ? 1 : 0;
}

std::string EngineTypeCheckTrouble() {
    return audio::typeCheckTrouble();
}

} // namespace blendora
