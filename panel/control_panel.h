// The control panel: a small tool window, on a thread of its own, through
// which the user edits the knot while it turns. It shows p and q with buttons
// that morph either by one unit, sliders for the torus and tube radii, and a
// check box for environment mapping.
#pragma once

#include <atomic>
#include <cstdint>

#include "dialog.h"
#include "knot_shape.h"

// Control identifiers of the panel's template.
enum PanelControl : int {
  IdPValue = 1003,
  IdTorusRadiusValue = 1004,
  IdTubeRadiusValue = 1005,
  IdQValue = 1007,
  IdPDown = 1008,
  IdPUp = 1009,
  IdQUp = 1010,
  IdQDown = 1011,
  IdTorusSlider = 1012,
  IdTubeSlider = 1013,
  IdEnvMapping = 1014,
};

// Posted to the panel when p or q changed outside it (a morph ended): the
// p and q boxes then show the knot's values.
inline constexpr uint32_t WM_KNOT_CHANGED = platform::WM_APP + 1;

// The knot the panel and the morphs edit; set once by panel_thread.
extern std::atomic<KnotShape*> panel_knot;

// Thread procedure; the argument is the knot. Shows the panel and returns
// when the user closes it.
void panel_thread(void* knot);

// The panel's dialog procedure.
intptr_t panel_proc(platform::Dialog* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam);

// Starts the panel's thread for `knot` (its 4096-byte stack request is raised
// to what a dialog needs). Safe to call before main() runs.
void start_control_panel(KnotShape* knot);

// Closes the panel and stops any morph, waiting a short while for both to
// end. True when nothing edits the knot any more.
bool stop_control_panel(KnotShape* knot);

// Tells the panel, from any thread, that p or q changed.
void panel_show_knot_changed();
