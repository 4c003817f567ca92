// A periodic timer on a thread of its own, standing in for the multimedia
// timer the shell counts ticks with.
//
// Each tick is scheduled at an absolute deadline (start + n * period), so a
// late wake-up shortens the next wait instead of pushing every later tick:
// the timer keeps exactly 1000 / period ticks a second with no drift.
#pragma once

#include <cstdint>

namespace platform {

using TimerCallback = void (*)(uint32_t timer_id, uint32_t message, uintptr_t user,
                               uintptr_t reserved1, uintptr_t reserved2);

enum : uint32_t { TIME_ONESHOT = 0, TIME_PERIODIC = 1 };

// Starts a timer that calls `callback(id, 0, user, 0, 0)` every `delay_ms`
// milliseconds (or once, for TIME_ONESHOT). `resolution_ms` is accepted for
// the caller's sake; the deadlines are always kept as closely as the system
// allows. Returns the timer's id, or 0 when it could not be started.
uint32_t time_set_event(uint32_t delay_ms, uint32_t resolution_ms, TimerCallback callback,
                        uintptr_t user, uint32_t flags);

// Stops the timer and waits until its callback cannot run any more.
// Returns false for an unknown id.
bool time_kill_event(uint32_t timer_id);

// The absolute deadline, in nanoseconds of the monotonic clock, of tick
// `tick` (1 for the first) of a timer started at `start_ns`.
constexpr int64_t tick_deadline_ns(int64_t start_ns, uint32_t period_ms, uint64_t tick) {
  return start_ns + static_cast<int64_t>(tick) * static_cast<int64_t>(period_ms) * 1000000;
}

}  // namespace platform
