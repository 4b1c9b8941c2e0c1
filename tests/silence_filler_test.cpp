#include "silence_filler.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_sink.h"
#include "child_process.h"
#include "fake_clock.h"
#include "scripted_capture_service.h"
#include "stdout_capture.h"

namespace sysaudio {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::IdleStream;
using testing::ScriptedSampleBuffer;
using testing::StdoutCapture;

Settings settingsForRate(std::int64_t rate) {
  Settings settings;
  settings.sampleRate = rate;
  settings.silenceChunk = rate / 20;
  return settings;
}

// Ticks driven by hand against a clock that moves only when told, so that every due and
// not-due decision is exact.
class SilenceCadenceTest : public ::testing::Test {
 protected:
  explicit SilenceCadenceTest(Settings s = settingsForRate(16000))
      : settings(s), sink(settings, clock.clock()) {}

  // How many samples one tick wrote, after the clock moved by the given time.
  std::size_t tickAfter(std::chrono::nanoseconds wait) {
    clock.advance(wait);
    sink.queue.sync([&] { sink.fillSilence(); });
    const std::string bytes = output.take();
    for (const char byte : bytes) {
      EXPECT_EQ(byte, 0);
    }
    return bytes.size() / 4;
  }
  void audioAfter(std::chrono::nanoseconds wait) {
    clock.advance(wait);
    ScriptedSampleBuffer buffer;
    buffer.add({0.5f}, 1);
    sink.queue.sync(
        [&] { sink.streamDidOutputSampleBuffer(stream, buffer, StreamOutputType::audio); });
    EXPECT_EQ(output.take().size(), 4u);
  }

  FakeClock clock;
  Settings settings;
  AudioSink sink;
  IdleStream stream;
  StdoutCapture output;
};

TEST_F(SilenceCadenceTest, ABlockIsDueOnceSilenceAfterHasPassedExactly) {
  EXPECT_EQ(tickAfter(199'999'999ns), 0u);
  EXPECT_EQ(tickAfter(1ns), 800u);
}

TEST_F(SilenceCadenceTest, BlocksFollowEveryTickOrEveryOtherTickWhileTheSilenceLasts) {
  EXPECT_EQ(tickAfter(250ms), 800u);
  // The block left the stamp 150 ms back: a tick 50 ms on is due, one a moment sooner is not.
  EXPECT_EQ(tickAfter(49ms), 0u);
  EXPECT_EQ(tickAfter(1ms), 800u);
  EXPECT_EQ(tickAfter(50ms), 800u);
  EXPECT_EQ(tickAfter(100ms), 800u);
}

TEST_F(SilenceCadenceTest, AudioEveryTenthOfASecondKeepsTheSilenceAway) {
  for (int i = 0; i < 20; ++i) {
    audioAfter(50ms);
    EXPECT_EQ(tickAfter(25ms), 0u);
    EXPECT_EQ(tickAfter(25ms), 0u);
  }
}

TEST_F(SilenceCadenceTest, AudioEveryHalfSecondLeavesGapsThatSilenceFills) {
  for (int gap = 0; gap < 3; ++gap) {
    audioAfter(0ms);
    std::vector<std::size_t> ticks;
    for (int t = 0; t < 10; ++t) {
      ticks.push_back(tickAfter(50ms));
    }
    // The first block comes 0.2 s after the audio, then one block per tick.
    EXPECT_EQ(ticks, (std::vector<std::size_t>{0, 0, 0, 800, 800, 800, 800, 800, 800, 800}));
  }
}

class SilenceChunkTest : public ::testing::TestWithParam<std::pair<std::int64_t, std::size_t>> {};

TEST_P(SilenceChunkTest, ADueTickWritesOneChunkOfZerosOrNothingWhenItIsNotPositive) {
  const auto [rate, expected] = GetParam();
  FakeClock clock;
  const Settings settings = settingsForRate(rate);
  AudioSink sink(settings, clock.clock());
  StdoutCapture output;
  for (int i = 0; i < 3; ++i) {
    clock.advance(300ms);
    sink.queue.sync([&] { sink.fillSilence(); });
    const std::string bytes = output.take();
    EXPECT_EQ(bytes.size(), expected * 4) << "rate " << rate;
    EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, SilenceChunkTest,
                         ::testing::Values(std::pair<std::int64_t, std::size_t>{16000, 800},
                                           std::pair<std::int64_t, std::size_t>{20, 1},
                                           std::pair<std::int64_t, std::size_t>{19, 0},
                                           std::pair<std::int64_t, std::size_t>{0, 0},
                                           std::pair<std::int64_t, std::size_t>{-20, 0},
                                           std::pair<std::int64_t, std::size_t>{-16000, 0},
                                           // Larger than standard output's buffer.
                                           std::pair<std::int64_t, std::size_t>{700001, 35000}));

TEST(SilenceFillerTest, AHugeChunkNeverMakesTheSinkAllocateWithoutBound) {
  EXPECT_EQ(silenceBlockStorage(INT64_MAX / 20), 16384u);
  EXPECT_EQ(silenceBlockStorage(INT64_MIN / 20), 0u);
  EXPECT_EQ(silenceBlockStorage(800), 800u);
}

// The real timer against the real clock: blocks of 800 zeros about 50 or 100 ms apart, never
// more than one per tick. The bounds leave room for a loaded two-core machine.
TEST(SilenceFillerTest, TheRunningTimerWritesBlocksEveryFiftyOrHundredMilliseconds) {
  const auto result = ::sysaudio::testing::runInChild([] {
    const Settings settings = settingsForRate(16000);
    auto start = DispatchClock::now();
    {
      AudioSink sink(settings);
      // The sink was made long enough ago for the first tick to be due.
      std::this_thread::sleep_for(250ms);
      start = DispatchClock::now();
      sink.startSilenceFiller();
      std::this_thread::sleep_for(1025ms);
    }
    // The sink is gone and its timer with it: nothing more is written.
    const auto ticks = (DispatchClock::now() - start) / silenceTickInterval;
    std::fflush(stdout);
    std::fprintf(stderr, "%lld", static_cast<long long>(ticks));
    _exit(0);
  });
  ASSERT_EQ(result.exitCode(), 0);
  EXPECT_EQ(result.out.size() % 3200, 0u);
  EXPECT_EQ(result.out.find_first_not_of('\0'), std::string::npos);
  const std::size_t blocks = result.out.size() / 3200;
  const auto ticks = std::stoul(result.err);
  // Every tick or every other tick when each is on time; never more than the ticks that were due.
  EXPECT_GE(blocks, 5u);
  EXPECT_LE(blocks, ticks);
}

TEST(SilenceFillerTest, TheRunningTimerStaysQuietWhileAudioArrivesEveryTenthOfASecond) {
  const auto result = ::sysaudio::testing::runInChild([] {
    const Settings settings = settingsForRate(16000);
    auto sink = std::make_unique<AudioSink>(settings);
    IdleStream stream;
    ScriptedSampleBuffer buffer;
    buffer.add(std::vector<float>(1600, 0.5f), 1);
    sink->startSilenceFiller();
    // Measured where the buffers land, on the queue: that is the cadence the filler sees.
    auto longestGap = DispatchClock::duration::zero();
    auto last = DispatchClock::now();
    const auto deliver = [&] {
      sink->streamDidOutputSampleBuffer(stream, buffer, StreamOutputType::audio);
      const auto now = DispatchClock::now();
      longestGap = std::max(longestGap, now - last);
      last = now;
    };
    auto next = DispatchClock::now();
    for (int i = 0; i < 15; ++i) {
      sink->queue.async(deliver);
      if (i < 14) {
        next += 100ms;
        std::this_thread::sleep_until(next);
      }
    }
    // Gone right after the last buffer, timer and all: the window closes with the audio.
    sink->queue.sync([] {});
    sink.reset();
    std::fflush(stdout);
    // A machine too loaded to keep a 0.1 s cadence cannot tell us anything.
    _exit(longestGap < 160ms ? 0 : 3);
  });
  if (result.exitCode() == 3) {
    GTEST_SKIP() << "the machine could not keep a 0.1 s cadence";
  }
  ASSERT_EQ(result.exitCode(), 0);
  const std::vector<float> samples = ::sysaudio::testing::samplesOf(result.out);
  EXPECT_EQ(samples, std::vector<float>(15 * 1600, 0.5f));
}

}  // namespace
}  // namespace sysaudio
