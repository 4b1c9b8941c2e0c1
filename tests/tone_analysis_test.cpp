// The measurements the end-to-end tests rest their thresholds on, against signals of known
// content: if these drift, an end-to-end pass or failure means nothing.
#include "tone_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace sysaudio::testing {
namespace {

std::vector<float> sine(double frequency, double amplitude, double seconds, double rate) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * rate));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(
        amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate + 1));
  }
  return samples;
}

TEST(ToneAnalysisTest, AmplitudeHoldsWhenTheToneIsSlightlyOffItsFrequency) {
  for (const double rate : {16000.0, 44100.0, 48000.0}) {
    for (const double actual : {995.0, 1000.0, 1004.9}) {
      EXPECT_NEAR(toneAmplitude(sine(actual, 0.5, 1, rate), rate, 1000), 0.5, 0.001)
          << rate << " Hz rate, " << actual << " Hz tone";
    }
  }
}

TEST(ToneAnalysisTest, AToneHardlyShowsAtAnotherFrequency) {
  const double rate = 16000;
  std::vector<float> mix = sine(1000, 0.5, 1, rate);
  const std::vector<float> quiet = sine(440, 0.002, 1, rate);
  for (std::size_t i = 0; i < mix.size(); ++i) {
    mix[i] += quiet[i];
  }
  // 0.4 % of the loud tone beside it is still measured, so the 1 % bound of the exclusion
  // test is not met by leakage.
  EXPECT_NEAR(toneAmplitude(mix, rate, 440), 0.002, 0.0002);
  EXPECT_LT(toneAmplitude(sine(1000, 0.5, 1, rate), rate, 440), 0.5e-4);
}

TEST(ToneAnalysisTest, FindsWhereAndAtWhatFrequencyATonePlays) {
  const double rate = 44100;
  std::vector<float> samples(static_cast<std::size_t>(rate / 2), 0.0f);
  const std::vector<float> tone = sine(997, 0.5, 1, rate);
  samples.insert(samples.end(), tone.begin(), tone.end());
  samples.resize(samples.size() + static_cast<std::size_t>(rate / 4), 0.0f);

  const std::optional<Region> sound = soundingRegion(samples, 0.05);
  ASSERT_TRUE(sound.has_value());
  // Within the first and last cycle of the tone.
  EXPECT_NEAR(static_cast<double>(sound->begin), rate / 2, rate / 997);
  EXPECT_NEAR(static_cast<double>(sound->size()), rate, 2 * rate / 997);
  const Region steady = inner(*sound, 100);
  EXPECT_NEAR(zeroCrossingFrequency(
                  std::span<const float>(samples).subspan(steady.begin, steady.size()), rate),
              997, 0.05);
  EXPECT_LT(
      longestQuietRun(std::span<const float>(samples).subspan(steady.begin, steady.size()), 0.01),
      3u);
  EXPECT_EQ(longestQuietRun(samples, 0.01), static_cast<std::size_t>(rate / 2));
  EXPECT_FALSE(soundingRegion(std::vector<float>(100, 0.01f), 0.05).has_value());
}

// A frame lost, repeated or two lost, at any point of the cycle, at the lowest and highest rates
// and one between: the slip shows as its size in samples; a clean tone shows none.
TEST(ToneAnalysisTest, APhaseSlipShowsAsTheSamplesLostOrRepeated) {
  for (const double rate : {8000.0, 44100.0, 192000.0}) {
    const std::vector<float> clean = sine(1000, 0.5, 1, rate);
    EXPECT_LT(largestPhaseSlip(clean, rate, 1000).samples, 0.02) << rate;
    for (std::size_t at = 4000; at < 4000 + static_cast<std::size_t>(rate / 1000); at += 3) {
      std::vector<float> lost = clean;
      lost.erase(lost.begin() + static_cast<std::ptrdiff_t>(at));
      std::vector<float> repeated = clean;
      repeated.insert(repeated.begin() + static_cast<std::ptrdiff_t>(at), clean[at]);
      std::vector<float> twoLost = clean;
      twoLost.erase(twoLost.begin() + static_cast<std::ptrdiff_t>(at),
                    twoLost.begin() + static_cast<std::ptrdiff_t>(at) + 2);
      const PhaseSlip slip = largestPhaseSlip(lost, rate, 1000);
      EXPECT_NEAR(slip.samples, 1, 0.1) << rate << " Hz, one lost at " << at;
      EXPECT_NEAR(static_cast<double>(slip.at), static_cast<double>(at), rate / 50) << rate;
      EXPECT_NEAR(largestPhaseSlip(repeated, rate, 1000).samples, 1, 0.1) << rate;
      EXPECT_NEAR(largestPhaseSlip(twoLost, rate, 1000).samples, 2, 0.1) << rate;
    }
  }
}

}  // namespace
}  // namespace sysaudio::testing
