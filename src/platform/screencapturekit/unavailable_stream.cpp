#include "platform/screencapturekit/unavailable_stream.h"

namespace sysaudio::screencapturekit {

bool UnavailableStream::addStreamOutput(StreamOutput&, StreamOutputType, SerialQueue&,
                                        std::optional<CaptureError>& error) {
  error = reason_;
  return false;
}

void UnavailableStream::startCapture(StartCompletion completion) {
  completion(reason_);
}

}  // namespace sysaudio::screencapturekit
