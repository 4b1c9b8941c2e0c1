// Once running, a buffer's way from the capture's real-time thread to standard output allocates
// nothing: the real hand-over takes a server buffer into its ring and signals the sink's queue,
// which hands the frames to the real sink, which mixes and writes them; all of it reuses what the
// first buffers set up. Counted here by replacing the global allocator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "audio_sink.h"
#include "platform/pipewire/capture_hand_over.h"
#include "platform/pipewire/capture_ports.h"
#include "platform/pipewire/pipewire_stream.h"

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

// The stream the hand-over delivers for; never started.
class IdleStream final : public Stream {
 public:
  bool addStreamOutput(StreamOutput&, StreamOutputType, SerialQueue&,
                       std::optional<CaptureError>&) override {
    return true;
  }
  void startCapture(StartCompletion completion) override { completion(std::nullopt); }
};

// Passes every buffer on to the sink, counting its frames, and lets a silence tick run after
// each, as the timer would.
class CountingOutput final : public StreamOutput {
 public:
  explicit CountingOutput(AudioSink& sink) : sink_(sink) {}

  void streamDidOutputSampleBuffer(Stream& stream, const SampleBuffer& buffer,
                                   StreamOutputType type) override {
    (void)buffer.withAudioBufferList([this](AudioBufferList list) {
      frames += list[0].dataByteSize / sizeof(float) / list[0].numberChannels;
    });
    sink_.streamDidOutputSampleBuffer(stream, buffer, type);
    sink_.fillSilence();
  }

  std::atomic<std::size_t> frames{0};

 private:
  AudioSink& sink_;
};

// A server buffer of the capture's interleaved inputs, as the stream dequeues it.
class ServerBuffer {
 public:
  explicit ServerBuffer(std::size_t largestFrames)
      : samples_(largestFrames * pipewire::captureInputCount, 0.25f) {
    data_.type = SPA_DATA_MemPtr;
    data_.maxsize = static_cast<std::uint32_t>(samples_.size() * sizeof(float));
    data_.data = samples_.data();
    data_.chunk = &chunk_;
    buffer_.n_datas = 1;
    buffer_.datas = &data_;
  }

  const spa_buffer& holding(std::size_t frames) {
    chunk_.offset = 0;
    chunk_.size = static_cast<std::uint32_t>(frames * pipewire::captureInputCount * sizeof(float));
    chunk_.stride = pipewire::captureInputCount * sizeof(float);
    return buffer_;
  }

 private:
  std::vector<float> samples_;
  spa_chunk chunk_{};
  spa_data data_{};
  spa_buffer buffer_{};
};

TEST(HotPathAllocationTest, BuffersAndSilenceTicksAllocateNothingOnceRunning) {
  // The samples go nowhere, as fast as they come.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);

  const Settings settings;
  AudioSink sink(settings);
  IdleStream stream;
  CountingOutput output(sink);
  const std::unique_ptr<pipewire::CaptureHandOver> handOver =
      pipewire::makeCaptureHandOver(settings.sampleRate, stream, output, sink.queue);
  ServerBuffer server(8192);

  // As the real-time thread does, but never further ahead of the reader than a few buffers, so
  // that nothing is lost however slowly the reader runs.
  // Frames that never arrive fail the test in a while rather than hang it.
  std::size_t taken = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  const auto waitForDelivery = [&](std::size_t behind) {
    while (output.frames.load() + behind < taken) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::yield();
    }
    return true;
  };
  bool delivered = true;
  const auto takeBuffers = [&](int count) {
    for (int i = 0; i < count; ++i) {
      delivered = delivered && waitForDelivery(4096);
      const std::size_t frames = i % 2 == 0 ? 682 : 341;
      handOver->take(server.holding(frames));
      taken += frames;
    }
    delivered = delivered && waitForDelivery(0);
  };

  // The first buffers set up what the rest reuse: the largest piece the sink is handed at once
  // is 8192 frames.
  handOver->take(server.holding(8192));
  taken += 8192;
  takeBuffers(10);
  const std::size_t before = allocations.load();
  takeBuffers(5000);
  const std::size_t after = allocations.load();

  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(null);
  EXPECT_TRUE(delivered) << output.frames.load() << " of " << taken << " frames delivered";
  EXPECT_EQ(after - before, 0u);
  EXPECT_EQ(output.frames.load(), taken);
  EXPECT_EQ(handOver->framesLost(), 0u);
}

}  // namespace
}  // namespace sysaudio
