#include "Channel.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace blendora::audio {

namespace {
// Frames decoded without output before a decoder is taken to be stuck.
constexpr int kMaxEmptyDecodes = 4096;
} // namespace

bool Channel::refill() {
    pending_.clear();
    taken_ = 0;
    for (int empty = 0; !exhausted_ && pending_.empty(); ++empty) {
        if (!decode(pending_) || empty >= kMaxEmptyDecodes)
            exhausted_ = true;
        // A decoder must never hand out part of a frame.
        pending_.resize(pending_.size() - pending_.size() % channels_);
    }
    return !pending_.empty();
}

std::int32_t Channel::getData(void* buffer, std::uint32_t length) {
    if (!buffer) {
        pending_.clear();
        taken_ = 0;
        exhausted_ = true;
        return -1;
    }
    const std::size_t frameBytes = 2 * std::size_t(channels_);
    // Keep the answer within int32 whatever length the caller asks for.
    const std::size_t limit = std::min<std::size_t>(length, INT32_MAX);
    std::size_t wanted = limit / frameBytes * channels_;
    auto* out = static_cast<std::int16_t*>(buffer);
    std::size_t copied = 0;
    while (copied < wanted && (active() || refill())) {
        const std::size_t n = std::min(wanted - copied, pending_.size() - taken_);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out + copied, pending_.data() + taken_, n * 2);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const auto v = std::uint16_t(pending_[taken_ + i]);
                auto* b = reinterpret_cast<unsigned char*>(out + copied + i);
                b[0] = static_cast<unsigned char>(v);
                b[1] = static_cast<unsigned char>(v >> 8);
            }
        }
        copied += n;
        taken_ += n;
    }
    if (!active())
        refill();
    delivered_ += copied * 2;
    return std::int32_t(copied * 2);
}

bool Channel::skipTo(std::uint64_t bytes) {
    pending_.clear();
    taken_ = 0;
    delivered_ = 0;
    exhausted_ = false;
    const std::uint64_t frame = bytes / (2 * channels_);
    if (seekFrame(frame)) {
        delivered_ = bytes;
    } else if (!restart()) {
        exhausted_ = true;
        return false;
    }
    while (delivered_ < bytes) {
        if (!active() && !refill())
            return false;
        const std::size_t n = std::size_t(
            std::min<std::uint64_t>((bytes - delivered_) / 2, pending_.size() - taken_));
        taken_ += n;
        delivered_ += n * 2;
    }
    if (!active())
        refill();
    return true;
}

bool Channel::setPosition(std::uint64_t bytes) {
    if (bytes % (2 * channels_) != 0)
        return false;
    const std::uint64_t before = delivered_;
    if (skipTo(bytes))
        return true;
    // Past the end: go back to where the caller was.
    skipTo(before);
    return false;
}

} // namespace blendora::audio
