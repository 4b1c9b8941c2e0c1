#include "platform/pipewire/frame_ring.h"

#include <algorithm>
#include <cstring>

namespace sysaudio::pipewire {

FrameRing::FrameRing(std::size_t capacity, std::size_t channels)
    : capacity_(std::max<std::size_t>(capacity, 1)),
      channels_(std::max<std::size_t>(channels, 1)),
      samples_(std::make_unique_for_overwrite<float[]>(capacity_ * channels_)) {
  // Every page written now, on this thread: the writer's first touch of a page would otherwise
  // be a page fault on the real-time thread.
  std::fill_n(samples_.get(), capacity_ * channels_, 0.0f);
}

std::size_t FrameRing::write(const float* interleaved, std::size_t frames) {
  const std::uint64_t written = written_.load(std::memory_order_relaxed);
  const std::uint64_t free = capacity_ - (written - read_.load(std::memory_order_acquire));
  std::size_t taken = 0;
  // Frames after a loss go in only once the loss is published at their place.
  const bool lossBlocksTheWay =
      unpublishedLoss_ > 0 && lossWaiting_.load(std::memory_order_acquire);
  if (frames > 0 && free > 0 && !lossBlocksTheWay) {
    if (unpublishedLoss_ > 0) {
      lossAt_ = written;
      lossFrames_ = unpublishedLoss_;
      lossWaiting_.store(true, std::memory_order_release);
      unpublishedLoss_ = 0;
    }
    taken = static_cast<std::size_t>(std::min<std::uint64_t>(frames, free));
    const std::size_t start = static_cast<std::size_t>(written % capacity_);
    const std::size_t first = std::min(taken, capacity_ - start);
    std::memcpy(samples_.get() + start * channels_, interleaved, first * channels_ * sizeof(float));
    std::memcpy(samples_.get(), interleaved + first * channels_,
                (taken - first) * channels_ * sizeof(float));
    written_.store(written + taken, std::memory_order_release);
  }
  if (taken < frames) {
    unpublishedLoss_ += frames - taken;
    framesLost_.fetch_add(frames - taken, std::memory_order_relaxed);
  }
  return taken;
}

std::span<const float> FrameRing::readable() const {
  const std::uint64_t read = read_.load(std::memory_order_relaxed);
  // The written count first: a loss published before the frames it reports is then seen too.
  std::uint64_t end = written_.load(std::memory_order_acquire);
  if (lossWaiting_.load(std::memory_order_acquire)) {
    end = std::min(end, lossAt_);
  }
  const std::size_t start = static_cast<std::size_t>(read % capacity_);
  const std::size_t frames =
      static_cast<std::size_t>(std::min<std::uint64_t>(end - read, capacity_ - start));
  return {samples_.get() + start * channels_, frames * channels_};
}

std::size_t FrameRing::held() const {
  const std::uint64_t read = read_.load(std::memory_order_acquire);
  return static_cast<std::size_t>(written_.load(std::memory_order_acquire) - read);
}

void FrameRing::consume(std::size_t frames) {
  read_.store(read_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
}

std::size_t FrameRing::takeLoss() {
  if (!lossWaiting_.load(std::memory_order_acquire) ||
      lossAt_ != read_.load(std::memory_order_relaxed)) {
    return 0;
  }
  const std::size_t frames = lossFrames_;
  lossWaiting_.store(false, std::memory_order_release);
  return frames;
}

}  // namespace sysaudio::pipewire
