#include "platform/platform_capture_service.h"

#include "platform/pipewire/pipewire_capture_service.h"

namespace sysaudio {

std::unique_ptr<CaptureService> makePlatformCaptureService(const char* diagnosticLogPath) {
  return std::make_unique<pipewire::PipeWireCaptureService>(diagnosticLogPath);
}

}  // namespace sysaudio
