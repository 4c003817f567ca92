#include "video_gate.h"

#include <atomic>

namespace platform {

namespace {

// Constant-initialised: the panel's thread starts before main().
constinit std::atomic<bool> g_open{false};

}  // namespace

void open_video_gate() {
  g_open.store(true);
  g_open.notify_all();
}

void wait_for_video_gate() {
  g_open.wait(false);
}

}  // namespace platform
