// p/q morphs: a short-lived thread moves p or q of the knot by exactly one
// unit along a straight line over 300 ticks (three seconds), rebuilding the
// mesh on every pass so that the knot visibly turns into the next one. At
// most one morph runs at a time; a request while one runs is dropped.
#pragma once

#include <atomic>
#include <cstdint>

enum MorphCode : intptr_t {
  MorphPDown = 1,  // "--" of the P row
  MorphPUp = 2,    // "+" of the P row
  MorphQDown = 3,  // "--" of the Q row
  MorphQUp = 4,    // "+" of the Q row
};

// Ticks a morph lasts.
inline constexpr uint32_t kMorphTicks = 300;

// True while a morph runs.
extern std::atomic<bool> morph_busy;

// Thread procedure; the argument is the MorphCode itself. Works on the knot
// that panel_knot points to, and never sleeps: it rebuilds the mesh as often
// as the lock allows until 300 ticks have passed.
void morph_thread(void* code);

// Starts a morph thread for `code` (its 1024-byte stack request is raised to
// what a thread needs). False when no thread could be started.
bool start_morph(MorphCode code);

// Makes a running morph stop after its current pass, and keeps new ones from
// starting; waits up to `timeout_ms` for the running one to end. True when
// no morph runs any more.
bool stop_morphs(uint32_t timeout_ms);
// Lets morphs start again after stop_morphs.
void allow_morphs();
