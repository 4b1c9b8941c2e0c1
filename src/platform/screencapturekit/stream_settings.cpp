#include "platform/screencapturekit/stream_settings.h"

#include <algorithm>
#include <array>
#include <string>

namespace sysaudio::screencapturekit {

namespace {

constexpr std::array<std::int64_t, 4> capturedSampleRates = {8000, 16000, 24000, 48000};

std::size_t pixelCount(std::int64_t pixels) {
  return static_cast<std::size_t>(std::max<std::int64_t>(pixels, 0));
}

}  // namespace

void RecordedStreamConfiguration::setCapturesAudio(bool capturesAudio) {
  settings_.capturesAudio = capturesAudio;
}

void RecordedStreamConfiguration::setExcludesCurrentProcessAudio(bool excludes) {
  settings_.excludesCurrentProcessAudio = excludes;
}

void RecordedStreamConfiguration::setSampleRate(std::int64_t sampleRate) {
  settings_.sampleRate = sampleRate;
}

void RecordedStreamConfiguration::setChannelCount(std::int64_t channelCount) {
  settings_.channelCount = channelCount;
}

void RecordedStreamConfiguration::setWidth(std::int64_t width) {
  settings_.width = pixelCount(width);
}

void RecordedStreamConfiguration::setHeight(std::int64_t height) {
  settings_.height = pixelCount(height);
}

void RecordedStreamConfiguration::setMinimumFrameInterval(MediaTime interval) {
  settings_.minimumFrameInterval = interval;
}

std::optional<CaptureError> sampleRateRefusal(std::int64_t sampleRate) {
  if (std::find(capturedSampleRates.begin(), capturedSampleRates.end(), sampleRate) !=
      capturedSampleRates.end()) {
    return std::nullopt;
  }
  return CaptureError{"sysaudio", 0,
                      "cannot capture at " + std::to_string(sampleRate) +
                          " Hz: the rate must be 8000, 16000, 24000 or 48000 Hz"};
}

}  // namespace sysaudio::screencapturekit
