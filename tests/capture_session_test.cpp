#include "capture_session.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "scripted_capture_service.h"

namespace sysaudio {
namespace {

using namespace std::chrono_literals;
using testing::CaptureScript;
using testing::ChildResult;
using testing::ScriptedCaptureService;

using AfterSession =
    std::function<void(ScriptedCaptureService&, AudioSink&, std::unique_ptr<Stream>&)>;

// Runs the session in a child process. The service records its calls on standard error, where
// the status lines go too, so the transcript shows both in the order they happened.
ChildResult runSession(const CaptureScript& script, std::int64_t sampleRate = 16000,
                       const AfterSession& after = {}, const testing::ChildOptions& options = {}) {
  return testing::runInChild(
      [&] {
        ScriptedCaptureService service(script, STDERR_FILENO);
        Settings settings;
        settings.sampleRate = sampleRate;
        settings.silenceChunk = sampleRate / 20;
        AudioSink sink(settings);
        std::unique_ptr<Stream> activeStream;
        runCaptureSession(service, settings, sink, activeStream);
        service.record("session returned");
        if (after) {
          after(service, sink, activeStream);
        }
      },
      options);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

const std::vector<std::string> requestAndConfigure = {
    "getShareableContent(false, true)",
    "content completes",
    "makeStreamConfiguration",
    "setCapturesAudio(true)",
    "setExcludesCurrentProcessAudio(true)",
    "setSampleRate(16000)",
    "setChannelCount(1)",
    "setWidth(2)",
    "setHeight(2)",
    "setMinimumFrameInterval(1/1)",
    "makeStream(display 1, excluding [])",
};

std::vector<std::string> transcript(std::vector<std::string> head,
                                    const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(CaptureSessionTest, SetsUpInOrderAndReportsReadyOnlyOnceTheCaptureRuns) {
  CaptureScript script;
  script.displays = {{7, "first"}, {8, "second"}};
  // Late and from another thread, as a real start would complete.
  script.beforeStartCompletes = [] { std::this_thread::sleep_for(100ms); };
  const auto result = runSession(script, 16000, [](auto& service, auto&, auto& activeStream) {
    std::fputs(activeStream.get() == service.lastStream() ? "kept" : "lost", stderr);
    std::fputs("\n", stderr);
    // The filler runs: the sink, made before the session began, has long been silent.
    std::this_thread::sleep_for(400ms);
  });
  EXPECT_TRUE(result.bodyReturned());
  std::vector<std::string> expected = requestAndConfigure;
  expected.back() = "makeStream(display 7, excluding [])";
  EXPECT_EQ(linesOf(result.err),
            transcript(expected,
                       {"addStreamOutput(audio, murvane.sysaudio, slot absent)",
                        "addStreamOutput(screen, murvane.sysaudio, slot absent)", "startCapture",
                        "start completes", "ready", "session returned", "kept"}));
  EXPECT_GE(result.out.size(), 800u * 4);
  EXPECT_EQ(result.out.find_first_not_of('\0'), std::string::npos);
}

// A start that takes longer than the silence the filler waits for: still nothing but the status
// line comes first. Standard error shares standard output's pipe here, so the bytes show the
// order the reader meets them in.
TEST(CaptureSessionTest, NothingReachesStandardOutputBeforeReady) {
  CaptureScript script;
  script.beforeStartCompletes = [] { std::this_thread::sleep_for(600ms); };
  testing::ChildOptions options;
  options.stderrTarget = testing::StreamTarget::stdoutPipe;
  const auto result = runSession(
      script, 16000, [](auto&, auto&, auto&) { std::this_thread::sleep_for(400ms); }, options);
  EXPECT_TRUE(result.bodyReturned());
  const std::size_t ready = result.out.find("ready\n");
  ASSERT_NE(ready, std::string::npos);
  EXPECT_EQ(
      std::count(result.out.begin(), result.out.begin() + static_cast<std::ptrdiff_t>(ready), '\0'),
      0)
      << "zero bytes before ready";
  // The filler does run once the capture does.
  EXPECT_GE(
      std::count(result.out.begin() + static_cast<std::ptrdiff_t>(ready), result.out.end(), '\0'),
      800 * 4);
}

TEST(CaptureSessionTest, ExcludesEveryApplicationOfTheParentInTheServicesOrder) {
  const pid_t parent = getpid();  // the child's parent is this test process
  CaptureScript script;
  script.applications = {{parent, "parent"},
                         {parent + 100000, "stranger"},
                         {parent, "parent helper"},
                         {0, "no process"}};
  const auto result = runSession(script);
  EXPECT_TRUE(result.bodyReturned());
  const std::string expected = "makeStream(display 1, excluding [parent:" + std::to_string(parent) +
                               ", parent helper:" + std::to_string(parent) + "])";
  EXPECT_NE(result.err.find(expected + "\n"), std::string::npos) << result.err;
}

TEST(CaptureSessionTest, PassesTheSampleRateUnchanged) {
  for (const std::int64_t rate : {std::int64_t{0}, std::int64_t{-5}, INT64_MAX, INT64_MIN}) {
    const auto result = runSession(CaptureScript{}, rate);
    EXPECT_NE(result.err.find("\nsetSampleRate(" + std::to_string(rate) + ")\n"), std::string::npos)
        << rate;
  }
}

// The process that adopts the orphaned descendants of the calling one: itself where the system
// allows that, else process 1.
pid_t adoptOrphans() {
#if defined(__linux__)
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  return getpid();
#else
  return 1;
#endif
}

// The parent is read when the content has arrived: a process adopted while the request was
// under way excludes its new parent, not the one that started it. The first parent stays until
// the request is under way, so that a parent read any sooner is always the first one.
TEST(CaptureSessionTest, ReadsTheParentOnlyAfterTheContentArrives) {
  const auto result = testing::runInChild([] {
    const pid_t adopter = adoptOrphans();
    int requested[2];
    if (pipe(requested) != 0) {
      std::abort();
    }
    const pid_t firstParent = fork();
    if (firstParent == 0) {
      const pid_t original = getpid();
      if (fork() == 0) {
        close(requested[0]);
        CaptureScript script;
        script.applications = {{original, "first parent"}, {adopter, "adopting parent"}};
        script.beforeContentCompletes = [original, requestedFd = requested[1]] {
          const char byte = 1;
          (void)!write(requestedFd, &byte, 1);
          for (int i = 0; i < 5000 && getppid() == original; ++i) {
            std::this_thread::sleep_for(1ms);
          }
        };
        ScriptedCaptureService service(script, STDERR_FILENO);
        Settings settings;
        AudioSink sink(settings);
        std::unique_ptr<Stream> activeStream;
        runCaptureSession(service, settings, sink, activeStream);
        _exit(0);
      }
      close(requested[1]);
      // Also ends when the grandchild ended before asking: no write end is left.
      char byte = 0;
      (void)!read(requested[0], &byte, 1);
      _exit(0);
    }
    close(requested[0]);
    close(requested[1]);
    waitpid(firstParent, nullptr, 0);
    int status = 0;
    while (wait(&status) > 0) {
    }
  });
  EXPECT_NE(result.err.find("excluding [adopting parent:"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("first parent:"), std::string::npos) << result.err;
}

TEST(CaptureSessionTest, EachFailureEndsWithItsMessageAndGoesNoFurther) {
  const CaptureError other{"org.example", 5, "the service broke"};
  const CaptureError declined{std::string(streamErrorDomain), streamErrorUserDeclined, "declined"};
  const std::string permission =
      "permission denied \xE2\x80\x94 allow Murvane under Screen & System Audio Recording";
  const std::vector<std::string> content = {"getShareableContent(false, true)",
                                            "content completes"};
  const std::vector<std::string> registered = {
      "addStreamOutput(audio, murvane.sysaudio, slot absent)",
      "addStreamOutput(screen, murvane.sysaudio, slot absent)"};

  struct Case {
    const char* name;
    std::function<void(CaptureScript&)> change;
    std::vector<std::string> transcript;
  };
  const std::vector<Case> cases = {
      {"content error",
       [&](auto& s) {
         s.contentAbsent = true;
         s.contentError = other;
       },
       transcript(content, {"error: the service broke"})},
      {"content and error together: the error wins", [&](auto& s) { s.contentError = other; },
       transcript(content, {"error: the service broke"})},
      {"neither content nor error", [](auto& s) { s.contentAbsent = true; },
       transcript(content, {"error: the capture service returned no shareable content"})},
      {"no display", [](auto& s) { s.displays.clear(); },
       transcript(content, {"error: no display found"})},
      {"declined capture", [&](auto& s) { s.contentError = declined; },
       transcript(content, {"error: " + permission})},
      {"the declined code in another domain",
       [](auto& s) {
         s.contentError = CaptureError{"org.example", -3801, "other declined"};
       },
       transcript(content, {"error: other declined"})},
      {"another code in the stream domain",
       [](auto& s) {
         s.contentError = CaptureError{std::string(streamErrorDomain), -3802, "not -3801"};
       },
       transcript(content, {"error: not -3801"})},
      {"audio output refused",
       [&](auto& s) {
         s.audioRegistration = {true, declined};
       },
       transcript(requestAndConfigure, {"addStreamOutput(audio, murvane.sysaudio, slot absent)",
                                        "error: " + permission})},
      {"audio output refused without an error",
       [](auto& s) {
         s.audioRegistration = {true, std::nullopt};
       },
       transcript(requestAndConfigure, {"addStreamOutput(audio, murvane.sysaudio, slot absent)",
                                        "error: the capture service refused the stream output"})},
      {"screen output refused",
       [&](auto& s) {
         s.screenRegistration = {true, other};
       },
       transcript(requestAndConfigure, {registered[0], registered[1], "error: the service broke"})},
      {"start refused", [&](auto& s) { s.startError = declined; },
       transcript(requestAndConfigure, {registered[0], registered[1], "startCapture",
                                        "start completes", "error: " + permission})},
  };
  for (const Case& c : cases) {
    CaptureScript script;
    c.change(script);
    const auto result = runSession(script);
    EXPECT_EQ(result.exitCode(), 1) << c.name;
    EXPECT_EQ(linesOf(result.err), c.transcript) << c.name;
    EXPECT_EQ(result.err.back(), '\n') << c.name;
    EXPECT_EQ(result.out, "") << c.name;
  }
}

// The status lines alone: "ready" and the error lines, in the order written.
std::vector<std::string> statusLinesOf(const std::string& transcript) {
  std::vector<std::string> lines;
  for (const std::string& line : linesOf(transcript)) {
    if (line == "ready" || line.starts_with("error: ")) {
      lines.push_back(line);
    }
  }
  return lines;
}

// A stream may report its stop at any moment around the start, on the service's own thread: the
// process still ends with one outcome. A stop before "ready" is the start's failure, with the
// start's message; after a failed start, the start's error alone; after "ready", one "capture
// stopped" line. Where the stop races the session's "ready", either order is right, but never a
// line after the error line.
TEST(CaptureSessionTest, AStopAroundTheStartEndsWithOneOutcome) {
  const CaptureError other{"org.example", 5, "the service broke"};
  const CaptureError lost{"org.example", 6, "the connection went"};
  const CaptureError declined{std::string(streamErrorDomain), streamErrorUserDeclined, "declined"};
  const std::string permission =
      "permission denied \xE2\x80\x94 allow Murvane under Screen & System Audio Recording";
  using Lines = std::vector<std::string>;

  struct Case {
    const char* name;
    std::function<void(CaptureScript&)> change;
    AfterSession after;
    std::vector<Lines> outcomes;  // any one of them
  };
  const std::vector<Case> cases = {
      {"stop before the start completes",
       [&](auto& s) { s.stopBeforeStartCompletes = lost; },
       {},
       {{"error: the connection went"}}},
      {"stop before the start completes, mapped as a start error",
       [&](auto& s) { s.stopBeforeStartCompletes = declined; },
       {},
       {{"error: " + permission}}},
      {"start fails, then the stream stops",
       [&](auto& s) {
         s.startError = other;
         s.stopAfterStartCompletes = lost;
       },
       {},
       {{"error: the service broke"}}},
      {"start succeeds and the stream stops at once",
       [&](auto& s) { s.stopAfterStartCompletes = lost; },
       {},
       {{"error: the connection went"}, {"ready", "error: capture stopped: the connection went"}}},
      {"stop after ready",
       [](auto&) {},
       [&](ScriptedCaptureService& service, auto&, auto&) {
         service.lastStream()->reportStop(lost);
         std::this_thread::sleep_for(10s);
       },
       {{"ready", "error: capture stopped: the connection went"}}},
  };
  for (const Case& c : cases) {
    CaptureScript script;
    c.change(script);
    const auto result = runSession(script, 16000, c.after);
    EXPECT_EQ(result.exitCode(), 1) << c.name << ": " << result.err;
    const Lines lines = statusLinesOf(result.err);
    EXPECT_NE(std::ranges::find(c.outcomes, lines), c.outcomes.end())
        << c.name << ": " << result.err;
    EXPECT_EQ(result.err.back(), '\n') << c.name;
  }
}

}  // namespace
}  // namespace sysaudio
