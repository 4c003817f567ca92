// The application shell: the drawing window and its OpenGL context, the
// switch between a window and a 640×480 full screen, the message loop that
// draws whenever no message waits, and the 10 ms tick timer.
#pragma once

#include <cstdint>
#include <string>

#include "knot_shape.h"
#include "window.h"

// The one knot, shared with the control panel; defined in main.cpp.
extern KnotShape knot_shape;

struct ShellOptions {
  // Draw this many frames, then end as if Escape had been pressed (0: run
  // until the user ends the program).
  uint64_t frames = 0;
  // Write the last frame's back buffer here as PNG before it is shown.
  std::string screenshot_path;
  // Log windows and handled messages on standard error.
  bool verbose = false;
};

// Runs the demo and returns the process exit code: 0 when the user ended it,
// 1 when the window could not be created.
int run_shell(const ShellOptions& options);

bool create_gl_window(const char* title, int width, int height, int bits, bool fullscreen);
void destroy_gl_window();
void resize_scene(uint32_t width, int32_t height);
bool init_scene();
bool draw_scene();
intptr_t window_proc(platform::Window* window, uint32_t message, uintptr_t wparam, intptr_t lparam);
void timer_tick(uint32_t id, uint32_t message, uintptr_t user, uintptr_t dw1, uintptr_t dw2);
