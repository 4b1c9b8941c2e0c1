#include "tone_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <numbers>
#include <stdexcept>

namespace sysaudio::testing {

namespace {

void putLittleEndian(std::string& bytes, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) {
    bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

// The 5-term flat-top window (coefficients as in SciPy's "flattop").
std::vector<double> flatTopWindow(std::size_t size) {
  static constexpr double a[] = {0.21557895, 0.41663158, 0.277263158, 0.083578947, 0.006947368};
  std::vector<double> window(size);
  const double step = 2 * std::numbers::pi / static_cast<double>(size - 1);
  for (std::size_t n = 0; n < size; ++n) {
    const double x = step * static_cast<double>(n);
    window[n] = a[0] - a[1] * std::cos(x) + a[2] * std::cos(2 * x) - a[3] * std::cos(3 * x) +
                a[4] * std::cos(4 * x);
  }
  return window;
}

double windowedAmplitude(std::span<const float> block, const std::vector<double>& window,
                         double omega) {
  // Goertzel at an arbitrary (not necessarily whole-bin) frequency: the magnitude of the
  // windowed block's DFT there.
  const double coefficient = 2 * std::cos(omega);
  double previous = 0;
  double beforePrevious = 0;
  double windowSum = 0;
  for (std::size_t n = 0; n < block.size(); ++n) {
    const double current = window[n] * block[n] + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
    windowSum += window[n];
  }
  const double real = previous - beforePrevious * std::cos(omega);
  const double imaginary = beforePrevious * std::sin(omega);
  return 2 * std::hypot(real, imaginary) / windowSum;
}

// The gain of frame i of frames with a raised-cosine fade of fadeFrames at each end.
double fadeGain(std::size_t i, std::size_t frames, std::size_t fadeFrames) {
  const std::size_t fromEdge = std::min(i, frames - 1 - i);
  return fromEdge < fadeFrames
             ? 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(fromEdge) /
                                    static_cast<double>(fadeFrames))
             : 1.0;
}

// The Hann-windowed block's DFT at omega, as a phasor.
std::complex<double> blockPhasor(std::span<const float> block, double omega) {
  const std::complex<double> step = std::polar(1.0, -omega);
  std::complex<double> turn = 1;
  std::complex<double> sum = 0;
  const double size = static_cast<double>(block.size());
  for (std::size_t n = 0; n < block.size(); ++n) {
    const double window =
        0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(n) / size);
    sum += window * static_cast<double>(block[n]) * turn;
    turn *= step;
  }
  return sum;
}

}  // namespace

std::vector<float> stereoSamples(const StereoTone& tone, int rate) {
  const auto silent = static_cast<std::size_t>(std::lround(tone.silenceBefore * rate));
  const auto frames = static_cast<std::size_t>(std::lround(tone.seconds * rate));
  const auto silentAfter = static_cast<std::size_t>(std::lround(tone.silenceAfter * rate));
  const auto fadeFrames =
      std::min(frames / 2, static_cast<std::size_t>(std::lround(tone.fade * rate)));
  std::vector<float> samples((silent + frames + silentAfter) * 2, 0.0f);
  for (std::size_t i = 0; i < frames; ++i) {
    const double gain = fadeGain(i, frames, fadeFrames);
    const double value =
        gain * std::sin(2 * std::numbers::pi * tone.frequency * static_cast<double>(i) / rate);
    samples[2 * (silent + i)] = static_cast<float>(tone.left * value);
    samples[2 * (silent + i) + 1] = static_cast<float>(tone.right * value);
  }
  return samples;
}

std::vector<float> channelSamples(std::span<const ChannelTone> channels, double seconds,
                                  double fade, int rate) {
  const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
  const auto fadeFrames = std::min(frames / 2, static_cast<std::size_t>(std::lround(fade * rate)));
  std::vector<float> samples(frames * channels.size(), 0.0f);
  for (std::size_t i = 0; i < frames; ++i) {
    const double gain = fadeGain(i, frames, fadeFrames);
    for (std::size_t c = 0; c < channels.size(); ++c) {
      samples[i * channels.size() + c] = static_cast<float>(
          channels[c].amplitude * gain *
          std::sin(2 * std::numbers::pi * channels[c].frequency * static_cast<double>(i) / rate));
    }
  }
  return samples;
}

void writeWav(const std::string& path, int rate, int channels, std::span<const float> interleaved) {
  constexpr std::uint32_t formatIeeeFloat = 3;
  constexpr std::uint32_t bytesPerSample = 4;
  const auto dataSize = static_cast<std::uint32_t>(interleaved.size() * bytesPerSample);
  const auto frameSize = static_cast<std::uint32_t>(channels) * bytesPerSample;
  std::string bytes = "RIFF";
  putLittleEndian(bytes, 4 + (8 + 18) + (8 + 4) + (8 + dataSize), 4);
  bytes += "WAVEfmt ";
  putLittleEndian(bytes, 18, 4);
  putLittleEndian(bytes, formatIeeeFloat, 2);
  putLittleEndian(bytes, static_cast<std::uint32_t>(channels), 2);
  putLittleEndian(bytes, static_cast<std::uint32_t>(rate), 4);
  putLittleEndian(bytes, static_cast<std::uint32_t>(rate) * frameSize, 4);
  putLittleEndian(bytes, frameSize, 2);
  putLittleEndian(bytes, 8 * bytesPerSample, 2);
  putLittleEndian(bytes, 0, 2);
  // Non-PCM formats carry a fact chunk with the frame count.
  bytes += "fact";
  putLittleEndian(bytes, 4, 4);
  putLittleEndian(bytes, dataSize / frameSize, 4);
  bytes += "data";
  putLittleEndian(bytes, dataSize, 4);
  for (const float sample : interleaved) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &sample, sizeof bits);
    putLittleEndian(bytes, bits, 4);
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    throw std::runtime_error("could not write " + path);
  }
}

std::vector<double> blockAmplitudes(std::span<const float> samples, double rate, double frequency,
                                    double blockSeconds) {
  const auto blockSize = static_cast<std::size_t>(std::lround(blockSeconds * rate));
  if (blockSize < 2) {
    throw std::invalid_argument("blocks of fewer than two samples");
  }
  const std::vector<double> window = flatTopWindow(blockSize);
  const double omega = 2 * std::numbers::pi * frequency / rate;
  std::vector<double> amplitudes;
  for (std::size_t start = 0; start + blockSize <= samples.size(); start += blockSize) {
    amplitudes.push_back(windowedAmplitude(samples.subspan(start, blockSize), window, omega));
  }
  return amplitudes;
}

double toneAmplitude(std::span<const float> samples, double rate, double frequency) {
  std::vector<double> amplitudes = blockAmplitudes(samples, rate, frequency);
  if (amplitudes.empty()) {
    return 0;
  }
  const auto middle = amplitudes.begin() + static_cast<std::ptrdiff_t>(amplitudes.size() / 2);
  std::nth_element(amplitudes.begin(), middle, amplitudes.end());
  return *middle;
}

double rms(std::span<const float> samples) {
  if (samples.empty()) {
    return 0;
  }
  double sum = 0;
  for (const float sample : samples) {
    sum += static_cast<double>(sample) * sample;
  }
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

std::optional<Region> soundingRegion(std::span<const float> samples, double threshold) {
  const auto loud = [threshold](float sample) { return std::fabs(sample) > threshold; };
  const auto first = std::find_if(samples.begin(), samples.end(), loud);
  if (first == samples.end()) {
    return std::nullopt;
  }
  const auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
  return Region{static_cast<std::size_t>(first - samples.begin()),
                static_cast<std::size_t>(samples.rend() - last)};
}

Region inner(Region region, std::size_t margin) {
  if (region.size() <= 2 * margin) {
    return {region.begin, region.begin};
  }
  return {region.begin + margin, region.end - margin};
}

std::size_t longestQuietRun(std::span<const float> samples, double threshold) {
  std::size_t longest = 0;
  std::size_t current = 0;
  for (const float sample : samples) {
    current = std::fabs(sample) <= threshold ? current + 1 : 0;
    longest = std::max(longest, current);
  }
  return longest;
}

std::vector<PhaseSlip> phaseSlips(std::span<const float> samples, double rate, double frequency,
                                  double threshold, double blockSeconds) {
  const auto blockSize = static_cast<std::size_t>(std::lround(blockSeconds * rate));
  if (blockSize < 2) {
    throw std::invalid_argument("blocks of fewer than two samples");
  }
  const double omega = 2 * std::numbers::pi * frequency / rate;
  std::vector<std::complex<double>> phasors;
  for (std::size_t start = 0; start + blockSize <= samples.size(); start += blockSize) {
    phasors.push_back(blockPhasor(samples.subspan(start, blockSize), omega));
  }
  // Two blocks apart, so that a slip inside a block, which moves that block's phase only in
  // part, shows in full against the block before it.
  const std::complex<double> expected = std::polar(1.0, 2 * omega * static_cast<double>(blockSize));
  // One slip shows in at most three comparisons in a row; slips that keep coming make one for
  // every three.
  std::vector<PhaseSlip> slips;
  std::size_t firstBlock = 0;
  for (std::size_t k = 2; k < phasors.size(); ++k) {
    const double slip = std::arg(phasors[k] * std::conj(phasors[k - 2] * expected)) / omega;
    if (std::abs(slip) <= threshold) {
      continue;
    }
    const PhaseSlip found{slip, (k - 1) * blockSize};
    if (!slips.empty() && k < firstBlock + 3) {
      if (std::abs(slip) > std::abs(slips.back().samples)) {
        slips.back() = found;
      }
      continue;
    }
    slips.push_back(found);
    firstBlock = k;
  }
  return slips;
}

double zeroCrossingFrequency(std::span<const float> samples, double rate) {
  double first = -1;
  double last = -1;
  std::size_t crossings = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      const double position = static_cast<double>(i - 1) +
                              -samples[i - 1] / (static_cast<double>(samples[i]) - samples[i - 1]);
      if (crossings == 0) {
        first = position;
      }
      last = position;
      ++crossings;
    }
  }
  if (crossings < 2) {
    return 0;
  }
  return static_cast<double>(crossings - 1) / (last - first) * rate;
}

}  // namespace sysaudio::testing
