#include <cstdlib>
#include <memory>
#include <span>

#include "entry.h"
#include "platform/platform_capture_service.h"
#include "status.h"

int main(int argc, char** argv) {
  // Lives in this frame, which runSysaudio never leaves.
  const std::unique_ptr<sysaudio::CaptureService> service =
      sysaudio::makePlatformCaptureService(std::getenv(sysaudio::diagnosticLogVariable));
  sysaudio::runSysaudio(std::span<const char* const>(argv, static_cast<std::size_t>(argc)),
                        *service);
}
