// A clock that stands still until the test moves it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/dispatch.h"

namespace sysaudio::testing {

class FakeClock {
 public:
  Clock clock() {
    return [this] { return DispatchClock::time_point(std::chrono::nanoseconds(nanoseconds_)); };
  }
  void advance(std::chrono::nanoseconds by) { nanoseconds_ += by.count(); }

 private:
  // Start well away from the clock's epoch, as a real clock would be.
  std::atomic<std::int64_t> nanoseconds_{1'000'000'000'000};
};

}  // namespace sysaudio::testing
