#include "platform/screencapturekit/timer_phase.h"

#include <gtest/gtest.h>

#include <vector>

namespace sysaudio::screencapturekit {
namespace {

using namespace std::chrono_literals;

TEST(TimerPhaseTest, SkipsToALaterTickOfTheSameSchedule) {
  const DispatchClock::time_point origin{10s};
  struct Case {
    const char* name;
    DispatchClock::duration interval;
    DispatchClock::duration earliest;  // after origin
    DispatchClock::duration expected;  // after origin
  };
  const std::vector<Case> cases = {
      {"earliest before the origin", 50ms, -30ms, 0ms},
      {"earliest at the origin", 50ms, 0ms, 0ms},
      {"just after the origin", 50ms, 1ns, 50ms},
      {"on a tick", 50ms, 150ms, 150ms},
      {"just before a tick", 50ms, 150ms - 1ns, 150ms},
      {"just after a tick", 50ms, 150ms + 1ns, 200ms},
      {"far ahead", 50ms, 3600s + 10ms, 3600s + 50ms},
      {"no interval: every moment is a tick", 0ms, 70ms, 70ms},
      {"a negative interval is none", -50ms, 70ms, 70ms},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(firstTickAtOrAfter(origin, c.interval, origin + c.earliest), origin + c.expected)
        << c.name;
  }
}

}  // namespace
}  // namespace sysaudio::screencapturekit
