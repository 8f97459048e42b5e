#include "ModuleChannel.h"

#include <cstdio>
#include <vector>

namespace blendora::audio {

namespace {

constexpr std::size_t kBlockFrames = 4096;
// libopenmpt renders between these rates.
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 192000;

size_t sourceRead(void* stream, void* buffer, size_t count) {
    return static_cast<FileSource*>(stream)->read(buffer, count);
}
int sourceSeek(void* stream, int64_t offset, int whence) {
    const int how = whence == OPENMPT_STREAM_SEEK_CUR   ? SEEK_CUR
                    : whence == OPENMPT_STREAM_SEEK_END ? SEEK_END
                                                        : SEEK_SET;
    return static_cast<FileSource*>(stream)->seek(offset, how) < 0 ? -1 : 0;
}
int64_t sourceTell(void* stream) {
    return int64_t(static_cast<FileSource*>(stream)->tell());
}

ModulePtr load(FileSource& source) {
    source.seek(0, SEEK_SET);
    // Once through, no fade-out after the end, and no dither so that silence stays silent.
    const openmpt_module_initial_ctl ctls[] = {
        {"play.at_end", "stop"}, {"dither", "0"}, {nullptr, nullptr}};
    ModulePtr module(openmpt_module_create2(
        {sourceRead, sourceSeek, sourceTell}, &source, openmpt_log_func_silent, nullptr,
        openmpt_error_func_ignore, nullptr, nullptr, nullptr, ctls));
    if (module)
        openmpt_module_set_repeat_count(module.get(), 0);
    return module;
}

} // namespace

bool isTrackerModule(const FileSource& file) {
    std::vector<unsigned char> head(openmpt_probe_file_header_get_recommended_size());
    head.resize(file.readAt(0, head.data(), head.size()));
    // "Wants more data" only happens for files shorter than the probe's window: not a module.
    // The probe only guesses: a header-less 15-sample module is a few bytes anything may hold.
    // libopenmpt's word is whether it makes music of the file, as the music path asks.
    return openmpt_probe_file_header(OPENMPT_PROBE_FILE_HEADER_FLAGS_DEFAULT, head.data(),
                                     head.size(), file.size(), openmpt_log_func_silent, nullptr,
                                     openmpt_error_func_ignore, nullptr, nullptr,
                                     nullptr) == OPENMPT_PROBE_FILE_HEADER_RESULT_SUCCESS &&
           ModuleChannel::open(file, kMinRate) != nullptr;
}

std::unique_ptr<Channel> ModuleChannel::open(const FileSource& file, std::uint32_t rate) {
    if (rate < kMinRate || rate > kMaxRate)
        return nullptr;
    auto source = std::make_unique<FileSource>(file);
    ModulePtr module = load(*source);
    if (!module)
        return nullptr;
    std::unique_ptr<ModuleChannel> channel(
        new ModuleChannel(rate, std::move(source), std::move(module)));
    channel->prime();
    // A module that renders nothing is no music: libopenmpt's loaders take game levels and
    // text for old 15-sample modules without a song.
    if (!channel->active())
        return nullptr;
    return channel;
}

ModuleChannel::ModuleChannel(std::uint32_t rate, std::unique_ptr<FileSource> source,
                             ModulePtr module)
    : Channel(rate, 2), source_(std::move(source)), module_(std::move(module)) {}

bool ModuleChannel::decode(std::vector<std::int16_t>& out) {
    if (!module_)
        return false;
    out.resize(kBlockFrames * 2);
    const std::size_t n = openmpt_module_read_interleaved_stereo(module_.get(), int32_t(rate()),
                                                                 kBlockFrames, out.data());
    out.resize(n * 2);
    return n > 0;
}

bool ModuleChannel::restart() {
    // Loaded afresh so a second run starts from the same state as the first; it renders the
    // same only when the module does not pan or pick samples at random.
    module_ = load(*source_);
    return module_ != nullptr;
}

} // namespace blendora::audio
