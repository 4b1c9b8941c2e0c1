#include "status.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "child_process.h"
#include "sample_output.h"

namespace sysaudio {
namespace {

using testing::ChildOptions;
using testing::runInChild;
using testing::StreamTarget;

TEST(StatusTest, ErrorLinesAreExactBytesAndEndWithStatusOne) {
  struct Case {
    std::string message;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"no display found", "error: no display found\n"},
      {"", "error: \n"},
      {"two\nlines", "error: two\nlines\n"},
      {"caf\xC3\xA9 \xE2\x80\x94 ok", "error: caf\xC3\xA9 \xE2\x80\x94 ok\n"},
  };
  for (const Case& c : cases) {
    const auto result = runInChild([&] { fail(c.message); });
    EXPECT_EQ(result.exitCode(), 1) << c.message;
    EXPECT_EQ(result.err, c.line) << c.message;
    EXPECT_EQ(result.out, "") << c.message;
  }
  EXPECT_EQ(runInChild([] { fail("no display found"); }).err.size(), 24u);
}

TEST(StatusTest, ReadyLineIsSixBytesAndTheProcessGoesOn) {
  const auto result = runInChild([] {
    reportReady();
    std::fputs("still running", stdout);
  });
  EXPECT_TRUE(result.bodyReturned());
  EXPECT_EQ(result.err, "ready\n");
  EXPECT_EQ(result.out, "still running");
}

TEST(StatusTest, ErrorLineLeavesBeforeSamplesStillInStandardOutputsBuffer) {
  ChildOptions sharedPipe;
  sharedPipe.stderrTarget = StreamTarget::stdoutPipe;
  const auto result = runInChild(
      [] {
        setUpSampleOutput();
        const float samples[] = {1.0f, 2.0f};
        std::fwrite(samples, sizeof(float), 2, stdout);
        fail("boom");
      },
      sharedPipe);
  EXPECT_EQ(result.exitCode(), 1);
  // The line went out at once; the samples only with the exit's flush.
  EXPECT_EQ(result.out, "error: boom\n" + testing::bytesOf({1.0f, 2.0f}));
}

TEST(StatusTest, AnUnwritableStandardErrorStillEndsWithStatusOne) {
  for (const StreamTarget target :
       {StreamTarget::closed, StreamTarget::devFull, StreamTarget::closedPipe}) {
    ChildOptions options;
    options.stderrTarget = target;
    const auto result = runInChild([] { fail("lost"); }, options);
    EXPECT_EQ(result.exitCode(), 1) << static_cast<int>(target);
  }
}

TEST(StatusTest, ALostReadyLineDoesNotEndTheProcessEvenWithTheDefaultBrokenPipeSignal) {
  ChildOptions options;
  options.stderrTarget = StreamTarget::closedPipe;
  options.ignoreBrokenPipe = false;
  const auto result = runInChild(
      [] {
        reportReady();
        std::fputs("after ready", stdout);
        // The broken-pipe signal's disposition is still the inherited default.
        struct sigaction current {};
        sigaction(SIGPIPE, nullptr, &current);
        std::fputs(current.sa_handler == SIG_DFL ? "; default" : "; changed", stdout);
      },
      options);
  EXPECT_TRUE(result.bodyReturned()) << result.signal();
  EXPECT_EQ(result.out, "after ready; default");
}

}  // namespace
}  // namespace sysaudio
