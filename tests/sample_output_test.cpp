#include "sample_output.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include "child_process.h"

namespace sysaudio {
namespace {

using testing::ChildOptions;
using testing::runInChild;
using testing::StreamTarget;

TEST(SampleOutputTest, WritesFourLittleEndianBytesPerSampleInOrder) {
  const auto result = runInChild([] {
    setUpSampleOutput();
    const float one[] = {1.0f};
    writeSamples(one);
    const float more[] = {-2.5f, 0.0f, 0.25f};
    writeSamples(more);
    writeSamples({});
  });
  ASSERT_TRUE(result.bodyReturned());
  EXPECT_EQ(result.out.substr(0, 4), std::string("\x00\x00\x80\x3F", 4));
  EXPECT_EQ(result.out.size(), 16u);
  EXPECT_EQ(testing::samplesOf(result.out), (std::vector<float>{1.0f, -2.5f, 0.0f, 0.25f}));
  EXPECT_EQ(result.err, "");
}

TEST(SampleOutputTest, EveryWriteReachesTheReaderBeforeItReturns) {
  ChildOptions sharedPipe;
  sharedPipe.stderrTarget = StreamTarget::stdoutPipe;
  const auto result = runInChild(
      [] {
        setUpSampleOutput();
        const float one[] = {1.0f};
        writeSamples(one);
        // Unbuffered and therefore immediate: it must come after the sample, not before.
        std::fputs("|", stderr);
        writeSamples({});
        std::fputs("|", stderr);
      },
      sharedPipe);
  EXPECT_EQ(result.out, std::string("\x00\x00\x80\x3F||", 6));
}

TEST(SampleOutputTest, AStandardOutputThatCannotBeWrittenEndsWithStatusZeroAndNoMessage) {
  struct Case {
    const char* name;
    StreamTarget target;
    bool ignoreBrokenPipe;
  };
  const Case cases[] = {
      {"/dev/full", StreamTarget::devFull, false},
      {"closed descriptor", StreamTarget::closed, false},
      {"closed pipe, broken-pipe signal ignored", StreamTarget::closedPipe, true},
  };
  for (const Case& c : cases) {
    ChildOptions options;
    options.stdoutTarget = c.target;
    options.ignoreBrokenPipe = c.ignoreBrokenPipe;
    const auto result = runInChild(
        [] {
          setUpSampleOutput();
          const float samples[] = {1.0f, 2.0f};
          writeSamples(samples);
          std::fputs("written", stderr);
        },
        options);
    EXPECT_EQ(result.exitCode(), 0) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
  }
}

TEST(SampleOutputTest, AClosedPipeWithTheDefaultDispositionEndsByTheSignal) {
  ChildOptions options;
  options.stdoutTarget = StreamTarget::closedPipe;
  const auto result = runInChild(
      [] {
        setUpSampleOutput();
        const float samples[] = {1.0f};
        writeSamples(samples);
      },
      options);
  EXPECT_EQ(result.signal(), SIGPIPE);
}

}  // namespace
}  // namespace sysaudio
