// The end of the process when the X server goes away. Xlib's default
// handler for a lost connection calls exit(), and the demo's two threads
// with X connections (the drawing window's and the control panel's) each
// meet the loss: two exit() calls racing through the exit handlers crash.
// One handler for the process instead: the first thread to meet the loss
// says so once and ends the process at once; any other waits for that.

#include "display_loss.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
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

// A protocol error on a connection the server has closed is the loss
// itself (the toolkits' handlers would end the process with exit());
// any other goes to the handler installed before. That one may chain back
// to this one (a toolkit that installed its handler after ours and keeps
// ours as its own "previous"): a call that comes back is ignored.
std::atomic<XErrorHandler> g_previous_error_handler{nullptr};
thread_local bool t_in_error_handler = false;

int on_protocol_error(Display* display, XErrorEvent* event) {
  pollfd socket{ConnectionNumber(display), POLLIN, 0};
  if (g_lost.load() || (poll(&socket, 1, 0) > 0 && (socket.revents & (POLLHUP | POLLERR)) != 0)) {
    return on_connection_lost(display);
  }
  const XErrorHandler previous = g_previous_error_handler.load();
  if (previous == nullptr || t_in_error_handler) return 0;
  t_in_error_handler = true;
  const int result = previous(display, event);
  t_in_error_handler = false;
  return result;
}

}  // namespace

void end_on_display_loss() {
  // Writing to a closed connection raises SIGPIPE, which would end the
  // process before Xlib reports the loss.
  signal(SIGPIPE, SIG_IGN);
  XSetIOErrorHandler(on_connection_lost);
  const XErrorHandler previous = XSetErrorHandler(on_protocol_error);
  if (previous != on_protocol_error) g_previous_error_handler.store(previous);
}

}  // namespace platform
