#include <cstdlib>
#include <span>

#include "entry.h"
#include "platform/pipewire/pipewire_capture_service.h"
#include "platform/pipewire/pipewire_log.h"
#include "status.h"

int main(int argc, char** argv) {
  // These live in this frame, which runSysaudio never leaves. The log comes first: PipeWire
  // hands it to everything it sets up from the first connection on.
  const sysaudio::pipewire::LibraryLog libraryLog(std::getenv(sysaudio::diagnosticLogVariable),
                                                  std::getenv("PIPEWIRE_DEBUG"));
  sysaudio::pipewire::PipeWireCaptureService service;
  sysaudio::runSysaudio(std::span<const char* const>(argv, static_cast<std::size_t>(argc)),
                        service);
}
