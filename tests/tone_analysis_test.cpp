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

// The layout tests measure each channel's tone in the mono mix of all of them: tones 200 Hz
// apart, and a 100 Hz one, each measured on its own to 0.2 %.
TEST(ToneAnalysisTest, EachChannelsToneIsMeasuredInTheMixOfAll) {
  const std::vector<ChannelTone> channels = {{800, 0.2},  {1000, 0.1}, {1200, 0.3},
                                             {100, 0.05}, {1400, 0.0}, {1600, 0.2}};
  const int rate = 48000;
  const std::vector<float> frames = channelSamples(channels, 1, 0.01, rate);
  ASSERT_EQ(frames.size(), channels.size() * rate);
  std::vector<float> mix(rate, 0.0f);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    mix[i / channels.size()] += frames[i];
  }
  for (const ChannelTone& tone : channels) {
    EXPECT_NEAR(toneAmplitude(mix, rate, tone.frequency), tone.amplitude, 0.002 * 0.3 + 1e-4)
        << tone.frequency << " Hz";
  }
}

// A frame lost, repeated or two lost, at any point of the cycle, at the lowest and highest rates
// and one between: the slip shows once, as its size in samples, where it happened; two far apart
// show as two; a clean tone shows none.
TEST(ToneAnalysisTest, APhaseSlipShowsOnceAsTheSamplesLostOrRepeated) {
  for (const double rate : {8000.0, 44100.0, 192000.0}) {
    const std::vector<float> clean = sine(1000, 0.5, 1, rate);
    EXPECT_TRUE(phaseSlips(clean, rate, 1000, 0.02).empty()) << rate;
    for (std::size_t at = 4000; at < 4000 + static_cast<std::size_t>(rate / 1000); at += 3) {
      std::vector<float> lost = clean;
      lost.erase(lost.begin() + static_cast<std::ptrdiff_t>(at));
      std::vector<float> repeated = clean;
      repeated.insert(repeated.begin() + static_cast<std::ptrdiff_t>(at), clean[at]);
      std::vector<float> twoLost = clean;
      twoLost.erase(twoLost.begin() + static_cast<std::ptrdiff_t>(at),
                    twoLost.begin() + static_cast<std::ptrdiff_t>(at) + 2);
      const std::vector<PhaseSlip> slips = phaseSlips(lost, rate, 1000);
      ASSERT_EQ(slips.size(), 1u) << rate << " Hz, one lost at " << at;
      EXPECT_NEAR(slips[0].samples, 1, 0.1) << rate;
      EXPECT_NEAR(static_cast<double>(slips[0].at), static_cast<double>(at), rate / 50) << rate;
      const std::vector<PhaseSlip> back = phaseSlips(repeated, rate, 1000);
      ASSERT_EQ(back.size(), 1u) << rate;
      EXPECT_NEAR(back[0].samples, -1, 0.1) << rate;
      const std::vector<PhaseSlip> two = phaseSlips(twoLost, rate, 1000);
      ASSERT_EQ(two.size(), 1u) << rate;
      EXPECT_NEAR(two[0].samples, 2, 0.1) << rate;
    }
    std::vector<float> twice = clean;
    twice.erase(twice.begin() + static_cast<std::ptrdiff_t>(rate / 2));
    twice.erase(twice.begin() + static_cast<std::ptrdiff_t>(rate / 4));
    EXPECT_EQ(phaseSlips(twice, rate, 1000).size(), 2u) << rate;
    // A frame lost from every buffer of 1024 frames at 48 kHz, whatever the rate: slips all along.
    std::vector<float> everyBuffer;
    const auto buffer = static_cast<std::size_t>(rate * 1024 / 48000);
    for (std::size_t i = 0; i < clean.size(); ++i) {
      if (i % buffer != buffer - 1) {
        everyBuffer.push_back(clean[i]);
      }
    }
    EXPECT_GE(phaseSlips(everyBuffer, rate, 1000).size(), 10u) << rate;
  }
}

}  // namespace
}  // namespace sysaudio::testing
