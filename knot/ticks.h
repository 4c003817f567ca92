// The count of 10 ms timer ticks since the demo started: written by the
// timer thread only, read by the drawing thread and by morphs. Any thread
// may read it without a lock; it wraps after 2^32 ticks (about 497 days).
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> TickCounter;
