// Clocks. The monotonic clock measures deadlines and intervals, so a step of
// the wall clock (NTP, resume from suspend) neither cuts a wait short nor
// stretches it. All functions may be called from any thread.
#pragma once

#include <cstdint>

namespace ambrel {

// Wall-clock time: milliseconds since 1970. For values shown or stored, never
// for measuring intervals.
uint64_t nowMilliseconds();
// Monotonic time for deadlines and intervals: milliseconds / whole seconds
// since an arbitrary fixed point.
int64_t monotonicMilliseconds();
int64_t monotonicSeconds();
// The same clock in microseconds.
int64_t monotonicMicroseconds();

}  // namespace ambrel
