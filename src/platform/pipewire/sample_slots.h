// The buffers that carry captured audio from the server's real-time thread to the sink's queue.
// A fixed set, taken and given back without locks or allocation, so the real-time thread never
// waits and a reader that falls behind can hold only so much: when every slot is taken, new
// audio is dropped until the reader catches up.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/sample_buffer.h"

namespace sysaudio::pipewire {

class SampleSlots {
 public:
  static constexpr std::size_t slotCount = 64;

  SampleSlots(std::size_t framesPerSlot, std::size_t channels);

  std::size_t framesPerSlot() const { return framesPerSlot_; }
  std::size_t channels() const { return channels_; }

  // A free slot, or none when the reader has fallen behind.
  std::optional<std::size_t> acquire();
  void release(std::size_t slot);

  float* samples(std::size_t slot) { return storage_.get() + slot * framesPerSlot_ * channels_; }
  void setFrames(std::size_t slot, std::size_t frames) { frames_[slot] = frames; }
  std::size_t frames(std::size_t slot) const { return frames_[slot]; }

 private:
  std::size_t framesPerSlot_;
  std::size_t channels_;
  // Pages of slots never used are never touched, so they cost address space, not memory.
  std::unique_ptr<float[]> storage_;
  std::array<std::size_t, slotCount> frames_{};
  std::atomic<std::uint64_t> free_;
};

// One slot's interleaved frames, as a sample buffer of one buffer.
class SlotSampleBuffer final : public SampleBuffer {
 public:
  SlotSampleBuffer(const float* samples, std::size_t frames, std::size_t channels);

  bool isValid() const override { return true; }
  std::optional<CaptureError> withAudioBufferList(
      const std::function<void(AudioBufferList)>& body) const override;

 private:
  AudioBuffer buffer_;
};

}  // namespace sysaudio::pipewire
