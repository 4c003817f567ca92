#include "morph.h"

#include <chrono>
#include <thread>

#include "control_panel.h"
#include "thread.h"
#include "ticks.h"

constinit std::atomic<bool> morph_busy{false};

namespace {
constinit std::atomic<bool> g_morphs_stopped{false};
}  // namespace

void morph_thread(void* argument) {
  const intptr_t code = reinterpret_cast<intptr_t>(argument);
  // Test and set in one step: of two quick requests only one morph runs.
  if (morph_busy.exchange(true)) return;
  KnotShape* knot = panel_knot.load();
  if (g_morphs_stopped || knot == nullptr || code < MorphPDown || code > MorphQUp) {
    morph_busy = false;
    return;
  }

  const uint32_t start_tick = TickCounter.load(std::memory_order_relaxed);
  const float p0 = knot->p_now();
  const float q0 = knot->q_now();
  float p = p0;
  float q = q0;
  const bool moves_p = code == MorphPDown || code == MorphPUp;
  const double direction = (code == MorphPDown || code == MorphQDown) ? -1.0 : 1.0;

  for (;;) {
    knot->lock();
    // Unsigned difference: a morph across the counter's wrap still lasts 300 ticks.
    uint32_t elapsed = TickCounter.load(std::memory_order_relaxed) - start_tick;
    if (elapsed > kMorphTicks) elapsed = kMorphTicks;
    // At 300 ticks elapsed / 300.0 is exactly 1: the last pass stores p0 ± 1.
    if (moves_p) {
      p = static_cast<float>(elapsed / 300.0 * direction + p0);
    } else {
      q = static_cast<float>(elapsed / 300.0 * direction + q0);
    }
    knot->set_pq(p, q);
    knot->build_mesh();
    knot->unlock();
    if (elapsed == kMorphTicks || g_morphs_stopped) break;
  }
  panel_show_knot_changed();
  morph_busy = false;
}

bool start_morph(MorphCode code) {
  return platform::begin_thread(morph_thread, 1024, reinterpret_cast<void*>(code));
}

bool stop_morphs(uint32_t timeout_ms) {
  g_morphs_stopped = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (morph_busy) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void allow_morphs() {
  g_morphs_stopped = false;
}
