// An error of the capture service as the seam carries it, made from the three fields that the
// system's error object gives.
#pragma once

#include <cstdint>

#include "platform/sample_buffer.h"

namespace sysaudio::screencapturekit {

// Copies the fields; a field the system left out is empty. The service's own stream-error
// domain, whatever text the system gives it (serviceStreamErrorDomain), is carried as
// streamErrorDomain, the name by which the session recognises a declined capture.
CaptureError captureErrorFromFields(const char* domain, std::int64_t code,
                                    const char* localizedDescription,
                                    const char* serviceStreamErrorDomain);

}  // namespace sysaudio::screencapturekit
