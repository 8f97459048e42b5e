#pragma once

#include <cstdint>
#include <vector>

namespace blendora::audio {

// A decoder delivering interleaved signed 16-bit frames in one fixed format. Subclasses
// decode in blocks; this class hands the blocks out in caller-sized pieces and keeps the
// byte position.
class Channel {
  public:
    virtual ~Channel() = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    std::uint32_t rate() const { return rate_; }
    std::uint32_t channels() const { return channels_; }

    // Data is decoded one block ahead, so this turns false as soon as the last byte is out.
    bool active() const { return taken_ < pending_.size(); }
    // Little-endian bytes, whole frames only; -1 (and the channel ends) on a bad buffer.
    std::int32_t getData(void* buffer, std::uint32_t length);
    std::uint64_t position() const { return delivered_; }
    bool setPosition(std::uint64_t bytes);

  protected:
    Channel(std::uint32_t rate, std::uint32_t channels) : rate_(rate), channels_(channels) {}

    // Must be called once the subclass can decode, so that active() is true from the start.
    void prime() { refill(); }

    // Appends zero or more frames to out; false once there is nothing more: the source ended,
    // or its data cannot be decoded further.
    virtual bool decode(std::vector<std::int16_t>& out) = 0;
    // Back to the first frame; false if that failed (the channel then ends).
    virtual bool restart() = 0;
    // Jumps straight to a frame, when the decoder can; otherwise positions are reached by
    // decoding from the start.
    virtual bool seekFrame(std::uint64_t) { return false; }

  private:
    bool refill();
    bool skipTo(std::uint64_t bytes);

    std::uint32_t rate_;
    std::uint32_t channels_;
    std::vector<std::int16_t> pending_;
    std::size_t taken_ = 0;
    bool exhausted_ = false;
    std::uint64_t delivered_ = 0;
};

} // namespace blendora::audio
