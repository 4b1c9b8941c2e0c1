// Test tones, and what a test needs to find them in a captured mono stream: the amplitude of one
// frequency, the level, where the sound is, and the frequency the samples actually hold.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sysaudio::testing {

// A sine of frequency Hz starting at phase 0, with a peak amplitude per channel, after
// silenceBefore seconds of zeros and before silenceAfter seconds of them. A fade of a few
// milliseconds (a raised-cosine ramp at each end) keeps the tone's onset and end from spreading
// energy to other frequencies.
struct StereoTone {
  double frequency = 1000;
  double left = 0.5;
  double right = 0.5;
  double seconds = 1;
  double silenceBefore = 0;
  double fade = 0;
  double silenceAfter = 0;
};

// Interleaved left/right samples of the tone at rate.
std::vector<float> stereoSamples(const StereoTone& tone, int rate);

// A sine of its own on each channel, starting at phase 0 (an amplitude of 0 leaves the channel
// silent), with the same fade at each end as StereoTone's.
struct ChannelTone {
  double frequency = 1000;
  double amplitude = 0;
};

// Interleaved frames of the channels' tones at rate, seconds long.
std::vector<float> channelSamples(std::span<const ChannelTone> channels, double seconds,
                                  double fade, int rate);

// Writes a WAV file of 32-bit float samples; interleaved holds whole frames of channels.
void writeWav(const std::string& path, int rate, int channels, std::span<const float> interleaved);

// The peak amplitude of the sine at frequency in each consecutive block of blockSeconds (the
// last partial block is left out): a Goertzel filter over a flat-top window, whose estimate stays
// within 0.2 % while the frequency is off by up to half a bin (5 Hz for 0.1 s blocks) and that
// lets through less than 1e-4 of a tone more than five bins away.
std::vector<double> blockAmplitudes(std::span<const float> samples, double rate, double frequency,
                                    double blockSeconds = 0.1);
// The median of blockAmplitudes: one figure for a steady tone, robust to a few odd blocks.
double toneAmplitude(std::span<const float> samples, double rate, double frequency);

double rms(std::span<const float> samples);

// Samples [begin, end).
struct Region {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
};

// From the first to the last sample whose magnitude exceeds threshold; none if there is none.
std::optional<Region> soundingRegion(std::span<const float> samples, double threshold);
// The region shrunk by margin samples at each end; empty if it is not longer than two margins.
Region inner(Region region, std::size_t margin);
// The longest run of consecutive samples whose magnitude is at most threshold.
std::size_t longestQuietRun(std::span<const float> samples, double threshold);

// Where a steady sine of frequency (at rate) loses or gains samples: the phase of each block of
// blockSeconds, against the phase of the block two before, differs from what the sine's own
// course gives by this many samples. A lost, repeated or inserted sample shows as about one
// sample (and n of them as n, up to half a period); a clean tone, resampled or not, stays within
// a few hundredths. Each place shows in two blocks or three; they make one slip, the largest, and
// slips that never stop make one for every three blocks.
struct PhaseSlip {
  double samples = 0;
  std::size_t at = 0;  // the first sample of the block where the slip shows most
};
std::vector<PhaseSlip> phaseSlips(std::span<const float> samples, double rate, double frequency,
                                  double threshold = 0.5, double blockSeconds = 0.01);

// The frequency of a single tone from its upward zero crossings (interpolated between samples),
// in Hz when the samples are taken at rate; 0 with fewer than two crossings.
double zeroCrossingFrequency(std::span<const float> samples, double rate);

}  // namespace sysaudio::testing
