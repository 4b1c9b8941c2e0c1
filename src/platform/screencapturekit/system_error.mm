#include "platform/screencapturekit/system_error.h"

#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include "platform/screencapturekit/capture_error_fields.h"

namespace sysaudio::screencapturekit {

CaptureError captureErrorFrom(NSError* _Nonnull error) {
  return captureErrorFromFields(error.domain.UTF8String, error.code,
                                error.localizedDescription.UTF8String,
                                SCStreamErrorDomain.UTF8String);
}

std::optional<CaptureError> optionalCaptureErrorFrom(NSError* _Nullable error) {
  if (error == nil) {
    return std::nullopt;
  }
  return captureErrorFrom(error);
}

}  // namespace sysaudio::screencapturekit
