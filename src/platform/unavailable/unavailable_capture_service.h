// A capture service for systems where no real one is built in: every content request fails
// with one clear error, so a run ends with one error line and status 1.
#pragma once

#include "platform/capture_service.h"

namespace sysaudio {

class UnavailableCaptureService final : public CaptureService {
 public:
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override;
  std::unique_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override;
};

}  // namespace sysaudio
