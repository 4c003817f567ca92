// The end of the process when the X server goes away. Xlib's default
// handler for a lost connection calls exit(), and the demo's two threads
// with X connections (the drawing window's and the control panel's) each
// meet the loss: two exit() calls racing through the exit handlers crash.
// One handler for the process instead: the first thread to meet the loss
// says so once and ends the process at once; any other waits for that.

#include "platform/display_loss.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace platform {

namespace {

std::atomic<bool> g_lost{false};

int on_connection_lost(Display*) {
  if (!g_lost.exchange(true)) {
    static const char kMessage[] = "knot: the connection to the X server was lost\n";
    ssize_t written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;
    _exit(1);
  }
  for (;;) pause();
}

}  // namespace

void end_on_display_loss() {
  XSetIOErrorHandler(on_connection_lost);
}

}  // namespace platform
