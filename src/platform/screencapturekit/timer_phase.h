// A repeating timer that is told to skip ahead keeps its phase: it moves to a later tick of the
// same schedule, never to a moment between two.
#pragma once

#include "platform/dispatch.h"

namespace sysaudio::screencapturekit {

// The first tick at or after earliest of a schedule whose ticks fall at origin and every
// interval after it; origin itself when earliest comes first.
DispatchClock::time_point firstTickAtOrAfter(DispatchClock::time_point origin,
                                             DispatchClock::duration interval,
                                             DispatchClock::time_point earliest);

}  // namespace sysaudio::screencapturekit
