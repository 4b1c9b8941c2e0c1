#include "end_to_end.h"

#include <signal.h>

#include <algorithm>
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

::testing::AssertionResult continuous(std::span<const float> samples, int rate, double frequency) {
  const std::vector<PhaseSlip> slips = phaseSlips(samples, rate, frequency);
  if (slips.size() <= toleratedPhaseSlips) {
    return ::testing::AssertionSuccess();
  }
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << slips.size() << " phase slips (samples lost or repeated) in a tone of "
          << static_cast<double>(samples.size()) / rate << " s:";
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

std::string EndToEndTest::toneFile(const std::string& name, const StereoTone& tone) const {
  const std::string path = session.directory() + "/" + name + ".wav";
  writeWav(path, toneFileRate, 2, stereoSamples(tone, toneFileRate));
  return path;
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
