// The audio graph of real desktops, against real PipeWire sessions (each test starts a private
// one, as in sysaudio_e2e_test): virtual devices and filters between the applications and the
// output device, output devices of other channel layouts and a switch between them in the middle
// of a stream, and links into sysaudio that someone else removes.
//
// The test process is sysaudio's parent. Its own players stay in its process group, as an
// application's helpers do, and must be left out; detached players stand for other applications.
// Each stream plays a frequency of its own, whose level is measured in the captured mono stream.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end.h"

namespace sysaudio {
namespace {

using namespace std::chrono_literals;
using testing::becameReady;
using testing::ChannelTone;
using testing::defaultRate;
using testing::endedWell;
using testing::moreOutput;
using testing::printable;
using testing::Process;
using testing::ProcessOutput;
using testing::statusText;
using testing::stopped;
using testing::toneFileRate;

const std::string binary = SYSAUDIO_BINARY;
const std::string outputDevice = "audio_session_sink";

// 1 % of a 0.5 tone: a stream that is left out shows no more than the leakage of the others.
constexpr double absent = 0.005;
// ±0.5 dB.
const double lowestSameLevel = std::pow(10.0, -0.5 / 20);
const double highestSameLevel = std::pow(10.0, 0.5 / 20);
// +1 dB.
const double highestAtSwitch = std::pow(10.0, 1.0 / 20);

// A tone's level: the median over the blocks in which it sounds.
struct ToneLevel {
  std::vector<double> blocks;  // the amplitude of every block of the output
  std::vector<std::size_t> sounding;
  double median = 0;
  // The sounding blocks within 10 % of the median: those in which the stream played without a
  // hitch, as a player that misses a cycle on a loaded machine leaves a gap in its tone.
  std::vector<std::size_t> steady;
};

ToneLevel levelOf(const std::vector<float>& samples, double frequency, double threshold) {
  ToneLevel level;
  level.blocks = testing::blockAmplitudes(samples, defaultRate, frequency);
  level.sounding = testing::innerBlocksAbove(level.blocks, threshold);
  level.median = testing::median(level.blocks, level.sounding);
  for (const std::size_t block : level.sounding) {
    if (std::abs(level.blocks[block] - level.median) <= 0.1 * level.median) {
      level.steady.push_back(block);
    }
  }
  return level;
}

// How much a tone of frequency shows, at most, among the given blocks: what it adds above the
// mean of the frequencies 60 Hz below and above it, where the gaps of other tones spread some of
// their energy too.
double strongestIn(const std::vector<float>& samples, double frequency,
                   const std::vector<std::size_t>& blocks) {
  const std::vector<double> at = testing::blockAmplitudes(samples, defaultRate, frequency);
  const std::vector<double> below = testing::blockAmplitudes(samples, defaultRate, frequency - 60);
  const std::vector<double> above = testing::blockAmplitudes(samples, defaultRate, frequency + 60);
  double strongest = 0;
  for (const std::size_t block : blocks) {
    strongest = std::max(strongest, at.at(block) - (below.at(block) + above.at(block)) / 2);
  }
  return strongest;
}

// The other application's 1 kHz comes through once, at its 0.5 and whole, and the tone of
// frequency leftOut (whose is says whose) does not, in any block where the other plays without a
// hitch.
void expectOnlyTheOtherTone(const std::vector<float>& samples, double leftOut,
                            const std::string& whose) {
  const ToneLevel other = levelOf(samples, 1000, 0.25);
  const double strongest = strongestIn(samples, leftOut, other.steady);
  std::cout << "other 1 kHz: " << other.median << " in " << other.sounding.size() << " blocks ("
            << other.steady.size() << " steady); " << whose << " " << leftOut
            << " Hz: " << strongest << " at most\n";
  ASSERT_GE(other.steady.size(), 8u) << "the other application's 1 kHz did not come through";
  EXPECT_NEAR(other.median, 0.5, 0.025) << "the other application's stream, counted once";
  EXPECT_TRUE(testing::continuous(testing::samplesOfBlocks(samples, other.sounding, defaultRate),
                                  defaultRate, 1000));
  EXPECT_LT(strongest, absent) << whose << " " << leftOut << " Hz came through";
}

::testing::AssertionResult sameLevel(double measured, double expected) {
  const double ratio = measured / expected;
  if (ratio >= lowestSameLevel && ratio <= highestSameLevel) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "level " << measured << " where " << expected
                                       << " was expected (" << 20 * std::log10(ratio) << " dB)";
}

class DesktopTest : public testing::EndToEndTest {
 protected:
  // A node of this name shows in `pactl list short sinks` (or sources).
  ::testing::AssertionResult deviceAppears(const std::string& name,
                                           const std::string& kind = "sinks") const {
    return toolShows({"pactl", "list", "short", kind}, "\t" + name + "\t");
  }

  // A null output device of the given pulse channel map.
  void makeDevice(const std::string& name, int channels, const std::string& channelMap) {
    tool({"pactl", "load-module", "module-null-sink", "sink_name=" + name,
          "channels=" + std::to_string(channels), "channel_map=" + channelMap});
    ASSERT_TRUE(deviceAppears(name));
  }

  // Writes a WAV file of the channels' tones in the session's directory and returns its path.
  std::string channelsFile(const std::string& name, const std::vector<ChannelTone>& channels,
                           double seconds) const {
    const std::string path = tonePath(name);
    testing::writeWav(path, toneFileRate, static_cast<int>(channels.size()),
                      testing::channelSamples(channels, seconds, 0.01, toneFileRate));
    return path;
  }

  // Waits until the link ("output port -> sysaudio's input port") is among those into sysaudio.
  ::testing::AssertionResult linkedIntoSysaudio(const std::string& link) const {
    const auto deadline = testing::SteadyClock::now() + testing::soundTimeout;
    std::vector<std::string> links;
    while (testing::SteadyClock::now() < deadline) {
      links = linksIntoSysaudio();
      if (std::ranges::find(links, link) != links.end()) {
        return ::testing::AssertionSuccess();
      }
      std::this_thread::sleep_for(100ms);
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "no link " << link << " among the " << links.size() << " into sysaudio";
    return failure;
  }

  // Links into sysaudio as `pw-link -l` lists them: "output port -> sysaudio's input port".
  std::vector<std::string> linksIntoSysaudio() const {
    std::istringstream listing(tool({"pw-link", "-l"}));
    std::vector<std::string> links;
    std::string port;
    for (std::string line; std::getline(listing, line);) {
      if (!line.starts_with(" ")) {
        port = line;
      } else if (const auto arrow = line.find("|-> sysaudio:"); arrow != std::string::npos) {
        links.push_back(port + " -> " + line.substr(arrow + 4));
      }
    }
    return links;
  }
};

// A virtual device or filter between the applications and the output device: the parent's
// stream and another application's play into it.
struct VirtualDeviceCase {
  const char* name;
  // Sets the device up and returns the name of the node to play into.
  std::function<std::string(DesktopTest&)> setUp;
};

void PrintTo(const VirtualDeviceCase& device, std::ostream* out) {
  *out << device.name;
}

class VirtualDeviceTest : public DesktopTest,
                          public ::testing::WithParamInterface<VirtualDeviceCase> {
 public:
  std::string loadModule(const std::vector<std::string>& arguments, const std::string& sink) {
    std::vector<std::string> argv = {"pactl", "load-module"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    tool(argv);
    EXPECT_TRUE(deviceAppears(sink));
    return sink;
  }

  // A filter chain of one builtin copy per channel, run as a process of its own, the way
  // desktops run their effect chains.
  std::string startFilterChain() {
    const std::string config = session.directory() + "/copy-filter.conf";
    std::ofstream(config) << R"(
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.*       = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-filter-chain
    args = {
      node.description = "Copy filter"
      filter.graph = { nodes = [ { type = builtin name = copy label = copy } ] }
      audio.channels = 2
      audio.position = [ FL FR ]
      capture.props = { node.name = "copy_filter" media.class = Audio/Sink }
      playback.props = { node.name = "copy_filter.output" node.passive = true }
    }
  }
]
)";
    filterChain_.emplace(std::vector<std::string>{"pipewire", "-c", config}, otherApplication());
    EXPECT_TRUE(deviceAppears("copy_filter"));
    return "copy_filter";
  }

 private:
  std::optional<Process> filterChain_;
};

TEST_P(VirtualDeviceTest, TheParentStaysOutAndTheOtherStreamComesOnce) {
  const std::string target = GetParam().setUp(*this);
  ASSERT_FALSE(HasFailure());
  const std::string parentTone = toneFile("parent-440", {440, 0.5, 0.5, 4, 0.3});
  const std::string otherTone = toneFile("other-1000", {1000, 0.5, 0.5, 3, 0.3});
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  Process parentPlayer({"pw-play", "--target", target, parentTone}, parentHelper());
  Process otherPlayer({"pw-play", "--target", target, otherTone}, otherApplication());
  ASSERT_TRUE(endedWell(otherPlayer));
  ASSERT_TRUE(moreOutput(sysaudio, defaultRate * 3 / 10));
  const ProcessOutput output = stopped(sysaudio);

  expectOnlyTheOtherTone(testing::wholeSamplesOf(output.out), 440, "the parent's");
  EXPECT_EQ(output.err, "ready\n");
}

INSTANTIATE_TEST_SUITE_P(
    Devices, VirtualDeviceTest,
    ::testing::Values(
        VirtualDeviceCase{"RemapSink",
                          [](DesktopTest& test) {
                            return static_cast<VirtualDeviceTest&>(test).loadModule(
                                {"module-remap-sink", "sink_name=remapped",
                                 "master=" + outputDevice},
                                "remapped");
                          }},
        VirtualDeviceCase{"FilterChainSink",
                          [](DesktopTest& test) {
                            return static_cast<VirtualDeviceTest&>(test).startFilterChain();
                          }},
        VirtualDeviceCase{"EchoCancellerSink",
                          [](DesktopTest& test) {
                            return static_cast<VirtualDeviceTest&>(test).loadModule(
                                {"module-echo-cancel", "aec_method=webrtc",
                                 "sink_name=echo_cancel_sink", "source_name=echo_cancel_source",
                                 "sink_master=" + outputDevice},
                                "echo_cancel_sink");
                          }},
        VirtualDeviceCase{"CombineSink",
                          [](DesktopTest& test) {
                            return static_cast<VirtualDeviceTest&>(test).loadModule(
                                {"module-combine-sink", "sink_name=combined"}, "combined");
                          }},
        // Two virtual devices between the streams and the output device.
        VirtualDeviceCase{"RemapSinkIntoEchoCanceller",
                          [](DesktopTest& test) {
                            auto& self = static_cast<VirtualDeviceTest&>(test);
                            self.loadModule(
                                {"module-echo-cancel", "aec_method=webrtc",
                                 "sink_name=echo_cancel_sink", "source_name=echo_cancel_source",
                                 "sink_master=" + outputDevice},
                                "echo_cancel_sink");
                            return self.loadModule({"module-remap-sink", "sink_name=remapped",
                                                    "master=echo_cancel_sink"},
                                                   "remapped");
                          }}),
    [](const auto& info) { return std::string(info.param.name); });

// Audio that reaches the output device from a capture device rather than from an application,
// here a "microphone" (a node of class Audio/Source playing a 700 Hz tone) looped back to the
// output device, is left out: it is no application's stream, and the loopback's playback half
// is never linked. An application's stream beside it comes through.
TEST_F(DesktopTest, AMicrophoneLoopedBackIsLeftOut) {
  const std::string microphoneTone = toneFile("microphone-700", {700, 0.4, 0.4, 8});
  const std::string otherTone = toneFile("other-1000", {1000, 0.5, 0.5, 3, 0.3});
  Process microphone({"pw-play", "-P", "{ media.class = Audio/Source node.name = test_microphone }",
                      microphoneTone},
                     otherApplication());
  ASSERT_TRUE(deviceAppears("test_microphone", "sources"));
  tool({"pactl", "load-module", "module-loopback", "source=test_microphone",
        "sink=" + outputDevice});
  ASSERT_TRUE(toolShows({"pw-link", "-l"}, "test_microphone:capture_FL\n  |-> input.loopback"));
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  Process otherPlayer({"pw-play", otherTone}, otherApplication());
  ASSERT_TRUE(endedWell(otherPlayer));
  ASSERT_TRUE(moreOutput(sysaudio, defaultRate * 3 / 10));
  const ProcessOutput output = stopped(sysaudio);

  expectOnlyTheOtherTone(testing::wholeSamplesOf(output.out), 700, "the microphone's");
  EXPECT_EQ(output.err, "ready\n");
}

// Streams of three layouts at once: a mono one, an off-centre stereo one and a true 5.1 one with
// a tone of its own on each channel. Each tone's level is what the same stream gives on a
// stereo device, where the server's own downmix takes the centre and the surrounds at -3 dB and
// the LFE at -9 dB; the stereo device's case holds that downmix to those figures.
struct LayoutTone {
  const char* name;
  double frequency;
  double level;  // in the captured mono stream
};

const double minus3dB = std::sqrt(0.5);
const double minus9dB = std::sqrt(0.125);

const std::vector<LayoutTone> layoutTones = {
    {"mono source", 400, 0.3},
    {"stereo source", 600, (0.3 + 0.1) / 2},
    {"5.1 source, FL", 800, 0.2 / 2},
    {"5.1 source, FR", 1000, 0.2 / 2},
    {"5.1 source, FC", 1200, 0.2 * minus3dB},
    {"5.1 source, LFE", 100, 0.2 * minus9dB},
    {"5.1 source, RL", 1400, 0.2 * minus3dB / 2},
    {"5.1 source, RR", 1600, 0.2 * minus3dB / 2},
};

class LayoutTest : public DesktopTest {
 protected:
  struct Sources {
    std::string mono;
    std::string stereo;
    std::string surround;
  };

  Sources writeSources(double seconds) {
    return {
        channelsFile("mono", {{400, 0.3}}, seconds),
        channelsFile("stereo", {{600, 0.3}, {600, 0.1}}, seconds),
        channelsFile("surround",
                     {{800, 0.2}, {1000, 0.2}, {1200, 0.2}, {100, 0.2}, {1400, 0.2}, {1600, 0.2}},
                     seconds)};
  }

  // Players of the three sources, as other applications; target empty: the default device.
  std::vector<std::unique_ptr<Process>> play(const Sources& sources, const std::string& target) {
    std::vector<std::string> to;
    if (!target.empty()) {
      to = {"--target", target};
    }
    std::vector<std::vector<std::string>> commands = {
        {"pw-play"}, {"pw-play"}, {"pw-play", "--channel-map", "FL,FR,FC,LFE,RL,RR"}};
    const std::vector<std::string> files = {sources.mono, sources.stereo, sources.surround};
    std::vector<std::unique_ptr<Process>> players;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      commands[i].insert(commands[i].end(), to.begin(), to.end());
      commands[i].push_back(files[i]);
      players.push_back(std::make_unique<Process>(commands[i], otherApplication()));
    }
    return players;
  }
};

struct DeviceLayout {
  const char* name;
  int channels;
  const char* channelMap;  // none: the session's own stereo device
};

void PrintTo(const DeviceLayout& layout, std::ostream* out) {
  *out << layout.name;
}

class DeviceLayoutTest : public LayoutTest, public ::testing::WithParamInterface<DeviceLayout> {};

TEST_P(DeviceLayoutTest, EveryStreamKeepsItsStereoDeviceLevel) {
  const DeviceLayout& layout = GetParam();
  std::string device = outputDevice;
  if (layout.channelMap != nullptr) {
    device = "layout_sink";
    makeDevice(device, layout.channels, layout.channelMap);
  }
  const Sources sources = writeSources(3);
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  for (const auto& player : play(sources, device)) {
    ASSERT_TRUE(endedWell(*player));
  }
  ASSERT_TRUE(moreOutput(sysaudio, defaultRate * 3 / 10));
  const ProcessOutput output = stopped(sysaudio);

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  for (const LayoutTone& tone : layoutTones) {
    const ToneLevel level = levelOf(samples, tone.frequency, tone.level / 2);
    std::cout << tone.name << ": " << level.median << " for " << tone.level << " in "
              << level.sounding.size() << " blocks\n";
    EXPECT_GE(level.sounding.size(), 15u) << tone.name << " did not come through";
    EXPECT_TRUE(sameLevel(level.median, tone.level)) << tone.name;
    EXPECT_TRUE(testing::continuous(testing::samplesOfBlocks(samples, level.sounding, defaultRate),
                                    defaultRate, tone.frequency))
        << tone.name;
  }
  EXPECT_EQ(output.err, "ready\n");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DeviceLayoutTest,
    ::testing::Values(DeviceLayout{"Mono", 1, "mono"}, DeviceLayout{"Stereo", 2, nullptr},
                      DeviceLayout{"Surround51", 6,
                                   "front-left,front-right,front-center,lfe,rear-left,rear-right"},
                      DeviceLayout{"Surround71", 8,
                                   "front-left,front-right,front-center,lfe,rear-left,rear-right,"
                                   "side-left,side-right"}),
    [](const auto& info) { return std::string(info.param.name); });

// The streams follow the default device as it changes from stereo to 5.1, 7.1 and mono while
// they play: their ports are made anew each time, and the level holds throughout, with no moment
// of links doubled. The players are still playing when the capture ends.
TEST_F(LayoutTest, TheLevelHoldsAcrossSwitchesOfTheDefaultDevice) {
  const std::vector<std::pair<std::string, std::string>> devices = {
      {"surround51", "front-left,front-right,front-center,lfe,rear-left,rear-right"},
      {"surround71",
       "front-left,front-right,front-center,lfe,rear-left,rear-right,side-left,"
       "side-right"},
      {"mono", "mono"}};
  for (const auto& [name, channelMap] : devices) {
    makeDevice(name, static_cast<int>(std::ranges::count(channelMap, ',') + 1), channelMap);
  }
  const Sources sources = writeSources(30);
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  const auto players = play(sources, "");
  std::vector<std::size_t> switches;
  std::vector<std::size_t> switched;  // where each switch had been made
  ASSERT_TRUE(moreOutput(sysaudio, defaultRate * 3 / 2));
  for (const auto& [name, channelMap] : devices) {
    tool({"pactl", "set-default-sink", name});
    switches.push_back(sysaudio.snapshot().out.size() / sizeof(float));
    ASSERT_TRUE(toolShows({"pw-link", "-l"}, "|-> " + name + ":playback_"));
    switched.push_back(sysaudio.snapshot().out.size() / sizeof(float));
    ASSERT_TRUE(moreOutput(sysaudio, defaultRate * 3 / 2));
  }
  const ProcessOutput output = stopped(sysaudio);
  for (const auto& player : players) {
    EXPECT_FALSE(player->hasEnded()) << "a player ended before the capture";
  }

  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  constexpr std::size_t block = defaultRate / 10;
  for (const LayoutTone& tone : layoutTones) {
    const ToneLevel level = levelOf(samples, tone.frequency, tone.level / 2);
    ASSERT_GE(level.sounding.size(), 50u) << tone.name << " did not come through";
    EXPECT_TRUE(sameLevel(level.median, tone.level)) << tone.name;
    // Blocks that hold a switch may miss a graph cycle or two of the stream, and the clicks of
    // the streams' gaps spread some energy to every frequency; but a graph cycle of links doubled
    // would raise such a block by more than 1 dB (by 5 dB at its centre). Any other block keeps
    // the level.
    std::vector<std::size_t> off;
    for (const std::size_t i : level.sounding) {
      const double ratio = level.blocks[i] / tone.level;
      const bool atSwitch = std::ranges::any_of(switches, [i](std::size_t at) {
        return i * block <= at + 2 * block && at <= (i + 1) * block + 2 * block;
      });
      const bool fits = atSwitch ? ratio <= highestAtSwitch
                                 : ratio >= lowestSameLevel && ratio <= highestSameLevel;
      if (!fits) {
        off.push_back(i);
      }
    }
    std::cout << tone.name << ": " << level.median << " for " << tone.level << " in "
              << level.sounding.size() << " blocks, " << off.size() << " off the level\n";
    EXPECT_TRUE(off.empty()) << tone.name << ": " << off.size()
                             << " blocks off the level, the first " << off.front() << " at "
                             << level.blocks[off.front()];
    // Between the switches, once sysaudio has linked the new ports (soon after the session
    // manager), the tone runs on whole.
    std::size_t begin = level.sounding.front() * block;
    for (std::size_t k = 0; k <= switches.size(); ++k) {
      const std::size_t end = k < switches.size()
                                  ? switches[k]
                                  : std::min((level.sounding.back() + 1) * block, samples.size());
      if (end > begin) {
        EXPECT_TRUE(testing::continuous(std::span<const float>(samples).subspan(begin, end - begin),
                                        defaultRate, tone.frequency))
            << tone.name << ", before switch " << k;
      }
      if (k < switches.size()) {
        begin = switched[k] + defaultRate / 2;
      }
    }
  }
  EXPECT_EQ(output.err, "ready\n");
}

// Someone removes the links into sysaudio (pw-link -d, as a patchbay or a policy would) while
// the streams play on: they are made again at once, and the stream loses no more than a moment;
// the parent's stream is never linked, then or later.
TEST_F(DesktopTest, LinksRemovedBySomeoneElseAreMadeAgain) {
  const std::string parentTone = toneFile("parent-440", {440, 0.5, 0.5, 8});
  const std::string otherTone = toneFile("other-1000", {1000, 0.5, 0.5, 6});
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  Process parentPlayer({"pw-play", "-P", "{ node.name = parent_player }", parentTone},
                       parentHelper());
  Process otherPlayer({"pw-play", "-P", "{ node.name = other_player }", otherTone},
                      otherApplication());
  ASSERT_TRUE(linkedIntoSysaudio("other_player:output_FR -> sysaudio:input_FR"))
      << "players: " << statusText(parentPlayer.snapshot()) << ", "
      << statusText(otherPlayer.snapshot());
  ASSERT_TRUE(moreOutput(sysaudio, defaultRate));
  std::vector<std::string> seen;
  // Twice, some time apart: each loss is answered at once.
  for (int round = 0; round < 2; ++round) {
    const std::vector<std::string> links = linksIntoSysaudio();
    EXPECT_EQ(links.size(), 2u) << "round " << round << ": " << printable(tool({"pw-link", "-l"}));
    seen.insert(seen.end(), links.begin(), links.end());
    std::istringstream listing(tool({"pw-link", "-l", "-I"}));
    for (std::string line; std::getline(listing, line);) {
      std::istringstream fields(line);
      std::string id;
      std::string arrow;
      if (fields >> id >> arrow && arrow == "|->" &&
          line.find(" sysaudio:input_") != std::string::npos) {
        tool({"pw-link", "-d", id});
      }
    }
    ASSERT_TRUE(moreOutput(sysaudio, defaultRate * 5 / 2));
  }
  ASSERT_TRUE(endedWell(otherPlayer));
  seen.push_back("after: ");
  for (const std::string& link : linksIntoSysaudio()) {
    seen.back() += link + "; ";
  }
  const ProcessOutput output = stopped(sysaudio);

  for (const std::string& link : seen) {
    EXPECT_EQ(link.find("parent_player"), std::string::npos) << link;
  }
  const std::vector<float> samples = testing::wholeSamplesOf(output.out);
  const ToneLevel other = levelOf(samples, 1000, 0.25);
  const double parent = strongestIn(samples, 440, other.steady);
  // Its 6 s arrived all but a moment, through the removals.
  const testing::Region sound = testing::inner(
      testing::soundingRegion(samples, 0.05).value_or(testing::Region{}), defaultRate / 20);
  const auto steady = std::span<const float>(samples).subspan(sound.begin, sound.size());
  const std::size_t gap = testing::longestQuietRun(steady, 0.01);
  std::cout << "other 1 kHz: " << other.median << " in " << other.sounding.size() << " blocks ("
            << other.steady.size() << " steady), sounding for "
            << static_cast<double>(sound.size()) / defaultRate << " s with a longest gap of "
            << static_cast<double>(gap) / defaultRate << " s; parent's 440 Hz: " << parent
            << " at most\n";
  ASSERT_GE(other.steady.size(), 40u) << "the other application's 1 kHz did not come through";
  EXPECT_NEAR(other.median, 0.5, 0.025);
  EXPECT_LT(parent, absent) << "the parent's 440 Hz came in";
  EXPECT_GT(sound.size(), static_cast<std::size_t>(5.5 * defaultRate));
  EXPECT_LT(gap, static_cast<std::size_t>(defaultRate / 10)) << "samples of silence in the stream";
  // A moment lost at each removal, and nothing else.
  EXPECT_TRUE(testing::continuous(steady, defaultRate, 1000, 2));
  EXPECT_EQ(output.err, "ready\n");
}

}  // namespace
}  // namespace sysaudio
