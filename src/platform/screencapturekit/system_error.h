// Errors of the system's frameworks, as the seam carries them.
#pragma once

#import <Foundation/Foundation.h>

#include <optional>

#include "platform/sample_buffer.h"

namespace sysaudio::screencapturekit {

CaptureError captureErrorFrom(NSError* _Nonnull error);

// None for no error.
std::optional<CaptureError> optionalCaptureErrorFrom(NSError* _Nullable error);

}  // namespace sysaudio::screencapturekit
