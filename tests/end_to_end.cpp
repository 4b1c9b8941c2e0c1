#include "end_to_end.h"

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <thread>

namespace sysaudio::testing {

double seconds(SteadyClock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

ProcessOutput outputOnce(const Process& process,
                         const std::function<bool(const ProcessOutput&)>& done,
                         std::chrono::milliseconds timeout) {
  process.waitUntil([&done](const ProcessOutput& output) { return done(output) || output.ended; },
                    timeout);
  return process.snapshot();
}

std::string fileContents(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

::testing::AssertionResult becameReady(const Process& sysaudio) {
  const ProcessOutput output = outputOnce(
      sysaudio,
      [](const ProcessOutput& output) { return output.err.find('\n') != std::string::npos; },
      readyTimeout);
  if (output.err.starts_with("ready\n")) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "no \"ready\" line; standard error "
                                       << printable(output.err) << ", " << statusText(output);
}

::testing::AssertionResult continuous(std::span<const float> samples, int rate, double frequency,
                                      std::size_t breaks) {
  const std::vector<PhaseSlip> slips = phaseSlips(samples, rate, frequency);
  const double seconds = static_cast<double>(samples.size()) / rate;
  const auto tolerated =
      toleratedPhaseSlips + breaks + static_cast<std::size_t>(seconds / secondsPerToleratedSlip);
  if (slips.size() <= tolerated) {
    return ::testing::AssertionSuccess();
  }
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << slips.size() << " phase slips (samples lost or repeated) in a tone of " << seconds
          << " s, where " << tolerated << " are tolerated:";
  for (const PhaseSlip& slip : slips) {
    failure << " " << slip.samples << " at " << slip.at << ";";
  }
  return failure;
}

::testing::AssertionResult endedWell(const Process& player) {
  const std::optional<ExitStatus> status = player.waitForExit(playerTimeout);
  if (status && status->exited() && status->code() == 0) {
    return ::testing::AssertionSuccess();
  }
  const ProcessOutput output = player.snapshot();
  return ::testing::AssertionFailure()
         << "player " << statusText(output) << "; output " << printable(output.out + output.err);
}

::testing::AssertionResult moreOutput(const Process& sysaudio, std::size_t count) {
  const std::size_t wanted = sysaudio.snapshot().out.size() / sizeof(float) + count;
  const ProcessOutput output = outputOnce(
      sysaudio,
      [wanted](const ProcessOutput& output) { return output.out.size() / sizeof(float) >= wanted; },
      soundTimeout);
  if (output.out.size() / sizeof(float) >= wanted) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "not " << count << " more samples within " << seconds(soundTimeout) << " s ("
         << output.out.size() << " bytes in all, the last "
         << (output.outArrivals.empty()
                 ? -1.0
                 : seconds(SteadyClock::now() - output.outArrivals.back().at))
         << " s ago; " << statusText(output) << ", standard error " << printable(output.err) << ")";
}

std::vector<std::size_t> innerBlocksAbove(const std::vector<double>& amplitudes, double threshold) {
  std::vector<std::size_t> blocks;
  for (std::size_t i = 0; i < amplitudes.size(); ++i) {
    if (amplitudes[i] > threshold) {
      blocks.push_back(i);
    }
  }
  if (blocks.size() < 2) {
    return {};
  }
  return {blocks.begin() + 1, blocks.end() - 1};
}

std::span<const float> samplesOfBlocks(std::span<const float> samples,
                                       const std::vector<std::size_t>& blocks, int rate) {
  if (blocks.empty()) {
    return {};
  }
  const auto block = static_cast<std::size_t>(rate / 10);
  const std::size_t begin = std::min(blocks.front() * block, samples.size());
  const std::size_t end = std::min((blocks.back() + 1) * block, samples.size());
  return samples.subspan(begin, end - begin);
}

double median(const std::vector<double>& amplitudes, const std::vector<std::size_t>& blocks) {
  std::vector<double> chosen;
  for (const std::size_t block : blocks) {
    chosen.push_back(amplitudes[block]);
  }
  if (chosen.empty()) {
    return 0;
  }
  const auto middle = chosen.begin() + static_cast<std::ptrdiff_t>(chosen.size() / 2);
  std::nth_element(chosen.begin(), middle, chosen.end());
  return *middle;
}

ProcessOutput stopped(Process& sysaudio) {
  sysaudio.signal(SIGKILL);
  sysaudio.waitForExit(prompt);
  return sysaudio.snapshot();
}

ProcessOptions EndToEndTest::client(BrokenPipe brokenPipe) const {
  return {.environment = session.environment(), .brokenPipe = brokenPipe};
}

ProcessOptions EndToEndTest::parentHelper() const {
  return {.environment = session.environment(), .ownProcessGroup = false};
}

ProcessOptions EndToEndTest::otherApplication() const {
  return {.environment = session.environment(), .detached = true};
}

std::string EndToEndTest::tonePath(const std::string& name) const {
  return session.directory() + "/" + name + ".wav";
}

std::string EndToEndTest::toneFile(const std::string& name, const StereoTone& tone) const {
  const std::string path = tonePath(name);
  writeWav(path, toneFileRate, 2, stereoSamples(tone, toneFileRate));
  return path;
}

::testing::AssertionResult EndToEndTest::aNewToneComesThrough(const Process& sysaudio, int rate,
                                                              double frequency) const {
  constexpr double level = 0.5;
  const std::size_t from = sysaudio.snapshot().out.size() / sizeof(float);
  // The lead-in gives sysaudio time to link the stream before the tone begins.
  const std::string tone =
      toneFile(lateToneName(frequency), {frequency, level, level, 1, 0.3, 0.005});
  Process player({"pw-play", tone}, otherApplication());
  if (::testing::AssertionResult ended = endedWell(player); !ended) {
    return ended;
  }
  // What the player gave the server last has come through.
  if (::testing::AssertionResult more = moreOutput(sysaudio, static_cast<std::size_t>(rate / 4));
      !more) {
    return more;
  }
  const std::vector<float> all = wholeSamplesOf(sysaudio.snapshot().out);
  const auto samples = std::span<const float>(all).subspan(std::min(from, all.size()));
  const std::vector<double> amplitudes = blockAmplitudes(samples, rate, frequency);
  const std::vector<std::size_t> blocks = innerBlocksAbove(amplitudes, level / 2);
  // The 1 s tone fills ten blocks or touches eleven; all but the first and the last, and one
  // more that a late link may cut short.
  if (blocks.size() < 7) {
    return ::testing::AssertionFailure()
           << "a tone of " << frequency
           << " Hz played after the events did not come through: " << blocks.size()
           << " blocks of it in " << samples.size() << " samples";
  }
  if (const double found = median(amplitudes, blocks); std::abs(found - level) > 0.05 * level) {
    return ::testing::AssertionFailure()
           << "a tone of " << frequency << " Hz at " << level << " came through at " << found;
  }
  return continuous(samplesOfBlocks(samples, blocks, rate), rate, frequency);
}

std::string EndToEndTest::lateToneName(double frequency) {
  return "late-" + std::to_string(static_cast<int>(frequency));
}

std::string EndToEndTest::tool(const std::vector<std::string>& argv) const {
  Process command(argv, client());
  const std::optional<ExitStatus> status = command.waitForExit(toolTimeout);
  const ProcessOutput output = command.snapshot();
  // pw-cli reports a failed command on standard error and still ends with status 0.
  if (!status || !status->exited() || status->code() != 0 || !output.err.empty()) {
    std::string line;
    for (const std::string& argument : argv) {
      line += argument + " ";
    }
    throw std::runtime_error(line + statusText(output) + ": " + output.err);
  }
  return output.out;
}

::testing::AssertionResult EndToEndTest::toolShows(const std::vector<std::string>& argv,
                                                   const std::string& text, bool present) const {
  const auto deadline = SteadyClock::now() + soundTimeout;
  std::string last;
  while (SteadyClock::now() < deadline) {
    last = tool(argv);
    if ((last.find(text) != std::string::npos) == present) {
      return ::testing::AssertionSuccess();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return ::testing::AssertionFailure() << argv.front() << " did " << (present ? "not " : "")
                                       << "show " << printable(text) << ":\n"
                                       << last;
}

}  // namespace sysaudio::testing
