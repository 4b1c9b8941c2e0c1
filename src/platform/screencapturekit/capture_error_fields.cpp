#include "platform/screencapturekit/capture_error_fields.h"

#include <string_view>

#include "platform/capture_service.h"

namespace sysaudio::screencapturekit {

namespace {

std::string_view textOf(const char* field) {
  return field != nullptr ? std::string_view(field) : std::string_view();
}

}  // namespace

CaptureError captureErrorFromFields(const char* domain, std::int64_t code,
                                    const char* localizedDescription,
                                    const char* serviceStreamErrorDomain) {
  const bool isStreamError = domain != nullptr && serviceStreamErrorDomain != nullptr &&
                             std::string_view(domain) == std::string_view(serviceStreamErrorDomain);
  return CaptureError{std::string(isStreamError ? streamErrorDomain : textOf(domain)), code,
                      std::string(textOf(localizedDescription))};
}

}  // namespace sysaudio::screencapturekit
