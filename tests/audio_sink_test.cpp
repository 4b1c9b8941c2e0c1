#include "audio_sink.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "fake_clock.h"
#include "scripted_capture_service.h"
#include "status.h"
#include "stdout_capture.h"

namespace sysaudio {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::IdleStream;
using testing::ScriptedSampleBuffer;
using testing::StdoutCapture;

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

// Once "ready" is out, a stop says that the capture stopped; before it, the capture never ran,
// and the line is the one a failed start gives, the user-declined code mapped as for the start.
TEST(AudioSinkStopTest, AStopEndsTheProcessWithTheDescription) {
  const CaptureError gone{"any", 42, "the server went away"};
  const CaptureError declined{std::string(streamErrorDomain), streamErrorUserDeclined, "no"};
  struct Case {
    bool readyFirst;
    CaptureError error;
    std::string err;
  };
  const std::vector<Case> cases = {
      {true, gone, "ready\nerror: capture stopped: the server went away\n"},
      {false, gone, "error: the server went away\n"},
      {false, declined,
       "error: permission denied \xE2\x80\x94 allow Murvane under Screen & System Audio "
       "Recording\n"},
  };
  for (const Case& c : cases) {
    const auto result = testing::runInChild([&c] {
      Settings settings;
      AudioSink sink(settings);
      IdleStream stream;
      if (c.readyFirst) {
        reportReady();
      }
      sink.streamDidStopWithError(stream, c.error);
    });
    EXPECT_EQ(result.exitCode(), 1) << c.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "") << c.err;
  }
}

}  // namespace
}  // namespace sysaudio
