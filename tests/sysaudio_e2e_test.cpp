// The real binary against a real PipeWire server, as a parent runs it: every test starts a
// private session of its own (scripts/audio-session.sh), plays tones with PipeWire's and
// PulseAudio's own players and reads sysaudio's standard output and standard error through pipes.
//
// The test process is sysaudio's parent, so its own children would be left out of the capture;
// a player that stands for another application is therefore started detached from it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <iterator>
#include <numbers>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "cadence.h"
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
using testing::ExitStatus;
using testing::fileContents;
using testing::innerBlocksAbove;
using testing::median;
using testing::moreOutput;
using testing::outputOnce;
using testing::playerTimeout;
using testing::printable;
using testing::Process;
using testing::ProcessOptions;
using testing::ProcessOutput;
using testing::prompt;
using testing::readyTimeout;
using testing::Region;
using testing::seconds;
using testing::soundTimeout;
using testing::statusText;
using testing::SteadyClock;
using testing::StereoTone;
using testing::stopped;
using testing::TemporaryDirectory;
using testing::toneFileRate;

const std::string binary = SYSAUDIO_BINARY;

// A sample further from zero than this is sound; silence blocks are exact zeros, and what the
// resamplers leave around a tone's edges stays far below it.
constexpr double loud = 0.05;

// What became of the process whose pid the file holds, for failure messages.
std::string processState(const std::string& pidFile) {
  std::string pid = fileContents(pidFile);
  pid = pid.substr(0, pid.find('\n'));
  const std::string stat = fileContents("/proc/" + pid + "/stat");
  const std::size_t afterName = stat.rfind(") ");
  if (pid.empty() || afterName == std::string::npos) {
    return "(pid " + pid + ") is gone";
  }
  return "(pid " + pid + ") is in state " + stat.substr(afterName + 2, 1);
}

std::optional<Region> soundIn(const std::string& bytes) {
  return testing::soundingRegion(testing::wholeSamplesOf(bytes), loud);
}

// Waits until the output holds at least duration seconds from its first to its last sound.
::testing::AssertionResult heardFor(const Process& sysaudio, int rate, double duration) {
  const auto wanted = static_cast<std::size_t>(duration * rate);
  const auto enough = [wanted](const ProcessOutput& output) {
    const std::optional<Region> sound = soundIn(output.out);
    return sound && sound->size() >= wanted;
  };
  const ProcessOutput output = outputOnce(sysaudio, enough, soundTimeout);
  if (enough(output)) {
    return ::testing::AssertionSuccess();
  }
  const std::optional<Region> sound = soundIn(output.out);
  return ::testing::AssertionFailure()
         << "the output holds " << (sound ? static_cast<double>(sound->size()) / rate : 0.0)
         << " s of sound, not " << duration << " s (" << output.out.size() << " bytes in all; "
         << statusText(output) << ", standard error " << printable(output.err) << ")";
}

// Waits until duration seconds of output followed the last sound: what was played has all come
// through.
::testing::AssertionResult quietFor(const Process& sysaudio, int rate, double duration) {
  const auto wanted = static_cast<std::size_t>(duration * rate);
  const auto enough = [wanted](const ProcessOutput& output) {
    const std::optional<Region> sound = soundIn(output.out);
    return sound && output.out.size() / sizeof(float) >= sound->end + wanted;
  };
  const ProcessOutput output = outputOnce(sysaudio, enough, soundTimeout);
  if (enough(output)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "no " << duration << " s of output after the sound (" << statusText(output)
         << ", standard error " << printable(output.err) << ")";
}

std::span<const float> part(const std::vector<float>& samples, Region region) {
  return std::span<const float>(samples).subspan(region.begin, region.size());
}

class SysaudioE2eTest : public testing::EndToEndTest {};

// A stream that already plays when sysaudio starts comes through at the default rate as the
// average of its channels: a centred tone keeps its amplitude (a power-preserving downmix would
// give 0.707 of it), and an off-centre one tells averaging from taking one channel or the sum.
struct DownmixCase {
  const char* name;
  double left;
  double right;
  double mono;
};

void PrintTo(const DownmixCase& downmix, std::ostream* out) {
  *out << downmix.name;
}

class PlayingStreamTest : public SysaudioE2eTest,
                          public ::testing::WithParamInterface<DownmixCase> {};

TEST_P(PlayingStreamTest, ComesThroughAsTheChannelAverageAtTheDefaultRate) {
  const DownmixCase& downmix = GetParam();
  const std::string tone = toneFile("tone", {1000, downmix.left, downmix.right, 6});
  Process player({"pw-play", tone}, otherApplication());
  ASSERT_TRUE(session.waitForPlayback(tone, soundTimeout));

  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  ASSERT_TRUE(heardFor(sysaudio, defaultRate, 1.2));
  const ProcessOutput output = stopped(sysaudio);

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  const Region steady = testing::inner(*testing::soundingRegion(samples, loud), defaultRate / 10);
  ASSERT_GE(steady.size(), static_cast<std::size_t>(defaultRate));
  const auto tonePart = part(samples, steady);
  EXPECT_NEAR(testing::toneAmplitude(tonePart, defaultRate, 1000), downmix.mono,
              0.03 * downmix.mono);
  // The tone and nothing else: its level is the level of the whole.
  EXPECT_NEAR(testing::rms(tonePart) * std::numbers::sqrt2, downmix.mono, 0.03 * downmix.mono);
  // 1 kHz only if the samples really are 16000 per second.
  EXPECT_NEAR(testing::zeroCrossingFrequency(tonePart, defaultRate), 1000, 10);
  EXPECT_TRUE(testing::continuous(tonePart, defaultRate, 1000));
  EXPECT_EQ(output.err, "ready\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
}

INSTANTIATE_TEST_SUITE_P(Downmix, PlayingStreamTest,
                         ::testing::Values(DownmixCase{"Centred", 0.5, 0.5, 0.5},
                                           DownmixCase{"OffCentre", 0.6, 0.2, 0.4}),
                         [](const auto& info) { return std::string(info.param.name); });

// sysaudio runs as the child of a shell that stands for the application: it plays a 440 Hz tone
// itself or through a descendant, while another application plays 1 kHz. In the scripts, $0 is
// sysaudio, $1 the 440 Hz file, $2 a log for the shell's player and $3 a file for sysaudio's
// pid; the shell's standard output and standard error, which sysaudio inherits, are the test's
// pipes. A line on the shell's standard input, written once sysaudio is ready, releases what
// waits for it.
struct ExclusionCase {
  const char* name;
  const char* script;
};

void PrintTo(const ExclusionCase& exclusion, std::ostream* out) {
  *out << exclusion.name;
}

class ParentExclusionTest : public SysaudioE2eTest,
                            public ::testing::WithParamInterface<ExclusionCase> {};

TEST_P(ParentExclusionTest, LeavesOutTheParentAndItsDescendants) {
  const std::string parentTone = toneFile("parent-440", {440, 0.5, 0.5, 12});
  const std::string otherTone = toneFile("other-1000", {1000, 0.5, 0.5, 1.5});
  const std::string playerLog = session.directory() + "/parent-player.log";
  const std::string pidFile = session.directory() + "/sysaudio.pid";
  ProcessOptions options = client();
  options.stdinPipe = true;
  // $pid_namespace starts a command as pid 1 of a pid namespace of its own. A user namespace is
  // asked for only where it is needed, without root: the kernel refuses one to a process in a
  // chroot, as the tests run in the fresh-machine check, and there they run as root.
  const std::string script =
      R"sh(pid_namespace="unshare --pid --fork --mount-proc"; [ "$(id -u)" = 0 ] || )sh"
      R"(pid_namespace="unshare --user --map-root-user --pid --fork --mount-proc"; )" +
      std::string(GetParam().script);
  Process parent({"sh", "-c", script, binary, parentTone, playerLog, pidFile}, options);
  // sysaudio is not the test's child: what became of it can only be looked up.
  const auto sysaudioState = [&pidFile] { return "sysaudio " + processState(pidFile); };
  ASSERT_TRUE(becameReady(parent));
  parent.writeStdin("\n");
  ASSERT_TRUE(session.waitForPlayback(parentTone, soundTimeout)) << fileContents(playerLog);

  Process other({"pw-play", otherTone}, otherApplication());
  ASSERT_TRUE(endedWell(other));
  ASSERT_TRUE(moreOutput(parent, defaultRate * 3 / 10)) << sysaudioState();
  // The parent's tone still plays, so it played all through the other one.
  ASSERT_TRUE(session.waitForPlayback(parentTone, 0ms)) << fileContents(playerLog);
  const ProcessOutput output = parent.snapshot();

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  const std::vector<double> other1000 = testing::blockAmplitudes(samples, defaultRate, 1000);
  const std::vector<double> parent440 = testing::blockAmplitudes(samples, defaultRate, 440);
  const std::vector<std::size_t> blocks = innerBlocksAbove(other1000, 0.25);
  ASSERT_GE(blocks.size(), 8u) << "the other application's 1 kHz did not come through";
  EXPECT_NEAR(median(other1000, blocks), 0.5, 0.025);
  EXPECT_TRUE(testing::continuous(testing::samplesOfBlocks(samples, blocks, defaultRate),
                                  defaultRate, 1000));
  double strongest440 = 0;
  for (const std::size_t block : blocks) {
    strongest440 = std::max(strongest440, parent440[block]);
  }
  std::cout << "other 1 kHz: " << median(other1000, blocks) << " in " << blocks.size()
            << " blocks; parent's 440 Hz: " << strongest440 << " at most\n";
  // 1 % of the parent's amplitude.
  EXPECT_LT(strongest440, 0.005) << "the parent's 440 Hz came through";
  EXPECT_EQ(output.err, "ready\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Parents, ParentExclusionTest,
    ::testing::Values(
        ExclusionCase{"ParentPlaysThroughPipeWire",
                      R"("$0" & echo $! >"$3"; exec pw-play "$1" >"$2" 2>&1)"},
        ExclusionCase{"ParentPlaysThroughPulseAudio",
                      R"("$0" & echo $! >"$3"; exec paplay "$1" >"$2" 2>&1)"},
        ExclusionCase{"ChildOfTheParentPlays",
                      R"("$0" & echo $! >"$3"; pw-play "$1" >"$2" 2>&1 & wait)"},
        // The inner shell does not exec its player, which so is a grandchild of the parent.
        ExclusionCase{
            "GrandchildStartedAfterReadyPlays",
            R"("$0" & echo $! >"$3"; read -r _; sh -c 'pw-play "$0"; :' "$1" >"$2" 2>&1 & wait)"},
        // The player is pid 1 of a pid namespace of its own, and says so; the server knows its
        // real pid, a child of the parent.
        ExclusionCase{"ChildInAPidNamespacePlays", R"("$0" & echo $! >"$3"; )"
                                                   R"(exec $pid_namespace )"
                                                   R"(pw-play "$1" >"$2" 2>&1)"},
        // sysaudio runs in a pid namespace whose pid 1 is its parent, as in a container
        // without an init: the parent, then the player it becomes, is pid 1.
        ExclusionCase{"ParentIsPidOnePlaysThroughPipeWire",
                      R"(exec $pid_namespace sh -c ')"
                      R"("$0" & echo $! >"$3"; exec pw-play "$1" >"$2" 2>&1' "$0" "$1" "$2" "$3")"},
        ExclusionCase{"ParentIsPidOnePlaysThroughPulseAudio",
                      R"(exec $pid_namespace sh -c ')"
                      R"("$0" & echo $! >"$3"; exec paplay "$1" >"$2" 2>&1' "$0" "$1" "$2" "$3")"}),
    [](const auto& info) { return std::string(info.param.name); });

// sysaudio started from an interactive shell, as a user does from a terminal: the shell is its
// parent, and what the user then plays from the same shell runs as a job of its own, in a
// process group of its own, and is captured. The shell runs on a pseudo-terminal, so that it
// has job control; sysaudio writes to files, since a terminal would not carry its samples
// unchanged.
TEST_F(SysaudioE2eTest, AJobOfTheInteractiveShellThatStartedItIsCaptured) {
  const std::string tone = toneFile("job-1000", {1000, 0.5, 0.5, 3, 0.3});
  const std::string samplesFile = session.directory() + "/samples.f32";
  const std::string statusFile = session.directory() + "/status.txt";
  ProcessOptions options = client();
  options.stdinPipe = true;
  Process shell({"script", "-qfec", "bash --norc --noprofile -i", "/dev/null"}, options);
  shell.writeStdin("'" + binary + "' >'" + samplesFile + "' 2>'" + statusFile + "' &\n");
  const auto deadline = SteadyClock::now() + readyTimeout;
  while (fileContents(statusFile).empty() && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(fileContents(statusFile), "ready\n") << printable(shell.snapshot().out);
  shell.writeStdin("pw-play '" + tone + "'; echo player ended: $?\n");
  ASSERT_TRUE(shell.waitUntil(
      [](const ProcessOutput& output) {
        return output.out.find("player ended: 0") != std::string::npos;
      },
      playerTimeout))
      << printable(shell.snapshot().out);
  const std::size_t played = fileContents(samplesFile).size();
  while (fileContents(samplesFile).size() < played + defaultRate / 4 * sizeof(float) &&
         SteadyClock::now() < deadline + playerTimeout) {
    std::this_thread::sleep_for(50ms);
  }
  shell.writeStdin("kill %1; exit\n");

  const std::vector<float> samples = testing::wholeSamplesOf(fileContents(samplesFile));
  const std::vector<double> job1000 = testing::blockAmplitudes(samples, defaultRate, 1000);
  const std::vector<std::size_t> blocks = innerBlocksAbove(job1000, 0.25);
  std::cout << "the job's 1 kHz: " << median(job1000, blocks) << " in " << blocks.size()
            << " blocks\n";
  ASSERT_GE(blocks.size(), 20u) << "the shell's job was left out";
  EXPECT_NEAR(median(job1000, blocks), 0.5, 0.025);
  EXPECT_TRUE(testing::continuous(testing::samplesOfBlocks(samples, blocks, defaultRate),
                                  defaultRate, 1000));
}

// Streams that appear while sysaudio runs, from a native and from a PulseAudio client, come
// through, and at the same time they add up.
TEST_F(SysaudioE2eTest, StreamsStartingAfterReadyAreCapturedAndMixed) {
  constexpr int rate = 48000;
  const std::string firstTone = toneFile("first-1000", {1000, 0.5, 0.5, 8});
  const std::string secondTone = toneFile("second-440", {440, 0.5, 0.5, 2});
  Process sysaudio({binary, std::to_string(rate)}, client());
  ASSERT_TRUE(becameReady(sysaudio));

  Process first({"pw-play", firstTone}, otherApplication());
  ASSERT_TRUE(heardFor(sysaudio, rate, 0.5));
  Process second({"paplay", secondTone}, otherApplication());
  ASSERT_TRUE(endedWell(second));
  // Some of the first tone alone after the second one, to see that it did not stop.
  ASSERT_TRUE(moreOutput(sysaudio, rate * 6 / 10));
  const ProcessOutput output = stopped(sysaudio);

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  const std::vector<double> first1000 = testing::blockAmplitudes(samples, rate, 1000);
  const std::vector<double> second440 = testing::blockAmplitudes(samples, rate, 440);
  const std::vector<std::size_t> both = innerBlocksAbove(second440, 0.25);
  ASSERT_GE(both.size(), 12u) << "the second stream did not come through";
  // A player that misses its deadline on a loaded machine leaves a gap of a block or two in its
  // own tone; more than that is the mix losing audio.
  std::size_t mixed = 0;
  for (const std::size_t block : both) {
    mixed += std::abs(second440[block] - 0.5) < 0.025 && std::abs(first1000[block] - 0.5) < 0.025;
  }
  EXPECT_GE(static_cast<double>(mixed), 0.8 * static_cast<double>(both.size()))
      << "blocks holding both tones at 0.5: " << mixed << " of " << both.size();
  // The first stream alone, before and after the second one.
  const auto blocksAlone = [&](std::size_t from, std::size_t to) {
    std::size_t count = 0;
    for (std::size_t block = from; block < to; ++block) {
      count += std::abs(first1000[block] - 0.5) < 0.025 && second440[block] < 0.005 ? 1 : 0;
    }
    return count;
  };
  EXPECT_GE(blocksAlone(0, both.front()), 2u);
  EXPECT_GE(blocksAlone(both.back() + 1, first1000.size()), 2u);
  // Each tone runs on whole, the first one through the second one's start and end.
  EXPECT_TRUE(testing::continuous(
      testing::samplesOfBlocks(samples, innerBlocksAbove(first1000, 0.25), rate), rate, 1000));
  EXPECT_TRUE(testing::continuous(testing::samplesOfBlocks(samples, both, rate), rate, 440));
  EXPECT_EQ(output.err, "ready\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
}

// Clients that connect and leave at once (a volume applet's pactl, a pw-cli call) are everyday
// traffic on a desktop: their objects come and go while sysaudio looks at them, and the capture
// must go on. Bursts of them, side by side, from another application.
TEST_F(SysaudioE2eTest, ClientsComingAndGoingDoNotStopTheCapture) {
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  Process clients({"sh", "-c",
                   "for round in $(seq 20); do"
                   "  for client in 1 2 3 4 5 6 7 8; do"
                   "    pw-cli info 0 >/dev/null 2>&1 & pactl info >/dev/null 2>&1 &"
                   "  done; wait; "
                   "done"},
                  otherApplication());
  ASSERT_TRUE(endedWell(clients));
  EXPECT_TRUE(aNewToneComesThrough(sysaudio, defaultRate, 1000));
  const ProcessOutput output = sysaudio.snapshot();
  EXPECT_FALSE(output.ended) << statusText(output);
  EXPECT_EQ(output.err, "ready\n");
}

TEST_F(SysaudioE2eTest, WhileNothingPlaysBlocksOfZerosKeepComing) {
  constexpr int rate = 44100;
  constexpr std::size_t block = rate / 20;
  constexpr auto window = 1500ms;
  Process sysaudio({binary, std::to_string(rate)}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  const auto readyAt = sysaudio.snapshot().errArrivals.front().at;
  ASSERT_TRUE(sysaudio.waitUntil(
      [&](const ProcessOutput& output) {
        return !output.outArrivals.empty() &&
               output.outArrivals.back().at - output.outArrivals.front().at >= window;
      },
      readyTimeout));
  const ProcessOutput output = stopped(sysaudio);

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.0f; }));
  // A block may reach the pipe in pieces, and the kill that ends sysaudio may fall between two
  // of them; but wherever the stream pauses, whole blocks came before.
  const auto& arrivals = output.outArrivals;
  constexpr std::size_t blockBytes = block * sizeof(float);
  std::size_t pauses = 0;
  std::vector<std::size_t> misaligned;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    if (arrivals[i].at - arrivals[i - 1].at >= 30ms) {
      ++pauses;
      if (arrivals[i - 1].total % blockBytes != 0) {
        misaligned.push_back(arrivals[i - 1].total / sizeof(float));
      }
    }
  }
  EXPECT_GE(pauses, 9u) << "the zeros do not come in blocks";
  EXPECT_TRUE(misaligned.empty()) << "the stream paused " << misaligned.size()
                                  << " times inside a block of " << block
                                  << " samples, first after " << misaligned.front() << " samples";
  // Each block takes 50 ms to play and one comes every 50 to 100 ms: 15 to 30 in the window,
  // with room for a late timer on a loaded machine and a read that ends just inside it.
  const auto start = arrivals.front().at;
  std::size_t bytesInWindow = 0;
  for (const auto& arrival : arrivals) {
    if (arrival.at - start <= window) {
      bytesInWindow = arrival.total;
    }
  }
  const double blocksInWindow =
      static_cast<double>(bytesInWindow) / static_cast<double>(blockBytes);
  EXPECT_GE(blocksInWindow, 10);
  EXPECT_LE(blocksInWindow, 33);
  // Most blocks, not all: a loaded machine makes the odd one late and the next one early, and
  // two blocks read at once arrive together; so too often is judged on the median.
  std::vector<SteadyClock::time_point> blockEnds;
  for (const auto& arrival : arrivals) {
    testing::noteWholeBlocks(blockEnds, arrival.total, blockBytes, arrival.at);
  }
  const std::vector<double> spacings = testing::spacingsInMilliseconds(blockEnds);
  EXPECT_GE(testing::percentile(spacings, 0.5), 30.0) << testing::listed(spacings);
  EXPECT_LE(testing::percentile(spacings, 0.9), 130.0) << testing::listed(spacings);
  // The reader never waits long: not for the first block, nor between two.
  EXPECT_LT(seconds(start - readyAt), 1.0);
  double longestGap = 0;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    longestGap = std::max(longestGap, seconds(arrivals[i].at - arrivals[i - 1].at));
  }
  EXPECT_LT(longestGap, 0.3);
  EXPECT_EQ(output.err, "ready\n");
}

// A tone played after ready comes through at the requested rate, and whole: a second of it takes
// rate samples, it spans its full length without a gap, and no sample inside it is lost or
// repeated (but for a graph cycle that the machine made sysaudio miss). From the lowest rate to the
// highest, and whatever the graph's quantum, up to the largest the server allows: at 8192 frames of
// 48 kHz a cycle of a 192 kHz capture is 32768 frames, four times the converter's default.
class SampleRateTest : public SysaudioE2eTest,
                       public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(SampleRateTest, APlayedToneComesThroughWholeAtTheRequestedRate) {
  const auto [rate, quantum] = GetParam();
  constexpr double toneSeconds = 2;
  session.forceQuantum(quantum);
  // The stream plays for a while before it is linked, more so on a loaded machine: the lead-in
  // gives sysaudio time to link it before the tone begins.
  const std::string tone = toneFile("tone", {1000, 0.5, 0.5, toneSeconds, 0.5, 0.005});
  Process sysaudio({binary, std::to_string(rate)}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  // paplay, since pw-play 0.3.65 leaves out its file's last 1.75 quanta when the graph runs
  // at 1024 frames: the sink gets 37 ms less than the file holds.
  Process player({"paplay", tone}, otherApplication());
  ASSERT_TRUE(endedWell(player));
  ASSERT_TRUE(quietFor(sysaudio, rate, 0.3));
  const ProcessOutput output = stopped(sysaudio);

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  const Region sound = *testing::soundingRegion(samples, loud);
  const auto steady = part(samples, testing::inner(sound, static_cast<std::size_t>(rate / 10)));
  // The tone is 1000 Hz only if rate samples make a second: this holds the rate to 1 %.
  EXPECT_NEAR(testing::zeroCrossingFrequency(steady, rate), 1000, 10);
  EXPECT_NEAR(testing::toneAmplitude(steady, rate, 1000), 0.5, 0.015);
  // The null sink's monitor holds this tone from its first to its last sample to within a
  // millisecond, and the fades take 2 ms more or less; 1 % of its length is 20 ms.
  EXPECT_NEAR(static_cast<double>(sound.size()) / rate, toneSeconds, 0.01 * toneSeconds)
      << "seconds from the first to the last sound of a " << toneSeconds << " s tone";
  // A sine at 0.5 is this close to zero for well under a sample; 2 ms would be a gap.
  EXPECT_LT(testing::longestQuietRun(steady, 0.01), static_cast<std::size_t>(rate / 500));
  EXPECT_TRUE(testing::continuous(steady, rate, 1000));
  EXPECT_EQ(output.err, "ready\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
}

INSTANTIATE_TEST_SUITE_P(RatesAndQuanta, SampleRateTest,
                         ::testing::Combine(::testing::Values(8000, 16000, 44100, 48000, 192000),
                                            ::testing::Values(256, 1024, 8192)),
                         [](const auto& info) {
                           return "Hz" + std::to_string(std::get<0>(info.param)) + "Quantum" +
                                  std::to_string(std::get<1>(info.param));
                         });

// The server goes away in the middle of a capture, by a crash or by a clean shutdown.
class ServerGoneTest : public SysaudioE2eTest, public ::testing::WithParamInterface<int> {};

TEST_P(ServerGoneTest, EndsWithCaptureStoppedError) {
  const std::string tone = toneFile("tone", {1000, 0.5, 0.5, 20});
  Process player({"pw-play", tone}, otherApplication());
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  ASSERT_TRUE(heardFor(sysaudio, defaultRate, 0.3));

  session.signal(Daemon::pipewire, GetParam());
  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  const ProcessOutput output = sysaudio.snapshot();
  ASSERT_TRUE(output.ended) << "still running " << seconds(prompt)
                            << " s after the server went; standard error " << printable(output.err);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code(), 1) << status->describe();
  constexpr std::string_view expected = "ready\nerror: capture stopped: ";
  EXPECT_TRUE(output.err.starts_with(expected) && output.err.size() > expected.size() + 1 &&
              output.err.ends_with('\n') && std::ranges::count(output.err, '\n') == 2)
      << printable(output.err);
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServerGoneTest, ::testing::Values(SIGKILL, SIGTERM),
                         [](const auto& info) {
                           return std::string(info.param == SIGKILL ? "Killed" : "Terminated");
                         });

// No server at all: the runtime directory is empty.
class NoServerTest : public ::testing::TestWithParam<bool> {};

TEST_P(NoServerTest, EndsWithOneErrorLineAtOnce) {
  const bool remoteNamed = GetParam();
  TemporaryDirectory runtime;
  std::vector<std::string> environment = testing::environmentWithoutAudioSession();
  environment.push_back("XDG_RUNTIME_DIR=" + runtime.path());
  environment.push_back("PIPEWIRE_RUNTIME_DIR=" + runtime.path());
  environment.push_back("PULSE_SERVER=unix:" + runtime.path() + "/pulse/native");
  environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime.path() + "/bus");
  if (remoteNamed) {
    environment.push_back("PIPEWIRE_REMOTE=" + runtime.path() + "/pipewire-0");
  }
  Process sysaudio({binary}, {.environment = environment});
  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  const ProcessOutput output = sysaudio.snapshot();
  ASSERT_TRUE(output.ended) << "still running after " << seconds(prompt) << " s";
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code(), 1) << status->describe();
  EXPECT_TRUE(output.err.starts_with("error: ") && output.err.size() > 8 &&
              output.err.ends_with('\n') && std::ranges::count(output.err, '\n') == 1)
      << printable(output.err);
  EXPECT_EQ(output.out, "");
}

INSTANTIATE_TEST_SUITE_P(Remote, NoServerTest, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "NamedByPipewireRemote" : "DefaultSocket");
});

TEST(NoOutputDeviceTest, EndsWithNoDisplayFound) {
  AudioSession session({.withSink = false});
  Process sysaudio({binary}, {.environment = session.environment()});
  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  const ProcessOutput output = sysaudio.snapshot();
  ASSERT_TRUE(output.ended) << "still running after " << seconds(prompt) << " s; standard error "
                            << printable(output.err);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->code(), 1) << status->describe();
  EXPECT_EQ(output.err, "error: no display found\n");
  EXPECT_EQ(output.out, "");
}

}  // namespace
}  // namespace sysaudio
