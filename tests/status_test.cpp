#include "status.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

// Standard output's reader gone at the moment an error is reported: the two ends meet, and
// exactly one of them happens, whole: the error line with status 1, or nothing with status 0.
TEST(StatusTest, AnErrorAndAGoneReaderAtOnceEndTheProcessOneWay) {
  ChildOptions goneReader;
  goneReader.stdoutTarget = StreamTarget::devFull;
  int errorEnds = 0;
  int readerEnds = 0;
  for (int run = 0; run < 100; ++run) {
    const auto result = runInChild(
        [] {
          setUpSampleOutput();
          std::atomic<bool> go{false};
          std::thread writer([&go] {
            while (!go.load()) {
            }
            const float sample = 1.0f;
            writeSamples({&sample, 1});
          });
          go.store(true);
          fail("boom");
        },
        goneReader);
    ASSERT_TRUE(result.exited()) << "run " << run << ": ended by signal " << result.signal();
    if (result.exitCode() == 1) {
      EXPECT_EQ(result.err, "error: boom\n") << "run " << run;
      ++errorEnds;
    } else {
      EXPECT_EQ(result.exitCode(), 0) << "run " << run;
      EXPECT_EQ(result.err, "") << "run " << run;
      ++readerEnds;
    }
  }
  EXPECT_EQ(errorEnds + readerEnds, 100);
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

// Each with the status channel as the process finds it, and once it has taken over standard
// error: its own copy of descriptor 2 behaves as the original.
TEST(StatusTest, AnUnwritableStandardErrorStillEndsWithStatusOne) {
  for (const bool takenOver : {false, true}) {
    for (const StreamTarget target :
         {StreamTarget::closed, StreamTarget::devFull, StreamTarget::closedPipe}) {
      ChildOptions options;
      options.stderrTarget = target;
      const auto result = runInChild(
          [takenOver] {
            if (takenOver) {
              takeOverStandardError(nullptr);
            }
            fail("lost");
          },
          options);
      EXPECT_EQ(result.exitCode(), 1) << static_cast<int>(target) << " taken over " << takenOver;
    }
  }
}

TEST(StatusTest, ALostReadyLineDoesNotEndTheProcessEvenWithTheDefaultBrokenPipeSignal) {
  for (const bool takenOver : {false, true}) {
    ChildOptions options;
    options.stderrTarget = StreamTarget::closedPipe;
    options.ignoreBrokenPipe = false;
    const auto result = runInChild(
        [takenOver] {
          if (takenOver) {
            takeOverStandardError(nullptr);
          }
          reportReady();
          std::fputs("after ready", stdout);
          // The broken-pipe signal's disposition is still the inherited default.
          struct sigaction current {};
          sigaction(SIGPIPE, nullptr, &current);
          std::fputs(current.sa_handler == SIG_DFL ? "; default" : "; changed", stdout);
        },
        options);
    EXPECT_TRUE(result.bodyReturned()) << result.signal() << " taken over " << takenOver;
    EXPECT_EQ(result.out, "after ready; default") << "taken over " << takenOver;
  }
}

// Once the channel has taken over, whatever else writes to descriptor 2 (a library's logger,
// through stdio or straight to the descriptor) never reaches the parent, and goes to the log
// file when one is named and can be opened. A log that cannot be opened, or that would block,
// costs nothing but its lines.
TEST(StatusTest, AfterTheTakeOverOnlyStatusLinesReachStandardError) {
  char pattern[] = "/tmp/sysaudio-status-test.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  const std::string fifo = directory + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::optional<std::string> logPath;
    bool logged;
  };
  const std::vector<Case> cases = {
      {"no log", std::nullopt, false},
      {"an empty name", "", false},
      {"a new log file", directory + "/sysaudio.log", true},
      {"a log in a missing directory", directory + "/missing/sysaudio.log", false},
      {"a directory", directory, false},
      {"a FIFO without a reader", fifo, false},
  };
  for (const Case& c : cases) {
    const auto result = runInChild([&c] {
      takeOverStandardError(c.logPath ? c.logPath->c_str() : nullptr);
      std::fputs("through stdio\n", stderr);
      std::fflush(stderr);
      constexpr std::string_view raw = "straight to descriptor 2\n";
      (void)!write(STDERR_FILENO, raw.data(), raw.size());
      reportReady();
      fail("gone");
    });
    EXPECT_EQ(result.exitCode(), 1) << c.name;
    EXPECT_EQ(result.err, "ready\nerror: gone\n") << c.name;
    if (c.logged) {
      std::ifstream log(*c.logPath);
      const std::string logged{std::istreambuf_iterator<char>(log), {}};
      EXPECT_EQ(logged, "through stdio\nstraight to descriptor 2\n") << c.name;
    }
  }
  std::filesystem::remove_all(directory);
}

// A process started without descriptor 2 must not hand that number to the next file it opens,
// whose writes would then be taken for standard error's and its reads for nothing.
TEST(StatusTest, TheTakeOverLeavesNoFreeDescriptorTwo) {
  ChildOptions options;
  options.stderrTarget = StreamTarget::closed;
  const auto result = runInChild(
      [] {
        takeOverStandardError(nullptr);
        const int opened = open("/dev/null", O_RDONLY);
        std::fputs(opened > STDERR_FILENO ? "above two" : "took two", stdout);
        fail("lost");
      },
      options);
  EXPECT_EQ(result.exitCode(), 1);
  EXPECT_EQ(result.out, "above two");
}

TEST(StatusTest, AnErrorEitherSideOfReadySaysWhichSideItCameOn) {
  for (const bool readyFirst : {false, true}) {
    const auto result = runInChild([readyFirst] {
      if (readyFirst) {
        reportReady();
      }
      failBeforeOrAfterReady("did not start", "capture stopped: gone");
    });
    EXPECT_EQ(result.exitCode(), 1);
    EXPECT_EQ(result.err,
              readyFirst ? "ready\nerror: capture stopped: gone\n" : "error: did not start\n");
  }
}

// exit takes a while (it flushes the samples) and the other threads run on meanwhile: whatever
// they report then, nothing follows the first error line. Shown by what runs during the exit.
TEST(StatusTest, NothingFollowsAnErrorLine) {
  struct Case {
    const char* name;
    void (*duringTheExit)();
  };
  const std::vector<Case> cases = {
      {"ready", [] { reportReady(); }},
      {"a second error on another thread",
       [] {
         std::thread([] { fail("second"); }).detach();
         std::this_thread::sleep_for(std::chrono::milliseconds(300));
       }},
  };
  for (const Case& c : cases) {
    const auto result = runInChild([&c] {
      std::atexit(c.duringTheExit);
      fail("first");
    });
    EXPECT_EQ(result.exitCode(), 1) << c.name;
    EXPECT_EQ(result.err, "error: first\n") << c.name;
  }
}

}  // namespace
}  // namespace sysaudio
