#include "process_end.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace sysaudio {

namespace {

constinit std::atomic<bool> endClaimed{false};

}  // namespace

bool claimProcessEnd() {
  return !endClaimed.exchange(true);
}

void waitForProcessEnd() {
  for (;;) {
    pause();
  }
}

void endProcess(int status) {
  if (!claimProcessEnd()) {
    waitForProcessEnd();
  }
  std::exit(status);
}

}  // namespace sysaudio
