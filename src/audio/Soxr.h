#pragma once

#include <memory>
#include <soxr.h>
#include <type_traits>

namespace blendora {

// The one owner of a libsoxr resampler, for the decoder and the conversion alike.
struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using SoxrPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

} // namespace blendora
