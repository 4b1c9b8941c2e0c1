// A sample buffer as ScreenCaptureKit delivers it: a CoreMedia sample buffer, lent for the
// length of one call of the stream output.
#pragma once

#include <CoreMedia/CoreMedia.h>

#include "platform/sample_buffer.h"
#include "platform/screencapturekit/audio_buffer_list_scratch.h"

namespace sysaudio::screencapturekit {

class CoreMediaSampleBuffer final : public SampleBuffer {
 public:
  // Neither is kept beyond the object, which lives no longer than the output's call.
  CoreMediaSampleBuffer(CMSampleBufferRef sampleBuffer, AudioBufferListScratch& scratch)
      : sampleBuffer_(sampleBuffer), scratch_(scratch) {}

  bool isValid() const override;
  std::optional<CaptureError> withAudioBufferList(
      const std::function<void(AudioBufferList)>& body) const override;

 private:
  CMSampleBufferRef sampleBuffer_;
  AudioBufferListScratch& scratch_;
};

}  // namespace sysaudio::screencapturekit
