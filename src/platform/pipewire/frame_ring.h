// The ring that carries captured frames from the server's real-time thread to the sink's queue:
// one writer and one reader, neither of which ever waits for the other, locks or allocates. Its
// memory is allocated and written once, up front, so that the real-time thread never takes the
// page fault of a first touch.
//
// When the reader falls so far behind that the ring is full, the newest frames are lost: what
// the ring holds stays whole and in order, and the reader learns, at the exact place where the
// loss happened, how many frames went missing there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace sysaudio::pipewire {

class FrameRing {
 public:
  // Room for capacity frames of channels interleaved floats each; both at least 1.
  FrameRing(std::size_t capacity, std::size_t channels);
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  std::size_t capacity() const { return capacity_; }
  std::size_t channels() const { return channels_; }

  // The writer's side. Copies in as many of the frames as there is room for and returns how many
  // that was; the rest are lost and counted.
  std::size_t write(const float* interleaved, std::size_t frames);

  // The reader's side. The samples of the frames that can be read now and lie contiguous in
  // the ring, stopping at the place of a loss; empty when there are none.
  std::span<const float> readable() const;
  // Gives back the first frames of readable().
  void consume(std::size_t frames);
  // The frames lost at the read position, once everything before the loss has been read; taking
  // them moves the reader past the loss. 0 when there is none there.
  std::size_t takeLoss();

  // The frames written and not yet consumed; either side.
  std::size_t held() const;

  // Every frame lost so far; any thread.
  std::uint64_t framesLost() const { return framesLost_.load(std::memory_order_relaxed); }

 private:
  std::size_t capacity_;
  std::size_t channels_;
  std::unique_ptr<float[]> samples_;

  // Frames written and read since the start; their difference is what the ring holds.
  std::atomic<std::uint64_t> written_{0};
  std::atomic<std::uint64_t> read_{0};

  // The writer's own record of frames lost since it last wrote: a loss is published only when
  // the frames after it are written, and only one published loss waits for the reader at a
  // time (while one waits, later frames are lost as well).
  std::size_t unpublishedLoss_ = 0;
  // The published loss: its place and size, written by the writer while lossWaiting_ is false
  // and read by the reader while it is true.
  std::uint64_t lossAt_ = 0;
  std::size_t lossFrames_ = 0;
  std::atomic<bool> lossWaiting_{false};

  std::atomic<std::uint64_t> framesLost_{0};
};

}  // namespace sysaudio::pipewire
