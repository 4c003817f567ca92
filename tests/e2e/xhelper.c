/* X11 actions that no Debian tool performs, for the end-to-end tests.
 *
 *   xhelper close WINDOW   ask a window to close, as a window manager's close
 *                          button does (WM_DELETE_WINDOW)
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int usage(void) {
  fputs("usage: xhelper close WINDOW\n", stderr);
  return 2;
}

static int close_window(Display* display, Window window) {
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  if (!XSendEvent(display, window, False, NoEventMask, &event)) return 1;
  XSync(display, False);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fputs("xhelper: cannot open the display\n", stderr);
    return 1;
  }
  Window window = (Window)strtoul(argv[2], NULL, 0);
  int rc;
  if (strcmp(argv[1], "close") == 0) {
    rc = close_window(display, window);
  } else {
    rc = usage();
  }
  XCloseDisplay(display);
  return rc;
}
