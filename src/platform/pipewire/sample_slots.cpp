#include "platform/pipewire/sample_slots.h"

#include <bit>

namespace sysaudio::pipewire {

SampleSlots::SampleSlots(std::size_t framesPerSlot, std::size_t channels)
    : framesPerSlot_(framesPerSlot),
      channels_(channels),
      storage_(std::make_unique_for_overwrite<float[]>(slotCount * framesPerSlot * channels)),
      free_(~std::uint64_t{0}) {
  static_assert(slotCount == 64, "one bit of free_ per slot");
}

std::optional<std::size_t> SampleSlots::acquire() {
  std::uint64_t free = free_.load(std::memory_order_relaxed);
  while (free != 0) {
    const auto slot = static_cast<std::size_t>(std::countr_zero(free));
    const std::uint64_t taken = free & ~(std::uint64_t{1} << slot);
    if (free_.compare_exchange_weak(free, taken, std::memory_order_acquire,
                                    std::memory_order_relaxed)) {
      return slot;
    }
  }
  return std::nullopt;
}

void SampleSlots::release(std::size_t slot) {
  free_.fetch_or(std::uint64_t{1} << slot, std::memory_order_release);
}

SlotSampleBuffer::SlotSampleBuffer(const float* samples, std::size_t frames, std::size_t channels)
    : buffer_{static_cast<std::uint32_t>(channels),
              static_cast<std::uint32_t>(frames * channels * sizeof(float)), samples} {}

std::optional<CaptureError> SlotSampleBuffer::withAudioBufferList(
    const std::function<void(AudioBufferList)>& body) const {
  body(AudioBufferList(&buffer_, 1));
  return std::nullopt;
}

}  // namespace sysaudio::pipewire
