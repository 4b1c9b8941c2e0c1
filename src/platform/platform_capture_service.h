// The capture service of the platform the program is built for. Each platform's folder defines
// it, and the build picks the folder.
#pragma once

#include <memory>

#include "platform/capture_service.h"

namespace sysaudio {

// The platform's libraries write their own messages to diagnosticLogPath, a file the user named,
// or nowhere when it is null; never to standard error.
std::unique_ptr<CaptureService> makePlatformCaptureService(const char* diagnosticLogPath);

}  // namespace sysaudio
