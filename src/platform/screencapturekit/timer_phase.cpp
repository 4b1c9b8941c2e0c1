#include "platform/screencapturekit/timer_phase.h"

namespace sysaudio::screencapturekit {

DispatchClock::time_point firstTickAtOrAfter(DispatchClock::time_point origin,
                                             DispatchClock::duration interval,
                                             DispatchClock::time_point earliest) {
  if (earliest <= origin) {
    return origin;
  }
  // Without an interval every moment is a tick.
  if (interval <= DispatchClock::duration::zero()) {
    return earliest;
  }
  const DispatchClock::duration behind = earliest - origin;
  const auto intervals = (behind + interval - DispatchClock::duration(1)) / interval;
  return origin + intervals * interval;
}

}  // namespace sysaudio::screencapturekit
