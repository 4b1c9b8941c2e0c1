// What the session sets on a stream configuration, kept as plain values until the stream is
// made, and what the service can do with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/capture_service.h"

namespace sysaudio::screencapturekit {

// A value left unset keeps the service's default.
struct StreamSettings {
  std::optional<bool> capturesAudio;
  std::optional<bool> excludesCurrentProcessAudio;
  std::optional<std::int64_t> sampleRate;
  std::optional<std::int64_t> channelCount;
  std::optional<std::size_t> width;
  std::optional<std::size_t> height;
  std::optional<MediaTime> minimumFrameInterval;
};

class RecordedStreamConfiguration final : public StreamConfiguration {
 public:
  void setCapturesAudio(bool capturesAudio) override;
  void setExcludesCurrentProcessAudio(bool excludes) override;
  void setSampleRate(std::int64_t sampleRate) override;
  void setChannelCount(std::int64_t channelCount) override;
  // Pixel counts are unsigned to the service; a negative one becomes 0.
  void setWidth(std::int64_t width) override;
  void setHeight(std::int64_t height) override;
  void setMinimumFrameInterval(MediaTime interval) override;

  const StreamSettings& settings() const { return settings_; }

 private:
  StreamSettings settings_;
};

// The service delivers audio at 8000, 16000, 24000 and 48000 Hz only, and any other rate
// silently at 48000 Hz, which the reader would take for the rate it asked for. So another rate
// is refused with the reason.
std::optional<CaptureError> sampleRateRefusal(std::int64_t sampleRate);

}  // namespace sysaudio::screencapturekit
