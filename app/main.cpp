// knot: a (p,q) torus knot drawn as a lit, textured tube that turns, with a
// control panel beside it that reshapes the knot.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control_panel.h"
#include "shell.h"

// The one knot record, made before main() runs and destroyed at exit. Making
// it opens the control panel; destroying it closes the panel first.
KnotShape knot_shape(start_control_panel, stop_control_panel);

namespace {

void print_usage(FILE* out) {
  std::fputs(
      "Usage: knot [options]\n"
      "Draws a turning (p,q) torus knot. Escape ends the program, F1 switches\n"
      "between a window and a 640x480 full screen; a JPEG file dropped on the\n"
      "window becomes the knot's texture.\n"
      "\n"
      "Options:\n"
      "  --frames N           draw N frames, then end (exit status 0)\n"
      "  --screenshot FILE    with --frames, write the last frame to FILE as PNG\n"
      "  --print-state        print the knot's parameters when the program ends\n"
      "  --verbose            log windows and handled messages on standard error\n"
      "  --version            show the version\n"
      "  --help               show this help\n"
      "\n"
      "The texture textures/rust.jpg is read relative to the working directory.\n",
      out);
}

bool parse_count(const char* text, uint64_t* value) {
  char* end = nullptr;
  unsigned long long n = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || n == 0 || text[0] == '-') return false;
  *value = n;
  return true;
}

void print_state() {
  knot_shape.lock();
  std::printf("p=%.2f q=%.2f torus_radius=%.2f tube_radius=%.2f env_mapping=%d\n", knot_shape.p,
              knot_shape.q, knot_shape.torus_radius, knot_shape.tube_radius,
              knot_shape.env_mapping ? 1 : 0);
  knot_shape.unlock();
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Read the command line.
  ShellOptions options;
  bool want_state = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      print_usage(stdout);
      return 0;
    } else if (std::strcmp(arg, "--version") == 0) {
      std::printf("knot %s (jpegcodec %s)\n", KNOT_VERSION, JPEGCODEC_PACKAGE_VERSION);
      return 0;
    } else if (std::strcmp(arg, "--frames") == 0 && i + 1 < argc) {
      if (!parse_count(argv[++i], &options.frames)) {
        std::fprintf(stderr, "knot: --frames needs a positive whole number, not \"%s\"\n", argv[i]);
        return 2;
      }
    } else if (std::strcmp(arg, "--screenshot") == 0 && i + 1 < argc) {
      options.screenshot_path = argv[++i];
    } else if (std::strcmp(arg, "--print-state") == 0) {
      want_state = true;
    } else if (std::strcmp(arg, "--verbose") == 0) {
      options.verbose = true;
    } else {
      std::fprintf(stderr, "knot: unknown or incomplete option \"%s\"\n\n", arg);
      print_usage(stderr);
      return 2;
    }
  }
  if (!options.screenshot_path.empty() && options.frames == 0) {
    std::fputs("knot: --screenshot needs --frames N (the frame to write)\n", stderr);
    return 2;
  }

  // Run the window, its message loop and the tick timer until the user ends it.
  int exit_code = run_shell(options);

  // Report the knot as it was left.
  if (want_state) print_state();
  return exit_code;
}
