// What the sink may ask of a sample buffer that the capture service delivers: whether it is
// valid, and its list of audio buffers, lent for the duration of one call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace sysaudio {

// An error as the capture service reports it: a domain, a code within that domain, and a
// description a person can read.
struct CaptureError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
};

// One buffer of a list: 32-bit floats in native byte order, interleaved when it holds more than
// one channel. data may be null.
struct AudioBuffer {
  std::uint32_t numberChannels = 0;
  std::uint32_t dataByteSize = 0;
  const float* data = nullptr;
};

using AudioBufferList = std::span<const AudioBuffer>;

class SampleBuffer {
 public:
  virtual ~SampleBuffer() = default;

  virtual bool isValid() const = 0;

  // Runs body once with the buffer list, whose buffers and data stay valid until body returns;
  // or, when no list can be had, runs nothing and returns the error.
  virtual std::optional<CaptureError> withAudioBufferList(
      const std::function<void(AudioBufferList)>& body) const = 0;
};

}  // namespace sysaudio
