// A stream that cannot run, for the service to hand out when it cannot make a real one (the
// seam has no failure for making a stream): every output and every start is refused with the
// reason.
#pragma once

#include <utility>

#include "platform/capture_service.h"

namespace sysaudio::screencapturekit {

class UnavailableStream final : public Stream {
 public:
  explicit UnavailableStream(CaptureError reason) : reason_(std::move(reason)) {}

  bool addStreamOutput(StreamOutput& output, StreamOutputType type, SerialQueue& queue,
                       std::optional<CaptureError>& error) override;
  void startCapture(StartCompletion completion) override;

 private:
  const CaptureError reason_;
};

}  // namespace sysaudio::screencapturekit
