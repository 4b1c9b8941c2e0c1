// The capture service of the platform the program is built for. Each platform's folder defines
// it, and the build picks the folder.
#pragma once

#include <memory>

#include "platform/capture_service.h"

namespace sysaudio {

std::unique_ptr<CaptureService> makePlatformCaptureService();

}  // namespace sysaudio
