// What the end-to-end suites share: a private audio session per test, the clients a test starts
// in it, and the waits for sysaudio's status line and for a player's end.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "audio_session.h"
#include "process_runner.h"
#include "tone_analysis.h"

namespace sysaudio::testing {

// Tones are written at the rate the null sink runs at, so the players need no resampling.
inline constexpr int toneFileRate = 48000;
inline constexpr int defaultRate = 16000;

// Generous: two end-to-end tests run side by side on a loaded two-core machine, each with its
// own server.
inline constexpr std::chrono::seconds readyTimeout{20};
inline constexpr std::chrono::seconds soundTimeout{10};
inline constexpr std::chrono::seconds playerTimeout{20};
inline constexpr std::chrono::seconds toolTimeout{10};
// How soon sysaudio must end once it has a reason to.
inline constexpr std::chrono::seconds prompt{5};

// A graph cycle that a loaded machine makes a client miss costs that client the cycle's audio,
// whichever client it is: at a quantum of 64 on the two-core development machine, with two busy
// loops running, pw-record lost 34 to 41 cycles of a 2 s tone where sysaudio lost none or one;
// with several test sessions at once, each running an echo canceller in real time, sysaudio
// missed up to 7 cycles of 1024 frames in 2.8 s (each a slip of a third of a 1 kHz period). So a
// tone may slip twice, and once more for every half second it lasts. A fault that loses or
// repeats a sample in every buffer slips in every third 10 ms block, 33 times a second; the soak,
// which runs alone, allows no slip at all.
inline constexpr std::size_t toleratedPhaseSlips = 2;
inline constexpr double secondsPerToleratedSlip = 0.5;

double seconds(SteadyClock::duration duration);

// Waits until done holds for the output, or the process has ended, or timeout has passed, and
// returns the output as it is then: the caller checks done again to tell which it was.
ProcessOutput outputOnce(const Process& process,
                         const std::function<bool(const ProcessOutput&)>& done,
                         std::chrono::milliseconds timeout);

// The whole file, or nothing when it cannot be read.
std::string fileContents(const std::string& path);

// Waits for sysaudio's first status line and says whether it was "ready".
::testing::AssertionResult becameReady(const Process& sysaudio);

// Whether the tone of frequency in samples (at rate) runs on without a sample lost or repeated,
// but for the slips tolerated above and for the breaks the test itself made (a link taken away);
// a failure lists every slip.
::testing::AssertionResult continuous(std::span<const float> samples, int rate, double frequency,
                                      std::size_t breaks = 0);

// The samples from the first to the last of the given blocks (of blockAmplitudes' default
// length, as innerBlocksAbove picks them); none for no blocks.
std::span<const float> samplesOfBlocks(std::span<const float> samples,
                                       const std::vector<std::size_t>& blocks, int rate);

// Waits for a player to end and says whether it ended with status 0.
::testing::AssertionResult endedWell(const Process& player);

// Waits until count more samples than now have come.
::testing::AssertionResult moreOutput(const Process& sysaudio, std::size_t count);

// Ends sysaudio and returns everything it wrote.
ProcessOutput stopped(Process& sysaudio);

// The blocks whose amplitude exceeds threshold, but for the first and the last, which may hold
// only part of the sound.
std::vector<std::size_t> innerBlocksAbove(const std::vector<double>& amplitudes, double threshold);

// The median of the amplitudes of the given blocks; 0 for none.
double median(const std::vector<double>& amplitudes, const std::vector<std::size_t>& blocks);

// Every test gets a session of its own. The test process is sysaudio's parent.
class EndToEndTest : public ::testing::Test {
 protected:
  // A client of the session started by the test process, in a process group of its own.
  ProcessOptions client(BrokenPipe brokenPipe = BrokenPipe::defaultAction) const;
  // A client of the session that stays in the test process's process group, as an
  // application's helper does: one of the parent's own, whose audio stays out.
  ProcessOptions parentHelper() const;
  // A client that is no descendant of the test process: another application.
  ProcessOptions otherApplication() const;
  // Writes the tone as a stereo WAV file in the session's directory and returns its path, which
  // a player also uses as its stream's name.
  std::string toneFile(const std::string& name, const StereoTone& tone) const;
  // Where toneFile writes the tone of that name.
  std::string tonePath(const std::string& name) const;

  // Has another application play a 1 s tone of frequency at 0.5 and waits until it has come
  // through: at its level and whole, in the output from now on. The end of every test that
  // claims the capture goes on, since zeros alone look like a capture that runs. The player's
  // stream is named after its file, tonePath(lateToneName(frequency)).
  ::testing::AssertionResult aNewToneComesThrough(const Process& sysaudio, int rate,
                                                  double frequency) const;
  static std::string lateToneName(double frequency);

  // Runs one of the session's command-line tools to its end and returns its standard output;
  // throws when it fails.
  std::string tool(const std::vector<std::string>& argv) const;
  // Waits until the tool's output holds text (or, with present false, no longer does), as a
  // change in the graph settles.
  ::testing::AssertionResult toolShows(const std::vector<std::string>& argv,
                                       const std::string& text, bool present = true) const;

  AudioSession session;
};

}  // namespace sysaudio::testing
