#include "platform/pipewire/capture_hand_over.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <thread>
#include <vector>

namespace sysaudio::pipewire {
namespace {

class IdleStream final : public Stream {
 public:
  bool addStreamOutput(StreamOutput&, StreamOutputType, SerialQueue&,
                       std::optional<CaptureError>&) override {
    return true;
  }
  void startCapture(StartCompletion completion) override { completion(std::nullopt); }
};

// What the output has received: its buffers' channel counts, sizes in frames and samples.
struct Received {
  std::vector<std::uint32_t> channels;
  std::vector<std::size_t> pieces;
  std::vector<float> samples;
};

// Keeps every buffer it is given, on the queue.
class RecordingOutput final : public StreamOutput {
 public:
  explicit RecordingOutput(SerialQueue& queue) : queue_(queue) {}

  void streamDidOutputSampleBuffer(Stream&, const SampleBuffer& buffer,
                                   StreamOutputType type) override {
    EXPECT_TRUE(queue_.isCurrent());
    EXPECT_EQ(type, StreamOutputType::audio);
    (void)buffer.withAudioBufferList([this](AudioBufferList list) {
      ASSERT_EQ(list.size(), 1u);
      received.channels.push_back(list[0].numberChannels);
      received.pieces.push_back(list[0].dataByteSize / sizeof(float) / list[0].numberChannels);
      received.samples.insert(received.samples.end(), list[0].data,
                              list[0].data + list[0].dataByteSize / sizeof(float));
    });
  }

  Received received;  // touched only on the queue

 private:
  SerialQueue& queue_;
};

// A server buffer over the given memory.
struct ServerBuffer {
  ServerBuffer(std::vector<float>& memory, std::uint32_t offset, std::uint32_t size) {
    chunk.offset = offset;
    chunk.size = size;
    data.type = SPA_DATA_MemPtr;
    data.maxsize = static_cast<std::uint32_t>(memory.size() * sizeof(float));
    data.data = memory.data();
    data.chunk = &chunk;
    buffer.n_datas = 1;
    buffer.datas = &data;
  }

  spa_chunk chunk{};
  spa_data data{};
  spa_buffer buffer{};
};

std::vector<float> counting(std::size_t first, std::size_t count) {
  std::vector<float> samples(count);
  for (std::size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<float>(first + i);
  }
  return samples;
}

class CaptureHandOverTest : public ::testing::Test {
 protected:
  CaptureHandOverTest() : output(queue) {}

  std::unique_ptr<CaptureHandOver> handOver(std::int64_t rate, std::size_t channels) {
    return std::make_unique<CaptureHandOver>(rate, channels, stream, output, queue);
  }
  // What the output has received once the queue has caught up, copied on the queue.
  Received received() {
    Received copy;
    queue.sync([&] { copy = output.received; });
    return copy;
  }
  // Holds the queue, from the moment this returns until the returned promise is set, as a
  // reader that stalls holds it.
  std::promise<void> holdQueue() {
    std::promise<void> release;
    std::promise<void> held;
    queue.async([released = release.get_future().share(), &held] {
      held.set_value();
      released.wait();
    });
    held.get_future().wait();
    return release;
  }

  SerialQueue queue{"test.queue"};
  IdleStream stream;
  RecordingOutput output;
};

// Only the buffer's valid bytes are read, whatever its chunk claims, and only whole frames.
struct BoundsCase {
  const char* name;
  std::size_t channels;
  std::uint32_t offset;  // bytes
  std::uint32_t size;    // bytes
  std::size_t firstSample;
  std::size_t samples;
};

class CaptureHandOverBoundsTest : public CaptureHandOverTest,
                                  public ::testing::WithParamInterface<BoundsCase> {};

TEST_P(CaptureHandOverBoundsTest, TakesTheWholeFramesInsideTheBuffer) {
  const BoundsCase& bounds = GetParam();
  std::vector<float> memory = counting(0, 60);  // 240 bytes
  const auto taker = handOver(16000, bounds.channels);
  ServerBuffer server(memory, bounds.offset, bounds.size);
  taker->take(server.buffer);
  const Received got = received();
  EXPECT_EQ(got.samples, counting(bounds.firstSample, bounds.samples));
  for (const std::uint32_t channels : got.channels) {
    EXPECT_EQ(channels, bounds.channels);
  }
}

INSTANTIATE_TEST_SUITE_P(Buffers, CaptureHandOverBoundsTest,
                         ::testing::Values(BoundsCase{"Whole", 2, 0, 240, 0, 60},
                                           BoundsCase{"Offset", 2, 16, 32, 4, 8},
                                           BoundsCase{"SizePastTheEnd", 2, 16, 4000, 4, 56},
                                           BoundsCase{"OffsetPastTheEnd", 2, 4000, 8, 0, 0},
                                           BoundsCase{"PartFrameLeftOut", 2, 0, 28, 0, 6},
                                           BoundsCase{"SixChannels", 6, 24, 240, 6, 54},
                                           BoundsCase{"OneChannel", 1, 4, 12, 1, 3},
                                           BoundsCase{"Empty", 2, 0, 0, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureHandOverTest, BuffersWithoutDataAreSkipped) {
  const auto taker = handOver(16000, 2);
  std::vector<float> memory = counting(0, 8);
  ServerBuffer noChunk(memory, 0, 32);
  noChunk.data.chunk = nullptr;
  ServerBuffer noData(memory, 0, 32);
  noData.data.data = nullptr;
  ServerBuffer noDatas(memory, 0, 32);
  noDatas.buffer.n_datas = 0;
  for (const ServerBuffer* server : {&noChunk, &noData, &noDatas}) {
    taker->take(server->buffer);
  }
  EXPECT_TRUE(received().samples.empty());
}

// A reader that stalls: the ring holds two seconds of audio, whatever the buffers' size, and
// hands it all over, in order, once the reader is back; frames beyond it are lost, and where
// they were the reader gets zeros (one silence block at most) before the audio that followed.
struct StallCase {
  const char* name;
  std::size_t bufferFrames;
  std::size_t lostFrames;
  std::size_t zeros;
};

class CaptureHandOverStallTest : public CaptureHandOverTest,
                                 public ::testing::WithParamInterface<StallCase> {};

TEST_P(CaptureHandOverStallTest, TheRingHoldsTheBudgetThenMarksTheLoss) {
  const StallCase& stall = GetParam();
  constexpr std::int64_t rate = 8000;
  constexpr std::size_t channels = 2;
  const std::size_t budget = static_cast<std::size_t>(rate) * 2;
  ASSERT_EQ(ringFrames(rate), budget);
  const auto taker = handOver(rate, channels);
  const std::size_t total = budget + stall.lostFrames;
  std::vector<float> memory = counting(0, (total + 100) * channels);

  std::promise<void> release = holdQueue();
  for (std::size_t frame = 0; frame < total; frame += stall.bufferFrames) {
    const std::size_t frames = std::min(stall.bufferFrames, total - frame);
    ServerBuffer server(memory, static_cast<std::uint32_t>(frame * channels * sizeof(float)),
                        static_cast<std::uint32_t>(frames * channels * sizeof(float)));
    taker->take(server.buffer);
  }
  EXPECT_EQ(taker->framesLost(), stall.lostFrames);
  release.set_value();
  const std::vector<float> held = counting(0, budget * channels);
  const Received afterStall = received();
  EXPECT_TRUE(afterStall.samples == held)
      << "the stalled reader did not get the first " << budget << " frames whole and in order";
  for (const std::size_t piece : afterStall.pieces) {
    EXPECT_LE(piece, 8192u);
  }

  // The reader is back: what comes next follows the mark of the loss.
  ServerBuffer next(memory, static_cast<std::uint32_t>(total * channels * sizeof(float)),
                    100 * channels * sizeof(float));
  taker->take(next.buffer);
  std::vector<float> expected = held;
  expected.resize(expected.size() + stall.zeros * channels, 0.0f);
  const std::vector<float> after = counting(total * channels, 100 * channels);
  expected.insert(expected.end(), after.begin(), after.end());
  EXPECT_TRUE(received().samples == expected)
      << "expected " << stall.zeros << " zero frames, then the next buffer";
}

INSTANTIATE_TEST_SUITE_P(Stalls, CaptureHandOverStallTest,
                         ::testing::Values(StallCase{"NothingLost", 1024, 0, 0},
                                           StallCase{"LessThanABlockLost", 341, 150, 150},
                                           StallCase{"SecondsLost", 2731, 40000, 400}),
                         [](const auto& info) { return std::string(info.param.name); });

// Buffers of less than the wake interval: the first after a pause comes at once, the next ones
// wait until together they fill the interval, and what is left when no buffer follows comes
// by the timer.
TEST_F(CaptureHandOverTest, SmallBuffersWakeTheQueueOncePerIntervalAndNothingIsLeftBehind) {
  constexpr std::int64_t rate = 16000;
  const std::size_t interval = static_cast<std::size_t>(rate) * wakeInterval.count() / 1000;
  const std::size_t small = interval * 2 / 5;  // 64 frames: a 4 ms graph cycle
  const auto taker = handOver(rate, 1);
  std::vector<float> memory = counting(0, 20 * small);
  std::size_t taken = 0;
  const auto takeOne = [&] {
    ServerBuffer server(memory, static_cast<std::uint32_t>(taken * sizeof(float)),
                        static_cast<std::uint32_t>(small * sizeof(float)));
    taker->take(server.buffer);
    taken += small;
  };

  // Whether the timer, set by the last wake-up (which ended before since), cannot have run yet:
  // only then does a buffer's not being there show that it waited.
  const auto timerNotDue = [](DispatchClock::time_point since) {
    return DispatchClock::now() - since < leftoversDelay;
  };

  takeOne();
  EXPECT_EQ(received().samples.size(), small) << "the first buffer after a pause waited";
  auto woken = DispatchClock::now();
  takeOne();
  takeOne();
  if (const std::size_t got = received().samples.size(); timerNotDue(woken)) {
    EXPECT_EQ(got, small) << "less than the interval woke the queue";
  }
  takeOne();  // now more than the interval waits
  EXPECT_EQ(received().samples, counting(0, 4 * small));

  woken = DispatchClock::now();
  takeOne();
  if (const std::size_t got = received().samples.size(); timerNotDue(woken)) {
    EXPECT_EQ(got, 4 * small);
  }
  // No buffer follows: the timer hands it over, soon (a loaded machine may take a while).
  const auto deadline = DispatchClock::now() + std::chrono::seconds(5);
  while (received().samples.size() < 5 * small && DispatchClock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(received().samples, counting(0, 5 * small)) << "the last buffer was left behind";
  // Once handed over that way, the next buffer is the first after a pause.
  takeOne();
  EXPECT_EQ(received().samples, counting(0, 6 * small));
}

TEST_F(CaptureHandOverTest, NothingIsDeliveredOnceItIsGone) {
  auto taker = handOver(16000, 2);
  std::vector<float> memory = counting(0, 8);
  ServerBuffer server(memory, 0, 32);
  std::promise<void> release = holdQueue();
  taker->take(server.buffer);
  std::thread later([&release] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release.set_value();
  });
  taker.reset();
  later.join();
  EXPECT_TRUE(received().samples.empty());
}

}  // namespace
}  // namespace sysaudio::pipewire
