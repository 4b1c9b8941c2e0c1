// The service hands the session plain descriptions of its displays and applications and gets
// back a filter made of them; the stream, however, needs the system's own objects. The offer's
// order is the link: each description stands at the place of its object.
#pragma once

#include <cstddef>
#include <variant>
#include <vector>

#include "platform/capture_service.h"

namespace sysaudio::screencapturekit {

// Places in the offered content.
struct ContentSelection {
  std::size_t display = 0;
  std::vector<std::size_t> excludedApplications;
};

// Finds the filter's display (by its id) and each of its excluded applications (by process and
// name) in what was offered. Each offered application is taken at most once, first come first,
// so applications that share a process stay distinct. An error when the filter names something
// that was not offered: leaving out less than was asked would capture the parent's own audio.
std::variant<ContentSelection, CaptureError> selectContent(const ShareableContent& offered,
                                                           const ContentFilter& filter);

}  // namespace sysaudio::screencapturekit
