// The capture service on a PipeWire audio server. Displays are the server's output devices,
// the default one first; applications are the machine's running processes; a stream takes
// every playback stream except those of the excluded applications' process trees.
#pragma once

#include <memory>

#include "platform/capture_service.h"
#include "platform/pipewire/pipewire_connection.h"

namespace sysaudio::pipewire {

class PipeWireCaptureService final : public CaptureService {
 public:
  PipeWireCaptureService() = default;
  PipeWireCaptureService(const PipeWireCaptureService&) = delete;
  PipeWireCaptureService& operator=(const PipeWireCaptureService&) = delete;
  ~PipeWireCaptureService() override;

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override;
  std::unique_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override;

 private:
  ShareableContent contentOf(const PipeWireConnection& connection) const;

  std::unique_ptr<PipeWireConnection> connection_;
};

}  // namespace sysaudio::pipewire
