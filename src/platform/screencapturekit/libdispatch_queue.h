// The serial queue on macOS is a libdispatch serial queue; platform code that hands the queue
// to a system service (the capture's sample handler queue) takes it from here.
#pragma once

#include <dispatch/dispatch.h>

#include <string>

#include "platform/dispatch.h"

namespace sysaudio {

struct SerialQueue::Impl {
  std::string label;
  dispatch_queue_t dispatchQueue;
};

}  // namespace sysaudio
