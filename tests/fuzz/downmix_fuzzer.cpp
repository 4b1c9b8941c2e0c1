// Feeds arbitrary buffer lists to the downmix. Every buffer gets an allocation of exactly its byte
// size, so AddressSanitizer reports any read past one, and every result is recomputed here one
// single-precision operation at a time and compared to the bit.
//
// Input layout, read front to back, little-endian; bytes past the end of the input read as 0:
//   u16  initial size of the mono scratch, modulo 2049 floats
//   two buffer lists, mixed one after the other into the same scratch; each is
//     u8   buffer count, modulo 64
//     per buffer:
//       u8   flags: bits 0-1 how the channel count is coded (0: u8 modulo 9, 1: u8, 2: u32,
//            3: 0xFFFFFFFF minus a u8); bit 2 the data pointer is null; bit 3 the data repeats
//            one 4-byte pattern instead of being read from the input; bit 4 a null buffer's byte
//            size is a whole u32 (nothing may read it)
//       the channel count, as the flags say
//       u16  byte size, modulo 8193 (or a u32, see bit 4)
//       the data, unless null: the 4-byte pattern, or byte size bytes
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "downmix.h"

namespace sysaudio {
namespace {

constexpr std::size_t maxScratchFloats = 2048;
constexpr std::size_t maxBuffers = 63;
constexpr std::uint32_t maxByteSize = 8192;
// A finite value that no sum of these inputs is likely to hit, so that a frame the downmix forgot
// to write cannot pass for a result.
const float staleSample = std::bit_cast<float>(0x4B5A5A5Au);

[[noreturn]] void fail(const char* what, std::size_t index = 0, float actual = 0.0f,
                       float expected = 0.0f) {
  std::fprintf(stderr, "downmix_fuzzer: %s (index %zu: got %08x, expected %08x)\n", what, index,
               std::bit_cast<std::uint32_t>(actual), std::bit_cast<std::uint32_t>(expected));
  std::abort();
}

void require(bool condition, const char* what) {
  if (!condition) {
    fail(what);
  }
}

class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint8_t u8() { return next_ < bytes_.size() ? bytes_[next_++] : 0; }
  std::uint16_t u16() {
    const unsigned low = u8();
    return static_cast<std::uint16_t>(low | unsigned{u8()} << 8);
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | std::uint32_t{u16()} << 16;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t next_ = 0;
};

struct FreeMemory {
  void operator()(void* memory) const noexcept { std::free(memory); }
};

// The buffers and the memory behind them; the list points into the memory.
struct OwnedList {
  std::vector<std::unique_ptr<void, FreeMemory>> memory;
  std::vector<AudioBuffer> buffers;
};

std::uint32_t readChannels(Input& input, std::uint8_t flags) {
  switch (flags & 3u) {
    case 0:
      return input.u8() % 9u;
    case 1:
      return input.u8();
    case 2:
      return input.u32();
    default:
      return 0xFFFFFFFFu - input.u8();
  }
}

OwnedList readList(Input& input) {
  OwnedList list;
  const std::size_t count = input.u8() % (maxBuffers + 1);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t flags = input.u8();
    const bool null = (flags & 4u) != 0;
    const bool pattern = (flags & 8u) != 0;
    AudioBuffer buffer;
    buffer.numberChannels = readChannels(input, flags);
    if (null && (flags & 16u) != 0) {
      buffer.dataByteSize = input.u32();
      list.buffers.push_back(buffer);
      continue;
    }
    buffer.dataByteSize = input.u16() % (maxByteSize + 1);
    if (!null) {
      std::vector<std::uint8_t> bytes(buffer.dataByteSize);
      if (pattern) {
        const std::uint8_t repeated[4] = {input.u8(), input.u8(), input.u8(), input.u8()};
        for (std::size_t b = 0; b < bytes.size(); ++b) {
          bytes[b] = repeated[b % 4];
        }
      } else {
        std::generate(bytes.begin(), bytes.end(), [&input] { return input.u8(); });
      }
      // Exactly the byte size, not rounded up to whole floats: malloc's alignment suits floats,
      // and the end of the allocation is the end of what the buffer claims to hold.
      std::unique_ptr<void, FreeMemory> memory(std::malloc(bytes.size()));
      if (memory == nullptr) {
        fail("out of memory");
      }
      if (!bytes.empty()) {
        std::memcpy(memory.get(), bytes.data(), bytes.size());
      }
      buffer.data = static_cast<const float*>(memory.get());
      list.memory.push_back(std::move(memory));
    }
    list.buffers.push_back(buffer);
  }
  return list;
}

std::size_t samplesIn(const AudioBuffer& buffer) {
  return buffer.dataByteSize / sizeof(float);
}

// NaN payloads are not pinned down by IEEE 754 arithmetic; everything else is, to the bit.
void requireSame(float actual, float expected, std::size_t index, const char* what) {
  if (std::isnan(expected)
          ? !std::isnan(actual)
          : std::bit_cast<std::uint32_t>(actual) != std::bit_cast<std::uint32_t>(expected)) {
    fail(what, index, actual, expected);
  }
}

void checkInterleaved(const AudioBuffer& buffer, std::size_t channels, std::size_t frames,
                      const std::vector<float>& mono) {
  const float divisor = static_cast<float>(channels);
  for (std::size_t j = 0; j < frames; ++j) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) {
      sum = sum + buffer.data[j * channels + c];
    }
    requireSame(mono[j], sum / divisor, j, "interleaved frame is not its channels' mean");
  }
  if (channels == 1) {
    for (std::size_t j = 0; j < frames; ++j) {
      const float sample = buffer.data[j];
      requireSame(mono[j], sample == 0.0f ? 0.0f : sample, j,
                  "one channel does not pass through with -0.0 as +0.0");
    }
  }
}

void checkSeparate(std::span<const AudioBuffer> buffers, std::size_t frames,
                   const std::vector<float>& mono) {
  const float gain = 1.0f / static_cast<float>(buffers.size());
  for (std::size_t j = 0; j < frames; ++j) {
    float sum = 0.0f;
    for (const AudioBuffer& buffer : buffers) {
      if (buffer.data != nullptr && j < samplesIn(buffer)) {
        sum = sum + buffer.data[j];
      }
    }
    requireSame(mono[j], gain * sum, j, "separate frame is not the scaled sum in list order");
  }
}

void mixAndCheck(const std::vector<AudioBuffer>& buffers, std::vector<float>& mono) {
  const std::vector<float> before = mono;
  const std::optional<std::size_t> frames = downmixToMono(buffers, mono);

  const bool usable = !buffers.empty() && buffers.front().data != nullptr;
  require(frames.has_value() == usable, "frames given for an unusable list, or none for a usable");
  if (!frames) {
    return;
  }
  const AudioBuffer& first = buffers.front();
  const std::size_t channels = std::max<std::uint32_t>(first.numberChannels, 1);
  const std::size_t expectedFrames = samplesIn(first) / channels;
  require(*frames == expectedFrames, "frame count is not the first buffer's whole frames");
  require(mono.size() >= expectedFrames, "scratch too small for the frames");
  if (before.size() >= expectedFrames) {
    // The sink writes out only [0, frames); the rest is stale scratch that must stay put.
    require(mono.size() == before.size(), "scratch large enough did not keep its size");
    require(std::equal(mono.begin() + expectedFrames, mono.end(), before.begin() + expectedFrames,
                       [](float a, float b) {
                         return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
                       }),
            "scratch past the frames was written");
  }
  if (buffers.size() == 1) {
    checkInterleaved(first, channels, expectedFrames, mono);
  } else {
    checkSeparate(buffers, expectedFrames, mono);
  }
}

}  // namespace
}  // namespace sysaudio

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sysaudio;
  Input input({data, size});
  std::vector<float> mono(input.u16() % (maxScratchFloats + 1), staleSample);
  const OwnedList first = readList(input);
  mixAndCheck(first.buffers, mono);
  // The same scratch again, as the sink reuses it for every list: it may now be larger than the
  // next list needs and hold that list's predecessor.
  const OwnedList second = readList(input);
  mixAndCheck(second.buffers, mono);
  return 0;
}
