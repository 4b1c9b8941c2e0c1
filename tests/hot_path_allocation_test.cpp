// Once running, a buffer's way from the capture's real-time thread to standard output allocates
// nothing: the slot it is copied into, the hand-over to the sink's queue, the mix and the write
// all reuse what the first buffers set up. Counted here by replacing the global allocator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>

#include "audio_sink.h"
#include "platform/pipewire/sample_slots.h"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}
// Out of line, as the replaced operator new is: g++ 12 at -Os inlines a delete into a caller
// whose new stays a call, and then takes the free for a mismatched deallocation.
[[gnu::noinline]] void operator delete(void* memory) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace sysaudio {
namespace {

// The capture's side of the hand-over, shaped as the PipeWire stream's: the work it queues holds
// the stream and a slot number, which std::function keeps without allocating.
class Capture final : public Stream {
 public:
  explicit Capture(AudioSink& sink) : sink_(sink), slots_(2048, 2) {}

  bool addStreamOutput(StreamOutput&, StreamOutputType, SerialQueue&,
                       std::optional<CaptureError>&) override {
    return true;
  }
  void startCapture(StartCompletion completion) override { completion(std::nullopt); }

  void handOver(std::size_t frames) {
    // As fast as the queue takes them: a slot comes back after each buffer is written.
    std::optional<std::size_t> slot;
    while (!(slot = slots_.acquire())) {
      std::this_thread::yield();
    }
    for (std::size_t i = 0; i < frames * 2; ++i) {
      slots_.samples(*slot)[i] = 0.25f;
    }
    slots_.setFrames(*slot, frames);
    sink_.queue.async([this, slot = *slot] { deliver(slot); });
  }

 private:
  void deliver(std::size_t slot) {
    const pipewire::SlotSampleBuffer buffer(slots_.samples(slot), slots_.frames(slot), 2);
    sink_.streamDidOutputSampleBuffer(*this, buffer, StreamOutputType::audio);
    slots_.release(slot);
    sink_.fillSilence();
  }

  AudioSink& sink_;
  pipewire::SampleSlots slots_;
};

TEST(HotPathAllocationTest, BuffersAndSilenceTicksAllocateNothingOnceRunning) {
  // The samples go nowhere, as fast as they come.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);

  const Settings settings;
  AudioSink sink(settings);
  Capture capture(sink);

  for (int i = 0; i < 10; ++i) {
    capture.handOver(682);
  }
  sink.queue.sync([] {});
  const std::size_t before = allocations.load();
  for (int i = 0; i < 5000; ++i) {
    capture.handOver(i % 2 == 0 ? 682 : 341);
  }
  // The count is read on the queue, after the last buffer, by work that itself allocates
  // nothing.
  std::size_t after = 0;
  std::atomic<bool> done{false};
  sink.queue.async([&] {
    after = allocations.load();
    done = true;
  });
  while (!done) {
    std::this_thread::yield();
  }

  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(null);
  EXPECT_EQ(after - before, 0u);
}

}  // namespace
}  // namespace sysaudio
