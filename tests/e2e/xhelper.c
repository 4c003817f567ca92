/* X11 actions that no Debian tool performs, for the end-to-end tests.
 *
 *   xhelper close WINDOW          ask a window to close, as a window manager's
 *                                 close button does (WM_DELETE_WINDOW)
 *   xhelper drop WINDOW FILE...   drop files on a window, as a file manager
 *                                 does (the XDND protocol, version 5)
 */
#define _DEFAULT_SOURCE
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int usage(void) {
  fputs("usage: xhelper close WINDOW | xhelper drop WINDOW FILE...\n", stderr);
  return 2;
}

/* file:///path with %XX for bytes outside the unreserved set. */
static void append_uri(char* out, size_t size, const char* path) {
  static const char hex[] = "0123456789ABCDEF";
  size_t n = strlen(out);
  n += (size_t)snprintf(out + n, size - n, "file://");
  for (const unsigned char* p = (const unsigned char*)path; *p && n + 4 < size; ++p) {
    if (isalnum(*p) || strchr("/-_.~", *p)) {
      out[n++] = (char)*p;
    } else {
      out[n++] = '%';
      out[n++] = hex[*p >> 4];
      out[n++] = hex[*p & 15];
    }
  }
  n += (size_t)snprintf(out + n, size - n, "\r\n");
}

static void send_client(Display* d, Window target, Atom type, long l0, long l1, long l2, long l3,
                        long l4) {
  XEvent e;
  memset(&e, 0, sizeof e);
  e.xclient.type = ClientMessage;
  e.xclient.window = target;
  e.xclient.message_type = type;
  e.xclient.format = 32;
  e.xclient.data.l[0] = l0;
  e.xclient.data.l[1] = l1;
  e.xclient.data.l[2] = l2;
  e.xclient.data.l[3] = l3;
  e.xclient.data.l[4] = l4;
  XSendEvent(d, target, False, NoEventMask, &e);
  XFlush(d);
}

static int drop_files(Display* d, Window target, int count, char** files) {
  char uris[8192] = "";
  for (int i = 0; i < count; ++i) {
    char absolute[4096];
    if (realpath(files[i], absolute) == NULL) snprintf(absolute, sizeof absolute, "%s", files[i]);
    append_uri(uris, sizeof uris, absolute);
  }
  Window source = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom aware = XInternAtom(d, "XdndAware", False);
  const Atom selection = XInternAtom(d, "XdndSelection", False);
  const Atom enter = XInternAtom(d, "XdndEnter", False);
  const Atom position = XInternAtom(d, "XdndPosition", False);
  const Atom status = XInternAtom(d, "XdndStatus", False);
  const Atom drop = XInternAtom(d, "XdndDrop", False);
  const Atom finished = XInternAtom(d, "XdndFinished", False);
  const Atom copy = XInternAtom(d, "XdndActionCopy", False);
  const Atom uri_list = XInternAtom(d, "text/uri-list", False);
  long version = 5;
  XChangeProperty(d, source, aware, XA_ATOM, 32, PropModeReplace, (unsigned char*)&version, 1);
  XSelectInput(d, source, PropertyChangeMask);
  XSetSelectionOwner(d, selection, source, CurrentTime);

  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(d, target, DefaultRootWindow(d), 10, 10, &x, &y, &child);
  send_client(d, target, enter, (long)source, 5L << 24, (long)uri_list, 0, 0);
  send_client(d, target, position, (long)source, 0, ((long)x << 16) | y, CurrentTime, (long)copy);

  int dropped = 0, done = 0;
  for (int waited = 0; waited < 500 && !done; ++waited) {
    while (XPending(d)) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == ClientMessage && e.xclient.message_type == status && !dropped) {
        send_client(d, target, drop, (long)source, 0, CurrentTime, 0, 0);
        dropped = 1;
      } else if (e.type == ClientMessage && e.xclient.message_type == finished) {
        done = 1;
      } else if (e.type == SelectionRequest) {
        XSelectionRequestEvent* r = &e.xselectionrequest;
        XEvent reply;
        memset(&reply, 0, sizeof reply);
        reply.xselection.type = SelectionNotify;
        reply.xselection.requestor = r->requestor;
        reply.xselection.selection = r->selection;
        reply.xselection.target = r->target;
        reply.xselection.time = r->time;
        reply.xselection.property = None;
        if (r->target == uri_list) {
          XChangeProperty(d, r->requestor, r->property, uri_list, 8, PropModeReplace,
                          (unsigned char*)uris, (int)strlen(uris));
          reply.xselection.property = r->property;
        }
        XSendEvent(d, r->requestor, False, NoEventMask, &reply);
        XFlush(d);
      }
    }
    usleep(10000);
  }
  XDestroyWindow(d, source);
  if (!done) fputs("xhelper: the drop was not finished\n", stderr);
  return done ? 0 : 1;
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
  } else if (strcmp(argv[1], "drop") == 0 && argc > 3) {
    rc = drop_files(display, window, argc - 3, argv + 3);
  } else {
    rc = usage();
  }
  XCloseDisplay(display);
  return rc;
}
