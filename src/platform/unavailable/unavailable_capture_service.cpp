#include "platform/unavailable/unavailable_capture_service.h"

#include <stdexcept>

namespace sysaudio {

void UnavailableCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
  completion(std::nullopt,
             CaptureError{"sysaudio", 0, "no capture service is available on this system"});
}

std::unique_ptr<StreamConfiguration> UnavailableCaptureService::makeStreamConfiguration() {
  throw std::logic_error("no capture service: no stream configuration");
}

std::unique_ptr<Stream> UnavailableCaptureService::makeStream(const ContentFilter&,
                                                              const StreamConfiguration&,
                                                              StreamDelegate&) {
  throw std::logic_error("no capture service: no stream");
}

}  // namespace sysaudio
