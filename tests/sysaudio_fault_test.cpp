// Faults around a running capture, against a real PipeWire server: as in sysaudio_e2e_test,
// every test starts a private session of its own (scripts/audio-session.sh) and drives the real
// binary through pipes.
//
// The fault matrix, and where each fault is covered:
//   the audio server killed or terminated mid-capture    sysaudio_e2e_test: ServerGoneTest
//   no audio server at start                             sysaudio_e2e_test: NoServerTest
//   no output device at start                            sysaudio_e2e_test: NoOutputDeviceTest
//   the session manager killed or terminated             SessionManagerGoneTest
//   the reader gone while silence or audio is written    ReaderGoneTest
//   standard output that takes nothing (/dev/full)       FullOutputTest
//   standard error closed, or a pipe without a reader    NoStatusChannelTest
//   a reader that stops reading for 1.2 s, at any quantum ShortStallTest
//   a reader that stops reading for 30 s                 StalledReaderLosesAudioNotMemory
//   200 streams of the parent and of others churning     StreamsOfTheParentAndOthersChurn
//   the default output device removed and added back     OutputDeviceRemovedAndAddedBack
//   links into sysaudio removed by someone else          sysaudio_desktop_test:
//                                                          LinksRemovedBySomeoneElseAreMadeAgain
//
// The test process is sysaudio's parent: a player it starts in its own process group stands for
// the parent's own audio, which must be left out, and a detached one for another application.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "end_to_end.h"

namespace sysaudio {
namespace {

using namespace std::chrono_literals;
using testing::AudioSession;
using testing::becameReady;
using testing::BrokenPipe;
using testing::Daemon;
using testing::defaultRate;
using testing::endedWell;
using testing::ErrorStream;
using testing::ExitStatus;
using testing::outputOnce;
using testing::playerTimeout;
using testing::printable;
using testing::Process;
using testing::ProcessOptions;
using testing::ProcessOutput;
using testing::prompt;
using testing::readyTimeout;
using testing::seconds;
using testing::soundTimeout;
using testing::statusText;
using testing::SteadyClock;
using testing::StereoTone;
using testing::toneFileRate;

const std::string binary = SYSAUDIO_BINARY;

// The analysis blocks of blockAmplitudes.
constexpr double blockSeconds = 0.1;

// ThreadSanitizer keeps shadow memory for every byte the program touches, and it counts in the
// resident set: filling the 1 MiB of the hand-over's buffers once took 5.2 MiB under it.
#if defined(__SANITIZE_THREAD__)
constexpr long residentCostPerByte = 6;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr long residentCostPerByte = 6;
#else
constexpr long residentCostPerByte = 1;
#endif
#else
constexpr long residentCostPerByte = 1;
#endif

std::size_t samplesIn(const ProcessOutput& output) {
  return output.out.size() / sizeof(float);
}

// The samples that had arrived by the time at.
std::size_t samplesArrivedBy(const ProcessOutput& output, SteadyClock::time_point at) {
  std::size_t total = 0;
  for (const testing::Arrival& arrival : output.outArrivals) {
    if (arrival.at > at) {
      break;
    }
    total = arrival.total;
  }
  return total / sizeof(float);
}

// The longest wait between two pieces of output from since to until, the ends included.
double longestSilenceOfTheStream(const ProcessOutput& output, SteadyClock::time_point since,
                                 SteadyClock::time_point until) {
  double longest = 0;
  SteadyClock::time_point previous = since;
  for (const testing::Arrival& arrival : output.outArrivals) {
    if (arrival.at <= since || arrival.at > until) {
      continue;
    }
    longest = std::max(longest, seconds(arrival.at - previous));
    previous = arrival.at;
  }
  return std::max(longest, seconds(until - previous));
}

// The 0.1 s blocks of the output from sample from on that hold the tone at its amplitude,
// to within 10 %.
std::size_t blocksOfTone(const std::string& bytes, std::size_t from, int rate, double frequency,
                         double amplitude) {
  const std::vector<float> samples = testing::wholeSamplesOf(bytes);
  if (from >= samples.size()) {
    return 0;
  }
  const std::vector<double> amplitudes = testing::blockAmplitudes(
      std::span<const float>(samples).subspan(from), rate, frequency, blockSeconds);
  return static_cast<std::size_t>(std::ranges::count_if(
      amplitudes, [amplitude](double a) { return std::abs(a - amplitude) < 0.1 * amplitude; }));
}

// Waits until the output from sample from on holds count blocks of the tone. Looks every 100 ms
// rather than at every arrival, since each look analyses the whole output.
::testing::AssertionResult toneArrives(const Process& sysaudio, std::size_t from, int rate,
                                       double frequency, double amplitude, std::size_t count) {
  const auto deadline = SteadyClock::now() + soundTimeout;
  for (;;) {
    const ProcessOutput output = sysaudio.snapshot();
    const std::size_t found = blocksOfTone(output.out, from, rate, frequency, amplitude);
    if (found >= count) {
      return ::testing::AssertionSuccess();
    }
    if (output.ended || SteadyClock::now() >= deadline) {
      return ::testing::AssertionFailure()
             << found << " blocks of " << frequency << " Hz at " << amplitude << ", not " << count
             << ", in the " << samplesIn(output) - std::min(from, samplesIn(output))
             << " samples from sample " << from << " on (" << statusText(output)
             << ", standard error " << printable(output.err) << ")";
    }
    std::this_thread::sleep_for(100ms);
  }
}

// "ready", then one "error: capture stopped: ..." line and nothing else.
::testing::AssertionResult captureStoppedLines(const std::string& err) {
  constexpr std::string_view expected = "ready\nerror: capture stopped: ";
  if (err.starts_with(expected) && err.size() > expected.size() + 1 && err.ends_with('\n') &&
      std::ranges::count(err, '\n') == 2) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "standard error " << printable(err);
}

// The resident set of the process in KiB, from /proc/PID/status; none once it is gone.
std::optional<long> residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) {
      return std::stol(line.substr(6));
    }
  }
  return std::nullopt;
}

class FaultTest : public testing::EndToEndTest {};

// Without the session manager nothing new gets linked to the output device, and with PipeWire
// 0.3.65 the links it made from the players to the device go with it, and sysaudio lets its own
// go too, since the player plays nowhere: it is no longer driven, and sysaudio's passive links
// would not drive it. The server
// itself runs on. sysaudio must not hang on any of it: the capture goes on, audio or silence
// blocks as they come, or it ends with the one error line.
class SessionManagerGoneTest : public FaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(SessionManagerGoneTest, CaptureGoesOnOrEndsWithOneErrorLine) {
  const std::string tone = toneFile("other-1000", {1000, 0.5, 0.5, 30});
  Process player({"pw-play", tone}, otherApplication());
  ASSERT_TRUE(session.waitForPlayback(tone, soundTimeout));
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  ASSERT_TRUE(toneArrives(sysaudio, 0, defaultRate, 1000, 0.5, 3));

  const std::size_t before = samplesIn(sysaudio.snapshot());
  const auto goneAt = SteadyClock::now();
  session.signal(Daemon::wireplumber, GetParam());
  constexpr auto watched = 3s;
  sysaudio.waitUntil([](const ProcessOutput& output) { return output.ended; }, watched);
  const auto watchedUntil = SteadyClock::now();
  const ProcessOutput output = sysaudio.snapshot();
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
  if (output.ended) {
    ASSERT_TRUE(output.status.has_value());
    EXPECT_EQ(output.status->code(), 1) << output.status->describe();
    EXPECT_TRUE(captureStoppedLines(output.err));
    std::cout << "sysaudio ended once the session manager went: " << printable(output.err) << "\n";
    return;
  }
  EXPECT_EQ(output.err, "ready\n");
  // Silence alone brings rate / 20 samples every 50 to 100 ms; the first block comes 0.2 s after
  // the last audio.
  EXPECT_LT(longestSilenceOfTheStream(output, goneAt, watchedUntil), 0.5);
  const std::size_t after = samplesIn(output) - before;
  EXPECT_GE(static_cast<double>(after), 0.4 * defaultRate * seconds(watched))
      << "samples written in the " << seconds(watched) << " s after the session manager went";
  const bool audioWentOn =
      blocksOfTone(output.out, before + defaultRate / 2, defaultRate, 1000, 0.5) > 0;
  ::testing::Test::RecordProperty("afterSessionManagerGone", audioWentOn ? "audio" : "silence");
  std::cout << "after the session manager went: " << after << " samples in "
            << seconds(watchedUntil - goneAt) << " s, " << (audioWentOn ? "audio" : "silence")
            << "\n";
}

INSTANTIATE_TEST_SUITE_P(Signals, SessionManagerGoneTest, ::testing::Values(SIGKILL, SIGTERM),
                         [](const auto& info) {
                           return std::string(info.param == SIGKILL ? "Killed" : "Terminated");
                         });

struct BrokenPipeCase {
  const char* name;
  BrokenPipe disposition;
  int exitCode;  // -1 for none
  int signal;    // 0 for none
};

void PrintTo(const BrokenPipeCase& broken, std::ostream* out) {
  *out << broken.name;
}

// The reader goes while only silence blocks are written, or while audio is, at 48000 Hz, so that
// writes of audio follow each other closely.
enum class Writing { silence, audio };

void PrintTo(Writing writing, std::ostream* out) {
  *out << (writing == Writing::audio ? "audio" : "silence");
}

class ReaderGoneTest : public FaultTest,
                       public ::testing::WithParamInterface<std::tuple<Writing, BrokenPipeCase>> {};

TEST_P(ReaderGoneTest, EndsQuietly) {
  const auto& [writing, broken] = GetParam();
  constexpr int rate = 48000;
  std::optional<Process> player;
  if (writing == Writing::audio) {
    const std::string tone = toneFile("other-1000", {1000, 0.5, 0.5, 20});
    player.emplace(std::vector<std::string>{"pw-play", tone}, otherApplication());
    ASSERT_TRUE(session.waitForPlayback(tone, soundTimeout));
  }
  Process sysaudio({binary, std::to_string(rate)}, client(broken.disposition));
  ASSERT_TRUE(becameReady(sysaudio));
  if (writing == Writing::audio) {
    ASSERT_TRUE(toneArrives(sysaudio, 0, rate, 1000, 0.5, 5));
  } else {
    ASSERT_TRUE(sysaudio.waitUntil(
        [](const ProcessOutput& output) { return !output.out.empty() || output.ended; },
        readyTimeout));
  }
  // sysaudio writes whole samples only, so a pipe read ends between two.
  EXPECT_EQ(sysaudio.snapshot().out.size() % sizeof(float), 0u);

  sysaudio.closeStdout();
  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  ASSERT_TRUE(sysaudio.hasEnded())
      << "still running " << seconds(prompt) << " s after its reader went";
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code(), broken.exitCode) << status->describe();
  EXPECT_EQ(status->signal(), broken.signal) << status->describe();
  EXPECT_EQ(sysaudio.snapshot().err, "ready\n");
}

INSTANTIATE_TEST_SUITE_P(
    BrokenPipeSignal, ReaderGoneTest,
    ::testing::Combine(::testing::Values(Writing::silence, Writing::audio),
                       ::testing::Values(BrokenPipeCase{"Ignored", BrokenPipe::ignored, 0, 0},
                                         BrokenPipeCase{"DefaultAction", BrokenPipe::defaultAction,
                                                        -1, SIGPIPE})),
    [](const auto& info) {
      const Writing writing = std::get<Writing>(info.param);
      return std::string(writing == Writing::audio ? "DuringAudio" : "DuringSilence") +
             std::get<BrokenPipeCase>(info.param).name;
    });

// Standard output that takes nothing: the first write fails with ENOSPC, with no broken-pipe
// signal. That too means the reader is gone, whether the first write is a silence block or the
// audio of a stream that plays when sysaudio starts, which may come right after "ready".
class FullOutputTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FullOutputTest, EndsWithStatusZeroAndNoMessage) {
  std::optional<Process> player;
  if (GetParam()) {
    const std::string tone = toneFile("other-1000", {1000, 0.5, 0.5, 20});
    player.emplace(std::vector<std::string>{"pw-play", tone}, otherApplication());
    ASSERT_TRUE(session.waitForPlayback(tone, soundTimeout));
  }
  ProcessOptions options = client();
  options.stdoutFile = "/dev/full";
  Process sysaudio({binary}, options);
  const std::optional<ExitStatus> status = sysaudio.waitForExit(readyTimeout);
  const ProcessOutput output = sysaudio.snapshot();
  ASSERT_TRUE(output.ended) << "still running " << seconds(readyTimeout)
                            << " s after it started; standard error " << printable(output.err);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->exited() && status->code() == 0) << status->describe();
  EXPECT_EQ(output.err, "ready\n");
}

INSTANTIATE_TEST_SUITE_P(Playing, FullOutputTest, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "AnotherApplicationPlays" : "NothingPlays");
});

// A status line that cannot be written must not stop the capture: not when descriptor 2 is a
// pipe without a reader (with the broken-pipe signal at its default action, which would end the
// process), nor when it is closed, so that the first file sysaudio opens takes its number.
struct StatusChannelCase {
  const char* name;
  ErrorStream errorStream;
};

void PrintTo(const StatusChannelCase& channel, std::ostream* out) {
  *out << channel.name;
}

class NoStatusChannelTest : public FaultTest,
                            public ::testing::WithParamInterface<StatusChannelCase> {};

TEST_P(NoStatusChannelTest, CaptureRunsWithoutIt) {
  const std::string tone = toneFile("other-1000", {1000, 0.5, 0.5, 20});
  Process player({"pw-play", tone}, otherApplication());
  ASSERT_TRUE(session.waitForPlayback(tone, soundTimeout));
  ProcessOptions options = client(BrokenPipe::defaultAction);
  options.errorStream = GetParam().errorStream;
  Process sysaudio({binary}, options);
  // No "ready" to wait for: the audio itself tells that the capture runs, a second of it.
  ASSERT_TRUE(toneArrives(sysaudio, 0, defaultRate, 1000, 0.5, 10));
  const ProcessOutput output = sysaudio.snapshot();
  EXPECT_FALSE(output.ended) << statusText(output);
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);

  // It still ends the usual way once its reader goes.
  sysaudio.closeStdout();
  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  ASSERT_TRUE(status.has_value()) << "still running " << seconds(prompt)
                                  << " s after its reader went";
  EXPECT_EQ(status->signal(), SIGPIPE) << status->describe();
}

INSTANTIATE_TEST_SUITE_P(StandardError, NoStatusChannelTest,
                         ::testing::Values(StatusChannelCase{"PipeWithoutReader",
                                                             ErrorStream::pipeWithoutReader},
                                           StatusChannelCase{"Closed", ErrorStream::closed}),
                         [](const auto& info) { return std::string(info.param.name); });

// A reader that stops reading for 1.2 s in the middle of a 2 s tone, as a busy parent may: the
// audio waits in standard output's buffer, the pipe and the ring, which holds 2 s of audio
// however small the graph's quantum, and all of it comes through once the reader is back, with
// no sample lost or repeated (but for a graph cycle that the machine made sysaudio miss).
class ShortStallTest : public FaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(ShortStallTest, AReaderThatStallsWithinTheBudgetLosesNothing) {
  constexpr int rate = 48000;
  constexpr double toneSeconds = 2;
  session.forceQuantum(GetParam());
  const std::string tone = toneFile("tone", {1000, 0.5, 0.5, toneSeconds, 0.5, 0.005});
  Process sysaudio({binary, std::to_string(rate)}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  Process player({"paplay", tone}, otherApplication());
  ASSERT_TRUE(toneArrives(sysaudio, 0, rate, 1000, 0.5, 2));
  sysaudio.pauseStdout();
  std::this_thread::sleep_for(1200ms);
  sysaudio.resumeStdout();
  ASSERT_TRUE(endedWell(player));
  // What the stall held back, the rest of the tone, and some time after it.
  const std::size_t wanted = samplesIn(sysaudio.snapshot()) + rate / 2;
  ASSERT_TRUE(sysaudio.waitUntil(
      [wanted](const ProcessOutput& output) { return samplesIn(output) >= wanted; }, soundTimeout));
  sysaudio.signal(SIGKILL);
  sysaudio.waitForExit(prompt);
  const ProcessOutput output = sysaudio.snapshot();

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  const std::optional<testing::Region> sound = testing::soundingRegion(samples, 0.05);
  ASSERT_TRUE(sound.has_value());
  EXPECT_NEAR(static_cast<double>(sound->size()) / rate, toneSeconds, 0.01 * toneSeconds)
      << "seconds from the first to the last sound of a " << toneSeconds << " s tone";
  const testing::Region steady = testing::inner(*sound, rate / 10);
  const auto tonePart = std::span<const float>(samples).subspan(steady.begin, steady.size());
  EXPECT_LT(testing::longestQuietRun(tonePart, 0.01), static_cast<std::size_t>(rate / 500));
  EXPECT_TRUE(testing::continuous(tonePart, rate, 1000));
  EXPECT_EQ(output.err, "ready\n");
}

INSTANTIATE_TEST_SUITE_P(Quanta, ShortStallTest, ::testing::Values(64, 256, 1024),
                         [](const auto& info) { return "Quantum" + std::to_string(info.param); });

// A reader that stops reading for 30 s while another application plays on. The real-time thread
// may then fill the ring and must drop what comes after, not pile it up: at 48000 Hz the 30 s
// would take 5.5 MiB even as mono samples, 11 MiB as the stereo that is captured, while what may
// fill is the ring, 2 s x 48000 frames x 2 channels x 4 bytes = 750 KiB (touched before the
// start), the 64 KiB pipe and the 64 KiB buffer of standard output. The bound leaves room for the
// allocator and the rest.
TEST_F(FaultTest, StalledReaderLosesAudioNotMemory) {
  constexpr int rate = 48000;
  constexpr long ringKiB = 2L * rate * 2 * 4 / 1024;
  constexpr long pipeKiB = 64;
  constexpr long stdoutBufferKiB = 64;
  constexpr long growthKiB = 4096;
  static_assert(ringKiB + pipeKiB + stdoutBufferKiB < growthKiB);
  static_assert(growthKiB < 30L * rate * sizeof(float) / 1024, "30 s buffered must exceed it");
  constexpr long boundKiB = growthKiB * residentCostPerByte;
  constexpr auto stall = 30s;

  const std::string tone = toneFile("other-1000", {1000, 0.5, 0.5, 60});
  Process player({"pw-play", tone}, otherApplication());
  ASSERT_TRUE(session.waitForPlayback(tone, soundTimeout));
  Process sysaudio({binary, std::to_string(rate)}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  ASSERT_TRUE(toneArrives(sysaudio, 0, rate, 1000, 0.5, 20));
  const std::optional<long> before = residentKiB(sysaudio.pid());
  ASSERT_TRUE(before.has_value());

  sysaudio.pauseStdout();
  long largest = *before;
  const auto stallEnds = SteadyClock::now() + stall;
  for (auto next = SteadyClock::now() + 1s; next <= stallEnds; next += 1s) {
    std::this_thread::sleep_until(next);
    const std::optional<long> now = residentKiB(sysaudio.pid());
    ASSERT_TRUE(now.has_value() && !sysaudio.hasEnded())
        << "sysaudio ended while its reader stalled: " << statusText(sysaudio.snapshot());
    largest = std::max(largest, *now);
  }
  const std::size_t atResume = samplesIn(sysaudio.snapshot());
  const auto resumedAt = SteadyClock::now();
  sysaudio.resumeStdout();

  // What waited in the pipe, the buffer and the slots comes at once, then the stream goes on in
  // real time.
  constexpr auto watched = 4s;
  sysaudio.waitUntil([](const ProcessOutput& output) { return output.ended; }, watched);
  const ProcessOutput output = sysaudio.snapshot();
  const std::optional<long> after = residentKiB(sysaudio.pid());
  ASSERT_FALSE(output.ended) << statusText(output) << ", standard error " << printable(output.err);
  EXPECT_EQ(output.err, "ready\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);

  std::cout << "VmRSS before the stall " << *before << " KiB, largest during it " << largest
            << " KiB (+" << largest - *before << "), after it " << after.value_or(-1)
            << " KiB; bound +" << boundKiB << " KiB\n";
  ::testing::Test::RecordProperty("rssBeforeKiB", std::to_string(*before));
  ::testing::Test::RecordProperty("rssLargestDuringStallKiB", std::to_string(largest));
  ::testing::Test::RecordProperty("rssAfterKiB", std::to_string(after.value_or(-1)));
  EXPECT_LT(largest - *before, boundKiB);
  ASSERT_TRUE(after.has_value());
  EXPECT_LT(*after - *before, boundKiB);

  // The backlog: at most a pipe, a buffer, the ring's 2 s (one mono sample per frame) and the
  // silence block that marks the loss, followed by what plays meanwhile, in graph cycles of up
  // to 2048 frames; 30 s of audio would come if it had been kept.
  constexpr auto early = 2s;
  constexpr std::size_t backlogBound = (pipeKiB + stdoutBufferKiB) * 1024 / sizeof(float) +
                                       2 * rate + rate / 20 + 2 * rate + 2 * 2048;
  const std::size_t earlySamples = samplesArrivedBy(output, resumedAt + early) - atResume;
  std::cout << "after the stall: " << earlySamples << " samples in the first " << seconds(early)
            << " s, " << samplesArrivedBy(output, resumedAt + watched) - atResume << " in "
            << seconds(watched) << " s\n";
  EXPECT_LE(earlySamples, backlogBound) << "more than the stall could have left behind";
  const auto firstAfter = std::ranges::find_if(
      output.outArrivals, [resumedAt](const testing::Arrival& a) { return a.at > resumedAt; });
  ASSERT_NE(firstAfter, output.outArrivals.end()) << "nothing came after the reader came back";
  EXPECT_LT(seconds(firstAfter->at - resumedAt), 0.5) << "the reader waited for the backlog";
  // Fresh audio in real time at the end: the last 2 s hold about 2 s of samples and the tone.
  const std::size_t lastTwoSeconds = samplesArrivedBy(output, resumedAt + watched) -
                                     samplesArrivedBy(output, resumedAt + watched - 2s);
  EXPECT_GE(static_cast<double>(lastTwoSeconds), 0.75 * 2 * rate);
  EXPECT_GE(blocksOfTone(output.out, samplesIn(output) - rate, rate, 1000, 0.5), 8u)
      << "the tone is missing from the last second";
}

// What pw-mon reported about the links into sysaudio's node over a whole run.
struct LinkRecord {
  std::map<std::string, std::size_t> streams;        // stream nodes that appeared, by kind
  std::map<std::string, std::size_t> linkedStreams;  // of these, those linked into sysaudio
  std::size_t links = 0;                             // links into sysaudio, all told
  std::vector<std::string> parentLinks;              // those from a stream of the parent's
  std::size_t unknownLinks = 0;  // from a node the monitor did not describe as a stream
  std::optional<std::uint32_t> sysaudioNode;
  bool sysaudioNodeRemoved = false;
  std::size_t linksLeft = 0;  // links into sysaudio never removed
};

// One "added:", "changed:" or "removed:" report of pw-mon: the object's fields (one tab in) and
// properties (two tabs in); the lines that describe parameters go further in and are skipped.
struct MonitorReport {
  std::string event;
  std::map<std::string, std::string> fields;
  std::map<std::string, std::string> properties;
};

std::vector<MonitorReport> monitorReports(const std::string& log) {
  std::vector<MonitorReport> reports;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == "added:" || line == "changed:" || line == "removed:") {
      reports.push_back({line.substr(0, line.size() - 1), {}, {}});
      continue;
    }
    if (reports.empty()) {
      continue;
    }
    std::string_view text = line;
    // A changed value is marked with '*' in the first column, an unchanged one with a space.
    if (text.starts_with('*') || text.starts_with(' ')) {
      text.remove_prefix(1);
    }
    if (text.starts_with("\t\t")) {
      const std::size_t equals = text.find(" = \"");
      if (equals != std::string_view::npos && text.ends_with('"')) {
        const std::string_view key = text.substr(2, equals - 2);
        const std::string_view value = text.substr(equals + 4, text.size() - equals - 5);
        reports.back().properties[std::string(key)] = std::string(value);
      }
    } else if (text.starts_with('\t') && !text.starts_with("\t ")) {
      const std::size_t colon = text.find(": ");
      if (colon != std::string_view::npos) {
        reports.back().fields.emplace(std::string(text.substr(1, colon - 1)),
                                      std::string(text.substr(colon + 2)));
      }
    }
  }
  return reports;
}

std::optional<std::uint32_t> idIn(const std::map<std::string, std::string>& fields,
                                  const std::string& name) {
  const auto found = fields.find(name);
  if (found == fields.end()) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(std::stoul(found->second));
}

// Replays the monitor's reports in order. Ids are reused once an object is gone, so a link's
// output node is the node that has that id when the link appears. pw-mon reports a node only
// once it has its parameters, which may be after a link to it: a link to a node not reported
// yet is to the next node reported under that id, unless a removal of the id comes first (a
// node gone before pw-mon reported it). A stream is told by its media.name, which a PulseAudio
// client may set only after its node appeared, so each node's kind is decided from its last
// properties. kindOf names a stream's kind from its media.name, or gives nothing for a node that
// is no stream of the test.
template <typename KindOf>
LinkRecord recordLinks(const std::string& log, const KindOf& kindOf,
                       const std::string& parentKind) {
  using Properties = std::map<std::string, std::string>;
  std::vector<Properties> instances;           // every node that appeared, in order
  std::map<std::uint32_t, std::size_t> nodes;  // a live node's id -> its instance
  struct Link {
    std::uint32_t id;
    std::uint32_t outputNode;
    std::optional<std::size_t> instance;
  };
  std::vector<Link> linksIn;
  std::map<std::uint32_t, std::vector<std::size_t>> awaiting;  // node id -> links to it
  std::set<std::uint32_t> liveLinksIn;
  LinkRecord record;
  for (const MonitorReport& report : monitorReports(log)) {
    const std::optional<std::uint32_t> id = idIn(report.fields, "id");
    if (!id) {
      continue;
    }
    if (report.event == "removed") {
      nodes.erase(*id);
      awaiting.erase(*id);
      if (liveLinksIn.erase(*id) == 0 && record.sysaudioNode == *id) {
        record.sysaudioNodeRemoved = true;
      }
      continue;
    }
    const auto type = report.fields.find("type");
    if (type == report.fields.end()) {
      continue;
    }
    if (type->second.starts_with("PipeWire:Interface:Node")) {
      if (report.event == "added" || !nodes.contains(*id)) {
        nodes[*id] = instances.size();
        for (const std::size_t link : awaiting[*id]) {
          linksIn[link].instance = instances.size();
        }
        awaiting.erase(*id);
        instances.emplace_back();
      }
      Properties& properties = instances[nodes[*id]];
      for (const auto& [key, value] : report.properties) {
        properties[key] = value;
      }
      if (properties["node.name"] == "sysaudio" && !record.sysaudioNode) {
        record.sysaudioNode = *id;
      }
    } else if (type->second.starts_with("PipeWire:Interface:Link") && report.event == "added") {
      const std::optional<std::uint32_t> input = idIn(report.fields, "input-node-id");
      const std::optional<std::uint32_t> output = idIn(report.fields, "output-node-id");
      if (!input || !output || input != record.sysaudioNode) {
        continue;
      }
      const auto node = nodes.find(*output);
      if (node == nodes.end()) {
        awaiting[*output].push_back(linksIn.size());
      }
      linksIn.push_back(
          {*id, *output, node != nodes.end() ? std::optional(node->second) : std::nullopt});
      liveLinksIn.insert(*id);
    }
  }
  std::vector<std::optional<std::string>> kinds;
  for (Properties& properties : instances) {
    kinds.push_back(kindOf(properties["media.name"]));
    if (kinds.back()) {
      ++record.streams[*kinds.back()];
    }
  }
  std::set<std::size_t> linkedInstances;
  for (const Link& link : linksIn) {
    ++record.links;
    if (!link.instance || !kinds[*link.instance]) {
      ++record.unknownLinks;
      continue;
    }
    const std::string& kind = *kinds[*link.instance];
    if (kind == parentKind) {
      record.parentLinks.push_back("link " + std::to_string(link.id) + " from node " +
                                   std::to_string(link.outputNode) + " (" +
                                   instances[*link.instance]["media.name"] + ")");
    }
    if (linkedInstances.insert(*link.instance).second) {
      ++record.linkedStreams[kind];
    }
  }
  record.linksLeft = liveLinksIn.size();
  return record;
}

// Short tones coming and going, several at a time, from the parent's tree (directly, through
// PulseAudio, and from a grandchild) and from other applications, all through one capture: none
// of the parent's is ever linked, the others are, and when sysaudio ends its node and all its
// links go. A monitor started before sysaudio sees every link it makes. The parent's streams
// play 440 Hz, the others 1 kHz; the tones fade in and out and have silence around them, so that
// neither their edges nor a player cutting its end short spreads energy to 440 Hz.
TEST_F(FaultTest, StreamsOfTheParentAndOthersChurn) {
  constexpr std::size_t streams = 200;
  constexpr auto startInterval = 100ms;
  constexpr double amplitude = 0.2;
  constexpr std::string_view parentKind = "parent";
  constexpr std::string_view otherKind = "other";
  struct Player {
    std::string_view kind;
    bool detached;
    std::vector<std::string> command;  // the tone file follows
  };
  // The shells do not exec their player, which so is a grandchild of the shell's parent.
  const std::vector<Player> players = {
      {parentKind, false, {"pw-play"}},
      {otherKind, true, {"pw-play"}},
      {parentKind, false, {"paplay"}},
      {otherKind, true, {"paplay"}},
      {parentKind, false, {"sh", "-c", "pw-play \"$0\"; :"}},
      {otherKind, true, {"sh", "-c", "paplay \"$0\"; :"}},
  };
  // 0.2 to 0.5 s of tone after 0.4 s of silence, in which sysaudio links the stream.
  std::map<std::string, std::vector<std::string>> tones;
  for (const std::string_view kind : {parentKind, otherKind}) {
    for (const int milliseconds : {200, 300, 400, 500}) {
      const StereoTone tone{kind == parentKind ? 440.0 : 1000.0,
                            amplitude,
                            amplitude,
                            milliseconds / 1000.0,
                            0.4,
                            0.01,
                            0.15};
      tones[std::string(kind)].push_back(
          toneFile(std::string(kind) + "-" + std::to_string(milliseconds), tone));
    }
  }
  // The tone that ends the test, played once the churn is over.
  constexpr double lateFrequency = 1500;
  tones["late"].push_back(tonePath(lateToneName(lateFrequency)));
  const auto kindOf = [&](const std::string& mediaName) -> std::optional<std::string> {
    for (const auto& [kind, files] : tones) {
      if (std::ranges::find(files, mediaName) != files.end()) {
        return kind;
      }
    }
    return std::nullopt;
  };

  Process monitor({"pw-mon", "-N"}, client());
  ASSERT_TRUE(monitor.waitUntil(
      [](const ProcessOutput& output) {
        return output.out.find("audio_session_sink") != std::string::npos;
      },
      readyTimeout))
      << "pw-mon did not list the graph";
  Process sysaudio({binary}, client(BrokenPipe::ignored));
  ASSERT_TRUE(becameReady(sysaudio));
  // Links are told by their input node, which the monitor must have reported before any.
  ASSERT_TRUE(monitor.waitUntil(
      [](const ProcessOutput& output) {
        return output.out.find("node.name = \"sysaudio\"") != std::string::npos;
      },
      readyTimeout))
      << "pw-mon did not report sysaudio's node";

  std::vector<std::unique_ptr<Process>> running;
  std::vector<std::string> failures;
  const auto reapEnded = [&running, &failures](bool wait) {
    std::erase_if(running, [&failures, wait](const std::unique_ptr<Process>& player) {
      if (!wait && !player->hasEnded()) {
        return false;
      }
      if (const ::testing::AssertionResult ended = endedWell(*player); !ended) {
        failures.push_back(ended.message());
      }
      return true;
    });
  };
  const auto start = SteadyClock::now();
  for (std::size_t i = 0; i < streams; ++i) {
    const Player& player = players[i % players.size()];
    std::vector<std::string> argv = player.command;
    argv.push_back(tones[std::string(player.kind)][(i / players.size()) % 4]);
    ProcessOptions options = player.detached ? otherApplication() : parentHelper();
    running.push_back(std::make_unique<Process>(argv, options));
    reapEnded(false);
    std::this_thread::sleep_until(start + (i + 1) * startInterval);
  }
  reapEnded(true);
  EXPECT_TRUE(failures.empty()) << failures.size()
                                << " players failed, the first: " << failures.front();
  // The last tone's end has come through once another half second of output follows it.
  const std::size_t afterPlayers = samplesIn(sysaudio.snapshot());
  const ProcessOutput output = outputOnce(
      sysaudio,
      [afterPlayers](const ProcessOutput& output) {
        return samplesIn(output) >= afterPlayers + defaultRate / 2;
      },
      soundTimeout);
  ASSERT_FALSE(output.ended) << statusText(output) << ", standard error " << printable(output.err);
  EXPECT_EQ(output.err, "ready\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
  EXPECT_TRUE(aNewToneComesThrough(sysaudio, defaultRate, lateFrequency));

  sysaudio.closeStdout();
  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  ASSERT_TRUE(status.has_value()) << "still running after its reader went";
  EXPECT_TRUE(status->exited() && status->code() == 0) << status->describe();

  // The monitor has seen the end once it reports sysaudio's node gone.
  LinkRecord record;
  const auto deadline = SteadyClock::now() + soundTimeout;
  do {
    std::this_thread::sleep_for(200ms);
    record = recordLinks(monitor.snapshot().out, kindOf, std::string(parentKind));
  } while (!record.sysaudioNodeRemoved && SteadyClock::now() < deadline);
  const std::string dump = tool({"pw-dump"});
  const std::size_t parents = record.streams[std::string(parentKind)];
  const std::size_t others = record.streams[std::string(otherKind)];
  std::cout << "streams seen: " << parents << " of the parent's, " << others
            << " of other applications; linked into sysaudio: "
            << record.linkedStreams[std::string(otherKind)] << " of the others and "
            << record.linkedStreams[std::string(parentKind)] << " of the parent's, by "
            << record.links << " links (" << record.unknownLinks << " from unknown nodes, "
            << record.linksLeft << " left); " << monitor.snapshot().out.size()
            << " bytes of monitor log\n";
  ::testing::Test::RecordProperty("linksIntoSysaudio", std::to_string(record.links));

  ASSERT_TRUE(record.sysaudioNode.has_value()) << "the monitor never saw sysaudio's node";
  EXPECT_TRUE(record.sysaudioNodeRemoved) << "sysaudio's node is still there";
  EXPECT_EQ(record.linksLeft, 0u) << "links into sysaudio outlived it";
  EXPECT_EQ(dump.find("\"node.name\": \"sysaudio\""), std::string::npos)
      << "pw-dump still lists sysaudio's node";
  EXPECT_EQ(dump.find("\"input-node-id\": " + std::to_string(*record.sysaudioNode) + ","),
            std::string::npos)
      << "pw-dump still lists a link into node " << *record.sysaudioNode;
  EXPECT_EQ(parents + others, streams) << "the monitor did not see every stream";
  EXPECT_TRUE(record.parentLinks.empty())
      << record.parentLinks.size() << " links into sysaudio from the parent's streams, the first "
      << record.parentLinks.front();
  EXPECT_EQ(record.linkedStreams[std::string(parentKind)], 0u);
  EXPECT_EQ(record.linkedStreams[std::string(otherKind)], others)
      << "streams of other applications that sysaudio never linked";
  EXPECT_EQ(record.unknownLinks, 0u);

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  const std::vector<double> other1000 =
      testing::blockAmplitudes(samples, defaultRate, 1000, blockSeconds);
  const std::vector<double> parent440 =
      testing::blockAmplitudes(samples, defaultRate, 440, blockSeconds);
  // A player that misses a cycle on a loaded machine leaves a step in its 1 kHz tone, a click
  // whose energy spreads evenly over the frequencies around 440 Hz. A 440 Hz tone shows at
  // 440 Hz alone: what it adds above the mean of 380 and 500 Hz, six bins away on either side
  // (beyond the flat-top window's main lobe), is the tone's.
  const std::vector<double> below =
      testing::blockAmplitudes(samples, defaultRate, 380, blockSeconds);
  const std::vector<double> above =
      testing::blockAmplitudes(samples, defaultRate, 500, blockSeconds);
  double strongest440 = 0;
  double strongest440OverFloor = 0;
  for (std::size_t block = 0; block < parent440.size(); ++block) {
    strongest440 = std::max(strongest440, parent440[block]);
    strongest440OverFloor =
        std::max(strongest440OverFloor, parent440[block] - (below[block] + above[block]) / 2);
  }
  std::vector<double> present;
  for (const double level : other1000) {
    if (level > amplitude / 4) {
      present.push_back(level);
    }
  }
  ASSERT_GE(present.size(), others / 2) << "the other applications' 1 kHz did not come through";
  std::ranges::nth_element(present,
                           present.begin() + static_cast<std::ptrdiff_t>(present.size() / 2));
  const double level1000 = present[present.size() / 2];
  std::cout << "1 kHz level " << level1000 << " in " << present.size()
            << " blocks; strongest 440 Hz block " << strongest440 << ", over the floor "
            << strongest440OverFloor << "\n";
  // Tones that overlap add up in any phase; a typical block still holds about one of them.
  EXPECT_GT(level1000, amplitude / 2);
  EXPECT_LT(strongest440OverFloor, 0.01 * level1000) << "the parent's 440 Hz came through";
}

// The output device the streams play to goes away and a new one takes its place: the session
// manager moves the other application's stream each time, and the capture follows it. A second
// sink becomes the default, the original is destroyed, then a sink of the original's name is
// made again and becomes the default, and the second one is destroyed too.
TEST_F(FaultTest, OutputDeviceRemovedAndAddedBack) {
  const std::string original = "audio_session_sink";
  const std::string spare = "fault_spare_sink";
  const std::vector<std::string> links = {"pw-link", "-l"};
  const std::string tone = toneFile("other-1000", {1000, 0.5, 0.5, 40});
  Process player({"pw-play", tone}, otherApplication());
  ASSERT_TRUE(session.waitForPlayback(tone, soundTimeout));
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  ASSERT_TRUE(toneArrives(sysaudio, 0, defaultRate, 1000, 0.5, 5));

  tool({"pactl", "load-module", "module-null-sink", "sink_name=" + spare});
  tool({"pactl", "set-default-sink", spare});
  ASSERT_TRUE(toolShows(links, "|-> " + spare + ":playback_FL"));
  tool({"pw-cli", "destroy", original});
  ASSERT_TRUE(toolShows({"pactl", "list", "short", "sinks"}, original + "\t", false));
  std::size_t from = samplesIn(sysaudio.snapshot());
  EXPECT_TRUE(toneArrives(sysaudio, from, defaultRate, 1000, 0.5, 5))
      << "once the stream played to the spare sink";

  tool({"pw-cli", "create-node", "adapter",
        "{ factory.name=support.null-audio-sink node.name=" + original +
            " media.class=Audio/Sink object.linger=true audio.position=[FL FR] }"});
  ASSERT_TRUE(toolShows({"pactl", "list", "short", "sinks"}, original + "\t"));
  tool({"pactl", "set-default-sink", original});
  tool({"pw-cli", "destroy", spare});
  ASSERT_TRUE(toolShows(links, "|-> " + original + ":playback_FL"));
  from = samplesIn(sysaudio.snapshot());
  EXPECT_TRUE(toneArrives(sysaudio, from, defaultRate, 1000, 0.5, 10))
      << "once the stream played to the sink made again";
  EXPECT_TRUE(aNewToneComesThrough(sysaudio, defaultRate, 700));

  const ProcessOutput output = sysaudio.snapshot();
  EXPECT_FALSE(output.ended) << statusText(output);
  EXPECT_EQ(output.err, "ready\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
}

}  // namespace
}  // namespace sysaudio
