#include "audio_sink.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "child_process.h"
#include "fake_clock.h"
#include "scripted_capture_service.h"
#include "stdout_capture.h"

namespace sysaudio {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::ScriptedSampleBuffer;
using testing::StdoutCapture;

struct BufferSpec {
  BufferSpec(std::optional<std::vector<float>> samples, std::uint32_t channels,
             std::optional<std::uint32_t> byteSize = std::nullopt)
      : samples(std::move(samples)), channels(channels), byteSize(byteSize) {}

  std::optional<std::vector<float>> samples;  // no value: a buffer without data
  std::uint32_t channels;
  std::optional<std::uint32_t> byteSize;  // no value: the samples' own size
};

std::vector<AudioBuffer> listOf(const std::vector<BufferSpec>& specs) {
  std::vector<AudioBuffer> list;
  for (const BufferSpec& spec : specs) {
    const auto size = spec.byteSize.value_or(
        spec.samples ? static_cast<std::uint32_t>(spec.samples->size() * 4) : 0);
    list.push_back({spec.channels, size, spec.samples ? spec.samples->data() : nullptr});
  }
  return list;
}

std::vector<std::uint32_t> bitsOf(const float* samples, std::size_t count) {
  std::vector<std::uint32_t> bits;
  for (std::size_t i = 0; i < count; ++i) {
    bits.push_back(std::bit_cast<std::uint32_t>(samples[i]));
  }
  return bits;
}

std::vector<std::uint32_t> bitsOf(const std::vector<float>& samples) {
  return bitsOf(samples.data(), samples.size());
}

TEST(DownmixTest, AveragesChannelsToTheExactBits) {
  struct Case {
    const char* name;
    std::vector<BufferSpec> buffers;
    std::optional<std::vector<float>> mono;  // no value: the list is dropped
  };
  const float third = std::bit_cast<float>(0x3FD55556u);
  const std::vector<Case> cases = {
      {"mono passes through, -0.0 becomes +0.0",
       {{std::vector<float>{1.0f, -0.0f, 3.5f, -7.25f}, 1}},
       std::vector<float>{1.0f, 0.0f, 3.5f, -7.25f}},
      {"channel count 0 counts as one",
       {{std::vector<float>{1.0f, 2.0f}, 0}},
       std::vector<float>{1.0f, 2.0f}},
      {"interleaved stereo",
       {{std::vector<float>{1.0f, 3.0f, 5.0f, 8.0f}, 2}},
       std::vector<float>{2.0f, 6.5f}},
      {"interleaved six channels",
       {{std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}, 6}},
       std::vector<float>{3.5f}},
      {"interleaved 2, 2, 1 divides the sum by three",
       {{std::vector<float>{2.0f, 2.0f, 1.0f}, 3}},
       std::vector<float>{std::bit_cast<float>(0x3FD55555u)}},
      {"separate 2, 2, 1 multiplies the sum by a third",
       {{std::vector<float>{2.0f}, 1},
        {std::vector<float>{2.0f}, 1},
        {std::vector<float>{1.0f}, 1}},
       std::vector<float>{third}},
      {"12 bytes of stereo make one frame",
       {{std::vector<float>{1.0f, 3.0f, 100.0f}, 2}},
       std::vector<float>{2.0f}},
      {"10 bytes of mono make two frames",
       {{std::vector<float>{1.0f, 2.0f, 3.0f}, 1, 10u}},
       std::vector<float>{1.0f, 2.0f}},
      {"fewer bytes than one frame make no frames",
       {{std::vector<float>{1.0f}, 2}},
       std::vector<float>{}},
      {"a separate buffer without data still counts in the scale",
       {{std::vector<float>{4.0f, 6.0f}, 1}, {std::nullopt, 1, 8u}},
       std::vector<float>{2.0f, 3.0f}},
      {"separate buffers read only the first buffer's frame count",
       {{std::vector<float>{1.0f, 2.0f}, 1}, {std::vector<float>{3.0f, 4.0f, 5.0f, 6.0f}, 1}},
       std::vector<float>{2.0f, 3.0f}},
      {"a later buffer shorter than the first adds only what it holds",
       {{std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f}, 1}, {std::vector<float>{3.0f, 3.0f}, 1}},
       std::vector<float>{2.0f, 2.0f, 0.5f, 0.5f}},
      {"a later buffer's byte size is what counts, not its storage",
       {{std::vector<float>{1.0f, 1.0f, 1.0f}, 1}, {std::vector<float>{3.0f, 3.0f, 3.0f}, 1, 6u}},
       std::vector<float>{2.0f, 0.5f, 0.5f}},
      {"the first buffer's channel count sets the frames of separate buffers",
       {{std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f}, 2}, {std::vector<float>{3.0f, 3.0f}, 1}},
       std::vector<float>{2.0f, 2.0f}},
      {"no buffers", {}, std::nullopt},
      {"a first buffer without data drops the list even when others have data",
       {{std::nullopt, 1, 8u}, {std::vector<float>{1.0f, 2.0f}, 1}},
       std::nullopt},
  };
  for (const Case& c : cases) {
    const std::vector<AudioBuffer> list = listOf(c.buffers);
    std::vector<float> mono;
    const std::optional<std::size_t> frames = downmixToMono(list, mono);
    if (!c.mono) {
      EXPECT_EQ(frames, std::nullopt) << c.name;
      continue;
    }
    ASSERT_TRUE(frames.has_value()) << c.name;
    ASSERT_EQ(*frames, c.mono->size()) << c.name;
    EXPECT_EQ(bitsOf(mono.data(), *frames), bitsOf(*c.mono)) << c.name;
  }
}

TEST(DownmixTest, TheScratchGrowsToTheLargestListAndNeverShrinks) {
  std::vector<float> mono;
  const std::vector<float> large(2048, 1.0f);
  const std::vector<float> small(1024, 2.0f);
  ASSERT_EQ(downmixToMono(listOf({{large, 2}}), mono), 1024u);
  EXPECT_EQ(mono.size(), 1024u);
  ASSERT_EQ(downmixToMono(listOf({{small, 2}}), mono), 512u);
  EXPECT_EQ(mono.size(), 1024u);
  EXPECT_EQ(mono[511], 2.0f);
  EXPECT_EQ(mono[512], 1.0f);  // stale, and never written out
}

// A stream that the sink is handed along with its buffers; the sink never looks at it.
class IdleStream final : public Stream {
 public:
  bool addStreamOutput(StreamOutput&, StreamOutputType, SerialQueue&,
                       std::optional<CaptureError>&) override {
    return true;
  }
  void startCapture(StartCompletion completion) override { completion(std::nullopt); }
};

class AudioSinkTest : public ::testing::Test {
 protected:
  void deliver(const SampleBuffer& buffer, StreamOutputType type = StreamOutputType::audio) {
    sink.queue.sync([&] { sink.streamDidOutputSampleBuffer(stream, buffer, type); });
  }
  void tick() {
    sink.queue.sync([&] { sink.fillSilence(); });
  }

  FakeClock clock;
  Settings settings;
  AudioSink sink{settings, clock.clock()};
  IdleStream stream;
  StdoutCapture output;
};

TEST_F(AudioSinkTest, WritesTheMixedFramesOfEachAudioBuffer) {
  ScriptedSampleBuffer stereo;
  stereo.add({1.0f, 3.0f, -1.0f, -3.0f}, 2);
  deliver(stereo);
  EXPECT_EQ(testing::samplesOf(output.take()), (std::vector<float>{2.0f, -2.0f}));
}

TEST_F(AudioSinkTest, WritesOnlyTheCurrentListsFramesAfterALargerOne) {
  ScriptedSampleBuffer large;
  large.add(std::vector<float>(1024, 0.5f), 1);
  ScriptedSampleBuffer small;
  small.add(std::vector<float>(512, 0.25f), 1);
  deliver(large);
  EXPECT_EQ(output.take().size(), 4096u);
  deliver(small);
  EXPECT_EQ(testing::samplesOf(output.take()), std::vector<float>(512, 0.25f));
}

TEST_F(AudioSinkTest, UnusableBuffersWriteNothingAndLeaveTheSilenceDue) {
  auto usable = [] {
    auto buffer = std::make_unique<ScriptedSampleBuffer>();
    buffer->add({1.0f, 2.0f}, 1);
    return buffer;
  };
  struct Case {
    const char* name;
    std::unique_ptr<ScriptedSampleBuffer> buffer;
    StreamOutputType type;
  };
  std::vector<Case> cases;
  cases.push_back({"screen output", usable(), StreamOutputType::screen});
  cases.push_back({"unknown output type", usable(), static_cast<StreamOutputType>(7)});
  cases.push_back({"invalid buffer", usable(), StreamOutputType::audio});
  cases.back().buffer->valid = false;
  cases.push_back({"list error", usable(), StreamOutputType::audio});
  cases.back().buffer->listError = CaptureError{"test", 1, "no list"};
  cases.push_back(
      {"no buffers", std::make_unique<ScriptedSampleBuffer>(), StreamOutputType::audio});
  cases.push_back({"first buffer without data", std::make_unique<ScriptedSampleBuffer>(),
                   StreamOutputType::audio});
  cases.back().buffer->addWithoutData(1, 8).add({1.0f, 2.0f}, 1);

  for (Case& c : cases) {
    clock.advance(300ms);
    deliver(*c.buffer, c.type);
    EXPECT_EQ(output.take(), "") << c.name;
    // The stamp did not move, so the next tick finds the silence overdue.
    tick();
    EXPECT_EQ(output.take().size(), 800u * 4) << c.name;
  }
}

TEST_F(AudioSinkTest, AListWithNoWholeFrameWritesNothingButHoldsTheSilenceOff) {
  ScriptedSampleBuffer partial;
  partial.add({1.0f}, 2);
  clock.advance(300ms);
  deliver(partial);
  tick();
  EXPECT_EQ(output.take(), "");
  clock.advance(199ms);
  tick();
  EXPECT_EQ(output.take(), "");
  clock.advance(1ms);
  tick();
  EXPECT_EQ(output.take().size(), 800u * 4);
}

TEST(AudioSinkStopTest, AStopEndsTheProcessWithTheDescription) {
  const auto result = testing::runInChild([] {
    Settings settings;
    AudioSink sink(settings);
    IdleStream stream;
    sink.streamDidStopWithError(stream, CaptureError{"any", 42, "the server went away"});
  });
  EXPECT_EQ(result.exitCode(), 1);
  EXPECT_EQ(result.err, "error: capture stopped: the server went away\n");
  EXPECT_EQ(result.out, "");
}

}  // namespace
}  // namespace sysaudio
