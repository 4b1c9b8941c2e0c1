#include "platform/pipewire/frame_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace sysaudio::pipewire {
namespace {

// Frame n holds n * channels + c in channel c, so that any frame out of place, repeated or
// shifted by a channel shows.
std::vector<float> framesFrom(std::size_t first, std::size_t count, std::size_t channels) {
  std::vector<float> samples(count * channels);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(first * channels + i);
  }
  return samples;
}

std::size_t writeFrames(FrameRing& ring, std::size_t first, std::size_t count) {
  const std::vector<float> samples = framesFrom(first, count, ring.channels());
  return ring.write(samples.data(), count);
}

// What the reader gets, in order: frame numbers, and -1 - n for a loss of n frames.
std::vector<long> readAll(FrameRing& ring) {
  std::vector<long> seen;
  for (;;) {
    if (const std::size_t lost = ring.takeLoss(); lost > 0) {
      seen.push_back(-1 - static_cast<long>(lost));
    }
    const std::span<const float> samples = ring.readable();
    if (samples.empty()) {
      return seen;
    }
    EXPECT_EQ(samples.size() % ring.channels(), 0u);
    for (std::size_t i = 0; i < samples.size(); i += ring.channels()) {
      const auto frame = static_cast<long>(samples[i]) / static_cast<long>(ring.channels());
      for (std::size_t c = 0; c < ring.channels(); ++c) {
        EXPECT_EQ(samples[i + c], static_cast<float>(frame * ring.channels() + c));
      }
      seen.push_back(frame);
    }
    ring.consume(samples.size() / ring.channels());
  }
}

std::vector<long> numbers(long first, long last) {
  std::vector<long> all;
  for (long n = first; n <= last; ++n) {
    all.push_back(n);
  }
  return all;
}

struct Shape {
  std::size_t capacity;
  std::size_t channels;
};

class FrameRingShapeTest : public ::testing::TestWithParam<Shape> {};

// Writes and reads of every size, over many passes round the ring: every frame comes out once,
// whole and in order, wherever the ring's end cuts it.
TEST_P(FrameRingShapeTest, FramesComeOutWholeAndInOrderAcrossTheWrap) {
  const auto [capacity, channels] = GetParam();
  FrameRing ring(capacity, channels);
  std::mt19937 random(7);
  std::size_t written = 0;
  std::size_t expected = 0;
  std::size_t cutByTheEnd = 0;
  while (written < capacity * 20 + 3) {
    const std::size_t room = capacity - (written - expected);
    const std::size_t count = std::uniform_int_distribution<std::size_t>(0, room)(random);
    ASSERT_EQ(writeFrames(ring, written, count), count);
    written += count;
    // Read part of what is there, at most to the ring's end.
    const std::span<const float> samples = ring.readable();
    const std::size_t frames = samples.size() / channels;
    cutByTheEnd += frames < written - expected ? 1 : 0;
    const std::size_t take = std::uniform_int_distribution<std::size_t>(0, frames)(random);
    for (std::size_t f = 0; f < take; ++f, ++expected) {
      for (std::size_t c = 0; c < channels; ++c) {
        ASSERT_EQ(samples[f * channels + c], static_cast<float>(expected * channels + c));
      }
    }
    ring.consume(take);
  }
  const std::vector<long> rest = readAll(ring);
  EXPECT_EQ(rest, numbers(static_cast<long>(expected), static_cast<long>(written) - 1));
  EXPECT_EQ(ring.framesLost(), 0u);
  if (capacity > 1) {
    EXPECT_GT(cutByTheEnd, 0u) << "no read was cut short by the ring's end";
  }
}

// Full: what does not fit is lost, not what the ring holds; and it is counted.
TEST_P(FrameRingShapeTest, AFullRingLosesTheNewestFramesAndCountsThem) {
  const auto [capacity, channels] = GetParam();
  FrameRing ring(capacity, channels);
  EXPECT_EQ(writeFrames(ring, 0, capacity + 3), capacity);
  EXPECT_EQ(writeFrames(ring, capacity + 3, 2), 0u);
  EXPECT_EQ(ring.framesLost(), 5u);
  EXPECT_EQ(readAll(ring), numbers(0, static_cast<long>(capacity) - 1));
  // The loss is reported once frames follow it, at its place.
  EXPECT_EQ(writeFrames(ring, 100, 1), 1u);
  EXPECT_EQ(readAll(ring), (std::vector<long>{-6, 100}));
}

INSTANTIATE_TEST_SUITE_P(Shapes, FrameRingShapeTest,
                         ::testing::Values(Shape{1, 1}, Shape{7, 1}, Shape{7, 2}, Shape{64, 6},
                                           Shape{5, 8}),
                         [](const auto& info) {
                           return std::to_string(info.param.capacity) + "Frames" +
                                  std::to_string(info.param.channels) + "Channels";
                         });

// Losses and reads interleaved: each loss is reported exactly where it happened, and while one
// waits for the reader the frames after a second loss stay out until the reader has passed the
// first, so that no loss is ever reported in the wrong place.
TEST(FrameRingTest, EachLossIsReportedAtItsPlaceWithItsSize) {
  FrameRing ring(4, 1);
  EXPECT_EQ(writeFrames(ring, 0, 4), 4u);
  EXPECT_EQ(writeFrames(ring, 4, 1), 0u);  // lost
  ring.consume(1);
  EXPECT_EQ(writeFrames(ring, 5, 1), 1u);  // after the loss of 4
  EXPECT_EQ(writeFrames(ring, 6, 1), 0u);  // full again: lost
  ring.consume(1);
  // Room for one, but the loss of 6 cannot be reported while that of 4 waits: 7 is lost too.
  EXPECT_EQ(writeFrames(ring, 7, 1), 0u);
  EXPECT_EQ(readAll(ring), (std::vector<long>{2, 3, -2, 5}));
  EXPECT_EQ(writeFrames(ring, 8, 2), 2u);
  EXPECT_EQ(readAll(ring), (std::vector<long>{-3, 8, 9}));
  EXPECT_EQ(ring.framesLost(), 3u);
}

TEST(FrameRingTest, NothingIsReadableOrLostInAnEmptyRing) {
  FrameRing ring(16, 2);
  EXPECT_TRUE(ring.readable().empty());
  EXPECT_EQ(ring.takeLoss(), 0u);
  EXPECT_EQ(ring.write(nullptr, 0), 0u);
  EXPECT_EQ(ring.framesLost(), 0u);
}

// A writer and a reader on two threads, the reader at times far too slow: every frame written
// either comes out in order or is accounted for by a loss reported at its place.
class FrameRingThreadsTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FrameRingThreadsTest, EveryFrameArrivesInOrderOrIsReportedLost) {
  const std::size_t channels = GetParam();
  constexpr std::size_t total = 400000;
  FrameRing ring(1000, channels);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::mt19937 random(11);
    const std::vector<float> samples = framesFrom(0, total, channels);
    for (std::size_t next = 0; next < total;) {
      const std::size_t count =
          std::min(total - next, std::uniform_int_distribution<std::size_t>(1, 300)(random));
      ring.write(samples.data() + next * channels, count);
      next += count;
      if (count % 7 == 0) {
        std::this_thread::yield();
      }
    }
    done = true;
  });

  std::mt19937 random(13);
  std::size_t expected = 0;
  std::size_t lostSeen = 0;
  bool wrong = false;
  for (;;) {
    // Read before looking: once the writer is done, an empty ring stays empty.
    const bool writerDone = done.load();
    const std::size_t lost = ring.takeLoss();
    expected += lost;
    lostSeen += lost;
    const std::span<const float> samples = ring.readable();
    if (samples.empty()) {
      if (writerDone && lost == 0) {
        break;
      }
      continue;
    }
    const std::size_t frames = samples.size() / channels;
    for (std::size_t f = 0; f < frames && !wrong; ++f, ++expected) {
      for (std::size_t c = 0; c < channels; ++c) {
        wrong = wrong || samples[f * channels + c] != static_cast<float>(expected * channels + c);
      }
    }
    ASSERT_FALSE(wrong) << "frame " << expected << " out of place";
    ring.consume(frames);
    // Now and then a slow reader, so that the ring fills and frames are lost.
    if (std::uniform_int_distribution<int>(0, 50)(random) == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }
  writer.join();
  // A loss after the last frames read is never reported, having no frames after it.
  EXPECT_EQ(expected + (ring.framesLost() - lostSeen), total);
  EXPECT_GT(ring.framesLost(), 0u) << "the reader never fell behind; nothing was tested";
}

INSTANTIATE_TEST_SUITE_P(Channels, FrameRingThreadsTest, ::testing::Values(1, 2, 6),
                         [](const auto& info) { return std::to_string(info.param) + "Channels"; });

}  // namespace
}  // namespace sysaudio::pipewire
