#pragma once

#include "Channel.h"
#include "FileSource.h"

#include <libopenmpt/libopenmpt.h>
#include <memory>

namespace blendora::audio {

struct ModuleDeleter {
    void operator()(openmpt_module* m) const { openmpt_module_destroy(m); }
};
using ModulePtr = std::unique_ptr<openmpt_module, ModuleDeleter>;

// True when libopenmpt takes the file for a module or a module container and plays it.
// Such files never go to the stream decoders: libmpg123 finds false frames in sample data.
bool isTrackerModule(const FileSource& file);

// Tracker modules through libopenmpt: stereo at a chosen rate, played once to the song's end.
class ModuleChannel final : public Channel {
  public:
    static std::unique_ptr<Channel> open(const FileSource& file, std::uint32_t rate);

  private:
    ModuleChannel(std::uint32_t rate, std::unique_ptr<FileSource> source, ModulePtr module);

    bool decode(std::vector<std::int16_t>& out) override;
    bool restart() override;

    std::unique_ptr<FileSource> source_;
    ModulePtr module_;
};

} // namespace blendora::audio
