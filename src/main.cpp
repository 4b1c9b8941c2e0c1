#include <span>

#include "entry.h"
#include "platform/pipewire/pipewire_capture_service.h"

int main(int argc, char** argv) {
  // Lives in this frame, which runSysaudio never leaves.
  sysaudio::pipewire::PipeWireCaptureService service;
  sysaudio::runSysaudio(std::span<const char* const>(argv, static_cast<std::size_t>(argc)),
                        service);
}
