// A ScreenCaptureKit capture stream behind the seam. The system calls small Objective-C objects
// that the stream keeps, one per registered output and one as its delegate, and they hand each
// call on to the seam's output or delegate.
#pragma once

#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <optional>
#include <vector>

#include "platform/capture_service.h"

@class SysaudioStreamOutputBridge;
@class SysaudioStreamDelegateBridge;

namespace sysaudio::screencapturekit {

class ScreenCaptureKitStream final : public Stream {
 public:
  // A start is refused with startRefusal, when there is one, before the system is asked.
  ScreenCaptureKitStream(SCContentFilter* filter, SCStreamConfiguration* configuration,
                         std::optional<CaptureError> startRefusal, StreamDelegate& delegate);
  ScreenCaptureKitStream(const ScreenCaptureKitStream&) = delete;
  ScreenCaptureKitStream& operator=(const ScreenCaptureKitStream&) = delete;
  // Stops the capture; once it returns, no output or delegate is called any more.
  ~ScreenCaptureKitStream() override;

  bool addStreamOutput(StreamOutput& output, StreamOutputType type, SerialQueue& queue,
                       std::optional<CaptureError>& error) override;
  void startCapture(StartCompletion completion) override;

 private:
  struct Registration {
    SysaudioStreamOutputBridge* bridge;
    SCStreamOutputType type;
    SerialQueue* queue;
  };

  const std::optional<CaptureError> startRefusal_;
  SysaudioStreamDelegateBridge* delegateBridge_;
  SCStream* stream_;
  std::vector<Registration> registrations_;
  bool startRequested_ = false;
};

}  // namespace sysaudio::screencapturekit
