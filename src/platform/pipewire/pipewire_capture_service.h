// The capture service on a PipeWire audio server. Displays are the server's output devices,
// the default one first; applications are the machine's running processes; a stream takes
// every playback stream except those of the excluded applications' process trees.
#pragma once

#include <memory>

#include "platform/capture_service.h"
#include "platform/pipewire/pipewire_connection.h"
#include "platform/pipewire/pipewire_log.h"

namespace sysaudio::pipewire {

class PipeWireCaptureService final : public CaptureService {
 public:
  // The library's own messages go to the file at logPath, or nowhere when it is null.
  explicit PipeWireCaptureService(const char* logPath);
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

  // First, so that it is in place before the library sets anything up, and goes last.
  const LibraryLog libraryLog_;
  std::unique_ptr<PipeWireConnection> connection_;
};

}  // namespace sysaudio::pipewire
