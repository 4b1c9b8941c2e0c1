#include "downmix.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

namespace sysaudio {
namespace {

struct TestBuffer {
  TestBuffer(std::optional<std::vector<float>> samples, std::uint32_t channels,
             std::optional<std::uint32_t> byteSize = std::nullopt)
      : samples(std::move(samples)), channels(channels), byteSize(byteSize) {}

  std::optional<std::vector<float>> samples;  // no value: a buffer without data
  std::uint32_t channels;
  std::optional<std::uint32_t> byteSize;  // no value: the samples' own size
};

std::vector<AudioBuffer> listOf(const std::vector<TestBuffer>& buffers) {
  std::vector<AudioBuffer> list;
  for (const TestBuffer& buffer : buffers) {
    const auto size = buffer.byteSize.value_or(
        buffer.samples ? static_cast<std::uint32_t>(buffer.samples->size() * 4) : 0);
    list.push_back({buffer.channels, size, buffer.samples ? buffer.samples->data() : nullptr});
  }
  return list;
}

std::vector<std::uint32_t> bitsOf(const float* samples, std::size_t count) {
  std::vector<std::uint32_t> bits;
  for (std::size_t i = 0; i < count; ++i) {
    bits.push_back(std::bit_cast<std::uint32_t>(samples[i]));
  }
  return bits;
}

std::vector<std::uint32_t> bitsOf(const std::vector<float>& samples) {
  return bitsOf(samples.data(), samples.size());
}

TEST(DownmixTest, AveragesChannelsToTheExactBits) {
  struct Case {
    const char* name;
    std::vector<TestBuffer> buffers;
    std::optional<std::vector<float>> mono;  // no value: the list is dropped
  };
  const float third = std::bit_cast<float>(0x3FD55556u);
  const std::vector<Case> cases = {
      {"mono passes through, -0.0 becomes +0.0",
       {{std::vector<float>{1.0f, -0.0f, 3.5f, -7.25f}, 1}},
       std::vector<float>{1.0f, 0.0f, 3.5f, -7.25f}},
      {"channel count 0 counts as one",
       {{std::vector<float>{1.0f, 2.0f}, 0}},
       std::vector<float>{1.0f, 2.0f}},
      {"interleaved stereo",
       {{std::vector<float>{1.0f, 3.0f, 5.0f, 8.0f}, 2}},
       std::vector<float>{2.0f, 6.5f}},
      {"interleaved six channels",
       {{std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}, 6}},
       std::vector<float>{3.5f}},
      {"interleaved 2, 2, 1 divides the sum by three",
       {{std::vector<float>{2.0f, 2.0f, 1.0f}, 3}},
       std::vector<float>{std::bit_cast<float>(0x3FD55555u)}},
      {"separate 2, 2, 1 multiplies the sum by a third",
       {{std::vector<float>{2.0f}, 1},
        {std::vector<float>{2.0f}, 1},
        {std::vector<float>{1.0f}, 1}},
       std::vector<float>{third}},
      {"12 bytes of stereo make one frame",
       {{std::vector<float>{1.0f, 3.0f, 100.0f}, 2}},
       std::vector<float>{2.0f}},
      {"10 bytes of mono make two frames",
       {{std::vector<float>{1.0f, 2.0f, 3.0f}, 1, 10u}},
       std::vector<float>{1.0f, 2.0f}},
      {"fewer bytes than one frame make no frames",
       {{std::vector<float>{1.0f}, 2}},
       std::vector<float>{}},
      {"a separate buffer without data still counts in the scale",
       {{std::vector<float>{4.0f, 6.0f}, 1}, {std::nullopt, 1, 8u}},
       std::vector<float>{2.0f, 3.0f}},
      {"separate buffers read only the first buffer's frame count",
       {{std::vector<float>{1.0f, 2.0f}, 1}, {std::vector<float>{3.0f, 4.0f, 5.0f, 6.0f}, 1}},
       std::vector<float>{2.0f, 3.0f}},
      {"a later buffer shorter than the first adds only what it holds",
       {{std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f}, 1}, {std::vector<float>{3.0f, 3.0f}, 1}},
       std::vector<float>{2.0f, 2.0f, 0.5f, 0.5f}},
      {"a later buffer's byte size is what counts, not its storage",
       {{std::vector<float>{1.0f, 1.0f, 1.0f}, 1}, {std::vector<float>{3.0f, 3.0f, 3.0f}, 1, 6u}},
       std::vector<float>{2.0f, 0.5f, 0.5f}},
      {"the first buffer's channel count sets the frames of separate buffers",
       {{std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f}, 2}, {std::vector<float>{3.0f, 3.0f}, 1}},
       std::vector<float>{2.0f, 2.0f}},
      {"no buffers", {}, std::nullopt},
      {"a first buffer without data drops the list even when others have data",
       {{std::nullopt, 1, 8u}, {std::vector<float>{1.0f, 2.0f}, 1}},
       std::nullopt},
  };
  for (const Case& c : cases) {
    const std::vector<AudioBuffer> list = listOf(c.buffers);
    std::vector<float> mono;
    const std::optional<std::size_t> frames = downmixToMono(list, mono);
    if (!c.mono) {
      EXPECT_EQ(frames, std::nullopt) << c.name;
      continue;
    }
    ASSERT_TRUE(frames.has_value()) << c.name;
    ASSERT_EQ(*frames, c.mono->size()) << c.name;
    EXPECT_EQ(bitsOf(mono.data(), *frames), bitsOf(*c.mono)) << c.name;
  }
}

TEST(DownmixTest, TheScratchGrowsToTheLargestListAndNeverShrinks) {
  std::vector<float> mono;
  const std::vector<float> large(2048, 1.0f);
  const std::vector<float> small(1024, 2.0f);
  ASSERT_EQ(downmixToMono(listOf({{large, 2}}), mono), 1024u);
  EXPECT_EQ(mono.size(), 1024u);
  ASSERT_EQ(downmixToMono(listOf({{small, 2}}), mono), 512u);
  EXPECT_EQ(mono.size(), 1024u);
  EXPECT_EQ(mono[511], 2.0f);
  EXPECT_EQ(mono[512], 1.0f);  // stale, and never written out
}

// The rules written out plainly, one operation at a time, to hold the vectorized mix to.
std::vector<float> reference(const std::vector<AudioBuffer>& list) {
  const AudioBuffer& first = list.front();
  const std::uint32_t channels = first.numberChannels > 1 ? first.numberChannels : 1;
  const std::uint32_t frames = first.dataByteSize / 4 / channels;
  std::vector<float> mono(frames, 0.0f);
  if (list.size() == 1) {
    for (std::uint32_t j = 0; j < frames; ++j) {
      float sum = 0.0f;
      for (std::uint32_t c = 0; c < channels; ++c) {
        sum += first.data[j * channels + c];
      }
      mono[j] = sum / static_cast<float>(channels);
    }
    return mono;
  }
  for (const AudioBuffer& buffer : list) {
    if (buffer.data == nullptr) {
      continue;
    }
    for (std::uint32_t j = 0; j < frames && j < buffer.dataByteSize / 4; ++j) {
      mono[j] = buffer.data[j] + mono[j];
    }
  }
  const float gain = 1.0f / static_cast<float>(list.size());
  for (float& value : mono) {
    value = gain * value;
  }
  return mono;
}

// Random samples with the values that rounding and signs trip over mixed in.
std::vector<float> randomSamples(std::mt19937& random, std::size_t count) {
  const float special[] = {0.0f,
                           -0.0f,
                           1.0f,
                           -1.0f,
                           std::numeric_limits<float>::denorm_min(),
                           -std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::infinity(),
                           1.0f / 3.0f,
                           16777217.0f};
  std::uniform_real_distribution<float> ordinary(-1.5f, 1.5f);
  std::uniform_int_distribution<int> pick(0, 39);
  std::vector<float> samples(count);
  for (float& sample : samples) {
    const int choice = pick(random);
    sample = choice < 10 ? special[choice] : ordinary(random);
  }
  return samples;
}

TEST(DownmixTest, EveryChannelCountAndLengthMatchesThePlainRulesToTheBit) {
  std::mt19937 random(20261210);
  std::vector<float> mono;
  for (std::uint32_t channels = 0; channels <= 9; ++channels) {
    for (const std::size_t frames : {0, 1, 3, 7, 8, 9, 15, 17, 31, 33, 480, 1023}) {
      const std::uint32_t perFrame = channels > 1 ? channels : 1;
      const std::vector<float> samples = randomSamples(random, frames * perFrame + 1);
      const std::vector<AudioBuffer> list = {
          {channels, static_cast<std::uint32_t>(frames * perFrame * 4), samples.data()}};
      ASSERT_EQ(downmixToMono(list, mono), frames);
      EXPECT_EQ(bitsOf(mono.data(), frames), bitsOf(reference(list)))
          << channels << " channels, " << frames << " frames";
    }
  }
}

TEST(DownmixTest, SeparateBuffersMatchThePlainRulesToTheBit) {
  std::mt19937 random(42);
  std::vector<float> mono;
  for (const std::size_t count : {2, 3, 5}) {
    for (const std::size_t frames : {1, 7, 16, 33, 1024}) {
      std::vector<std::vector<float>> storage;
      std::vector<AudioBuffer> list;
      for (std::size_t i = 0; i < count; ++i) {
        storage.push_back(randomSamples(random, frames));
        // The last buffer is short, a middle one has no data: every path of the mix.
        const std::size_t held = i + 1 == count && count > 2 ? frames / 2 : frames;
        const bool withData = !(i == 1 && count > 3);
        list.push_back(
            {1, static_cast<std::uint32_t>(held * 4), withData ? storage.back().data() : nullptr});
      }
      ASSERT_EQ(downmixToMono(list, mono), frames);
      EXPECT_EQ(bitsOf(mono.data(), frames), bitsOf(reference(list)))
          << count << " buffers, " << frames << " frames";
    }
  }
}

}  // namespace
}  // namespace sysaudio
