#include "end_to_end.h"

#include <optional>

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

ProcessOptions EndToEndTest::client(BrokenPipe brokenPipe) const {
  return {.environment = session.environment(), .brokenPipe = brokenPipe};
}

ProcessOptions EndToEndTest::otherApplication() const {
  return {.environment = session.environment(), .detached = true};
}

std::string EndToEndTest::toneFile(const std::string& name, const StereoTone& tone) const {
  const std::string path = session.directory() + "/" + name + ".wav";
  writeWav(path, toneFileRate, 2, stereoSamples(tone, toneFileRate));
  return path;
}

}  // namespace sysaudio::testing
