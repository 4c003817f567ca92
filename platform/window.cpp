#include "window.h"

#include <SDL.h>
#include <SDL_syswm.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "display_loss.h"
#include "video_gate.h"

namespace platform {

struct Window {
  SDL_Window* sdl = nullptr;
  std::string class_name;
  WindowProc procedure = nullptr;
  uint32_t style = 0;
  uint32_t ex_style = 0;
  bool minimised = false;
};

struct DeviceContext {
  Window* window = nullptr;
  int format = 0;
  PixelFormat request;
};

struct GlContext {
  SDL_GLContext sdl = nullptr;
  DeviceContext* dc = nullptr;
};

struct Drop {
  std::vector<std::string> files;
};

struct Icon {
  SDL_Surface* surface = nullptr;
};

struct Cursor {
  SDL_Cursor* sdl = nullptr;
};

namespace {

struct RegisteredClass {
  std::string name;
  WindowClass info;
};

bool g_video_started = false;
bool g_video_failed = false;
std::vector<RegisteredClass> g_classes;
std::vector<Window*> g_windows;
std::deque<Message> g_posted;
std::unique_ptr<Drop> g_drop_in_progress;
bool g_mode_pending = false;
SDL_DisplayMode g_pending_mode{};
int g_cursor_count = 0;
// Colour and depth bits the next window's surface is made with: the last
// pixel format set, or the demo's usual request before the first one.
PixelFormat g_surface_request = [] {
  PixelFormat p;
  p.flags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
  p.color_bits = 32;
  p.depth_bits = 16;
  return p;
}();

constexpr char kInstanceTag = 0;

bool start_video() {
  if (g_video_started) return true;
  if (g_video_failed) return false;
  // SDL quietly falls back to an off-screen driver when X11 is missing, which
  // would run the demo with nothing on the screen; insist on X11.
  SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
  const int started = SDL_InitSubSystem(SDL_INIT_VIDEO);
  open_video_gate();
  if (started != 0) {
    g_video_failed = true;
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
      std::fprintf(stderr,
                   "knot: no display: DISPLAY is not set. Run the demo in an X11 session, "
                   "or under Xvfb (xvfb-run build/bin/knot).\n");
    } else {
      std::fprintf(stderr, "knot: cannot open the X11 display \"%s\": %s\n", display,
                   SDL_GetError());
    }
    return false;
  }
  g_video_started = true;
  end_on_display_loss();  // after SDL's own handler
  return true;
}

Window* window_from_sdl_id(uint32_t id) {
  for (Window* w : g_windows) {
    if (SDL_GetWindowID(w->sdl) == id) return w;
  }
  return nullptr;
}

bool is_live(const Window* window) {
  return window != nullptr &&
         std::find(g_windows.begin(), g_windows.end(), window) != g_windows.end();
}

const RegisteredClass* find_class(const char* name) {
  if (name == nullptr) return nullptr;
  for (const RegisteredClass& c : g_classes) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

uint32_t virtual_key(SDL_Keycode key) {
  if (key >= SDLK_a && key <= SDLK_z) return 'A' + static_cast<uint32_t>(key - SDLK_a);
  if (key >= SDLK_0 && key <= SDLK_9) return '0' + static_cast<uint32_t>(key - SDLK_0);
  if (key >= SDLK_F1 && key <= SDLK_F12) return VK_F1 + static_cast<uint32_t>(key - SDLK_F1);
  switch (key) {
    case SDLK_BACKSPACE:
      return 8;
    case SDLK_TAB:
      return 9;
    case SDLK_RETURN:
      return VK_RETURN;
    case SDLK_ESCAPE:
      return VK_ESCAPE;
    case SDLK_SPACE:
      return VK_SPACE;
    case SDLK_LEFT:
      return 37;
    case SDLK_UP:
      return 38;
    case SDLK_RIGHT:
      return 39;
    case SDLK_DOWN:
      return 40;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT:
      return 16;
    case SDLK_LCTRL:
    case SDLK_RCTRL:
      return 17;
    case SDLK_LALT:
    case SDLK_RALT:
      return 18;
    default:
      return 0;
  }
}

// Turns one SDL event into a message; false when the event means nothing to
// the window procedures.
bool translate_event(const SDL_Event& event, Message* out) {
  switch (event.type) {
    case SDL_QUIT:
      // Interrupt or terminate signal: close the first window politely.
      if (g_windows.empty()) return false;
      *out = {g_windows.front(), WM_CLOSE, 0, 0};
      return true;
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
      Window* w = window_from_sdl_id(event.key.windowID);
      uint32_t vk = virtual_key(event.key.keysym.sym);
      if (w == nullptr || vk == 0) return false;
      *out = {w, event.type == SDL_KEYDOWN ? WM_KEYDOWN : WM_KEYUP, vk, 0};
      return true;
    }
    case SDL_WINDOWEVENT: {
      Window* w = window_from_sdl_id(event.window.windowID);
      if (w == nullptr) return false;
      switch (event.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
          *out = {w, WM_CLOSE, 0, 0};
          return true;
        case SDL_WINDOWEVENT_SIZE_CHANGED:
          *out = {w, WM_SIZE, 0,
                  make_lparam(static_cast<uint32_t>(event.window.data1),
                              static_cast<uint32_t>(event.window.data2))};
          return true;
        case SDL_WINDOWEVENT_MINIMIZED:
          w->minimised = true;
          *out = {w, WM_ACTIVATE, static_cast<uintptr_t>(make_lparam(WA_INACTIVE, 1)), 0};
          return true;
        case SDL_WINDOWEVENT_RESTORED:
          w->minimised = false;
          *out = {w, WM_ACTIVATE, static_cast<uintptr_t>(make_lparam(WA_ACTIVE, 0)), 0};
          return true;
        case SDL_WINDOWEVENT_FOCUS_GAINED:
        case SDL_WINDOWEVENT_FOCUS_LOST: {
          uint32_t state =
              event.window.event == SDL_WINDOWEVENT_FOCUS_GAINED ? WA_ACTIVE : WA_INACTIVE;
          *out = {w, WM_ACTIVATE, static_cast<uintptr_t>(make_lparam(state, w->minimised ? 1 : 0)),
                  0};
          return true;
        }
        default:
          return false;
      }
    }
    case SDL_DROPBEGIN:
      g_drop_in_progress = std::make_unique<Drop>();
      return false;
    case SDL_DROPFILE: {
      if (!g_drop_in_progress) g_drop_in_progress = std::make_unique<Drop>();
      if (event.drop.file != nullptr) {
        g_drop_in_progress->files.emplace_back(event.drop.file);
        SDL_free(event.drop.file);
      }
      return false;
    }
    case SDL_DROPTEXT:
      SDL_free(event.drop.file);
      return false;
    case SDL_DROPCOMPLETE: {
      std::unique_ptr<Drop> drop = std::move(g_drop_in_progress);
      Window* w = window_from_sdl_id(event.drop.windowID);
      if (w == nullptr && !g_windows.empty()) w = g_windows.front();
      // Only windows made drop targets take files; others never see the drop.
      if (!drop || drop->files.empty() || w == nullptr || !(w->ex_style & WS_EX_ACCEPTFILES)) {
        return false;
      }
      *out = {w, WM_DROPFILES, reinterpret_cast<uintptr_t>(drop.release()), 0};
      return true;
    }
    default:
      return false;
  }
}

void set_surface_attributes(const PixelFormat& request) {
  SDL_GL_ResetAttributes();
  int channel = request.color_bits >= 24 ? 8 : 5;
  SDL_GL_SetAttribute(SDL_GL_RED_SIZE, channel);
  SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, channel);
  SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, channel);
  SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, request.depth_bits);
  SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, request.stencil_bits);
  SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, (request.flags & PFD_DOUBLEBUFFER) ? 1 : 0);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 1);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
}

}  // namespace

Instance module_handle() {
  return &kInstanceTag;
}

Icon* load_icon(StockIcon) {
  // The application icon: a white ring on blue, drawn once.
  static Icon icon = [] {
    Icon made;
    constexpr int kSize = 32;
    made.surface = SDL_CreateRGBSurfaceWithFormat(0, kSize, kSize, 32, SDL_PIXELFORMAT_RGBA32);
    if (made.surface == nullptr) return made;
    auto* pixels = static_cast<uint8_t*>(made.surface->pixels);
    for (int y = 0; y < kSize; ++y) {
      for (int x = 0; x < kSize; ++x) {
        double dx = x - 15.5, dy = y - 15.5;
        double r = std::sqrt(dx * dx + dy * dy);
        bool ring = r > 7.0 && r < 12.0;
        uint8_t* px = pixels + y * made.surface->pitch + x * 4;
        px[0] = ring ? 255 : 40;
        px[1] = ring ? 255 : 70;
        px[2] = ring ? 255 : 160;
        px[3] = 255;
      }
    }
    return made;
  }();
  return &icon;
}

Cursor* load_cursor(StockCursor) {
  static Cursor cursor;
  if (cursor.sdl == nullptr && start_video()) {
    cursor.sdl = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
  }
  return &cursor;
}

bool register_class(const WindowClass& window_class) {
  if (!start_video()) return false;
  if (window_class.class_name == nullptr || window_class.procedure == nullptr) return false;
  if (find_class(window_class.class_name) != nullptr) return false;
  g_classes.push_back({window_class.class_name, window_class});
  return true;
}

bool unregister_class(const char* class_name, Instance instance) {
  const RegisteredClass* c = find_class(class_name);
  if (c == nullptr || c->info.instance != instance) return false;
  for (const Window* w : g_windows) {
    if (w->class_name == class_name) return false;  // still in use
  }
  g_classes.erase(g_classes.begin() + (c - g_classes.data()));
  return true;
}

bool adjust_window_rect(Rect* rect, uint32_t, bool, uint32_t) {
  return rect != nullptr;
}

Window* create_window(uint32_t ex_style, const char* class_name, const char* title, uint32_t style,
                      int x, int y, int width, int height, Instance instance) {
  const RegisteredClass* c = find_class(class_name);
  if (c == nullptr || c->info.instance != instance || !start_video()) return nullptr;

  set_surface_attributes(g_surface_request);
  uint32_t flags = SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN;
  bool fullscreen = (style & WS_POPUP) && g_mode_pending;
  if (fullscreen) {
    // A full-screen window covers the switched screen from its origin.
    flags |= SDL_WINDOW_FULLSCREEN;
    x = 0;
    y = 0;
  } else if ((style & WS_OVERLAPPEDWINDOW) == WS_OVERLAPPEDWINDOW) {
    flags |= SDL_WINDOW_RESIZABLE;
  } else if (style & WS_POPUP) {
    flags |= SDL_WINDOW_BORDERLESS;
  }
  SDL_Window* sdl = SDL_CreateWindow(title ? title : "", x, y, width, height, flags);
  if (sdl == nullptr) return nullptr;
  if (fullscreen && SDL_SetWindowDisplayMode(sdl, &g_pending_mode) != 0) {
    SDL_DestroyWindow(sdl);
    return nullptr;
  }
  if (c->info.icon != nullptr && c->info.icon->surface != nullptr) {
    SDL_SetWindowIcon(sdl, c->info.icon->surface);
  }
  if (c->info.cursor != nullptr && c->info.cursor->sdl != nullptr)
    SDL_SetCursor(c->info.cursor->sdl);
  auto* w = new Window;
  w->sdl = sdl;
  w->class_name = class_name;
  w->procedure = c->info.procedure;
  w->style = style;
  w->ex_style = ex_style;
  g_windows.push_back(w);
  return w;
}

bool destroy_window(Window* window) {
  if (!is_live(window)) return false;
  g_windows.erase(std::find(g_windows.begin(), g_windows.end(), window));
  SDL_DestroyWindow(window->sdl);
  // Messages already queued for this window must not reach a dead handle.
  std::erase_if(g_posted, [window](const Message& m) { return m.window == window; });
  delete window;
  return true;
}

void show_window(Window* window) {
  if (is_live(window)) SDL_ShowWindow(window->sdl);
}

bool set_foreground_window(Window* window) {
  if (!is_live(window)) return false;
  SDL_RaiseWindow(window->sdl);
  return true;
}

void set_focus(Window* window) {
  if (is_live(window)) SDL_SetWindowInputFocus(window->sdl);
}

int show_cursor(bool show) {
  g_cursor_count += show ? 1 : -1;
  if (g_video_started) SDL_ShowCursor(g_cursor_count >= 0 ? SDL_ENABLE : SDL_DISABLE);
  return g_cursor_count;
}

int32_t change_display_settings(const DisplayMode* mode, uint32_t) {
  if (mode == nullptr) {
    g_mode_pending = false;
    for (Window* w : g_windows) {
      if (SDL_GetWindowFlags(w->sdl) & SDL_WINDOW_FULLSCREEN) SDL_SetWindowFullscreen(w->sdl, 0);
    }
    return DISP_CHANGE_SUCCESSFUL;
  }
  if (!start_video()) return DISP_CHANGE_FAILED;
  int count = SDL_GetNumDisplayModes(0);
  for (int i = 0; i < count; ++i) {
    SDL_DisplayMode m;
    if (SDL_GetDisplayMode(0, i, &m) != 0) continue;
    if ((mode->fields & DM_PELSWIDTH) && static_cast<uint32_t>(m.w) != mode->width) continue;
    if ((mode->fields & DM_PELSHEIGHT) && static_cast<uint32_t>(m.h) != mode->height) continue;
    if (mode->fields & DM_BITSPERPEL) {
      // A 32-bit mode is 24 bits of colour in 4 bytes.
      uint32_t bits = SDL_BYTESPERPIXEL(m.format) * 8;
      if (bits != mode->bits_per_pixel) continue;
    }
    g_pending_mode = m;
    g_mode_pending = true;
    return DISP_CHANGE_SUCCESSFUL;
  }
  return DISP_CHANGE_BADMODE;
}

bool current_display_size(int* width, int* height) {
  if (!g_video_started) return false;
  SDL_DisplayMode m;
  if (SDL_GetCurrentDisplayMode(0, &m) != 0) return false;
  *width = m.w;
  *height = m.h;
  return true;
}

unsigned long native_window_id(const Window* window) {
  if (!is_live(window)) return 0;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window->sdl, &info) || info.subsystem != SDL_SYSWM_X11) return 0;
  return info.info.x11.window;
}

DeviceContext* get_dc(Window* window) {
  if (!is_live(window)) return nullptr;
  auto* dc = new DeviceContext;
  dc->window = window;
  return dc;
}

bool release_dc(Window* window, DeviceContext* dc) {
  if (dc == nullptr || dc->window != window) return false;
  delete dc;
  return true;
}

int choose_pixel_format(DeviceContext* dc, const PixelFormat& request) {
  if (dc == nullptr || !is_live(dc->window)) return 0;
  const uint32_t needed = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL;
  if ((request.flags & needed) != needed || request.pixel_type != PFD_TYPE_RGBA) return 0;
  // The window's surface was made from g_surface_request; it serves any
  // request that asks for no more than that.
  if (request.color_bits > 32 || request.depth_bits > 32) return 0;
  if ((request.flags & PFD_DOUBLEBUFFER) && !(g_surface_request.flags & PFD_DOUBLEBUFFER)) return 0;
  return 1;
}

bool set_pixel_format(DeviceContext* dc, int format, const PixelFormat& request) {
  if (dc == nullptr || format != 1 || dc->format != 0) return false;
  dc->format = format;
  dc->request = request;
  g_surface_request = request;
  return true;
}

GlContext* create_context(DeviceContext* dc) {
  if (dc == nullptr || dc->format == 0 || !is_live(dc->window)) return nullptr;
  SDL_GLContext sdl = SDL_GL_CreateContext(dc->window->sdl);
  if (sdl == nullptr) return nullptr;
  // Refuse a surface poorer than the request rather than draw without depth.
  int depth = 0, doubled = 0;
  SDL_GL_GetAttribute(SDL_GL_DEPTH_SIZE, &depth);
  SDL_GL_GetAttribute(SDL_GL_DOUBLEBUFFER, &doubled);
  if (depth < dc->request.depth_bits || ((dc->request.flags & PFD_DOUBLEBUFFER) && doubled == 0)) {
    SDL_GL_MakeCurrent(dc->window->sdl, nullptr);
    SDL_GL_DeleteContext(sdl);
    return nullptr;
  }
  auto* context = new GlContext;
  context->sdl = sdl;
  context->dc = dc;
  return context;
}

bool make_current(DeviceContext* dc, GlContext* context) {
  if (dc == nullptr && context == nullptr) return SDL_GL_MakeCurrent(nullptr, nullptr) == 0;
  if (dc == nullptr || context == nullptr || !is_live(dc->window)) return false;
  return SDL_GL_MakeCurrent(dc->window->sdl, context->sdl) == 0;
}

bool delete_context(GlContext* context) {
  if (context == nullptr) return false;
  SDL_GL_DeleteContext(context->sdl);
  delete context;
  return true;
}

bool swap_buffers(DeviceContext* dc) {
  if (dc == nullptr || !is_live(dc->window)) return false;
  SDL_GL_SwapWindow(dc->window->sdl);
  return true;
}

int context_depth_bits(DeviceContext* dc) {
  if (dc == nullptr) return 0;
  int depth = 0;
  SDL_GL_GetAttribute(SDL_GL_DEPTH_SIZE, &depth);
  return depth;
}

bool peek_message(Message* message) {
  if (!g_posted.empty()) {
    *message = g_posted.front();
    g_posted.pop_front();
    return true;
  }
  if (!g_video_started) return false;
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    if (translate_event(event, message)) return true;
  }
  return false;
}

void translate_message(const Message&) {
  // Character messages are not used by any window of this program.
}

intptr_t dispatch_message(const Message& message) {
  if (!is_live(message.window)) return 0;
  return message.window->procedure(message.window, message.message, message.wparam, message.lparam);
}

intptr_t default_window_proc(Window* window, uint32_t message, uintptr_t wparam, intptr_t) {
  switch (message) {
    case WM_CLOSE:
      destroy_window(window);
      return 0;
    case WM_DROPFILES:
      // A procedure that took the drop owns it; one that passed it on has it freed here.
      return 0;
    case WM_SYSCOMMAND:
      if (wparam == SC_SCREENSAVE || wparam == SC_MONITORPOWER) SDL_EnableScreenSaver();
      return 0;
    default:
      return 0;
  }
}

void post_quit_message(int exit_code) {
  g_posted.push_back({nullptr, WM_QUIT, static_cast<uintptr_t>(exit_code), 0});
}

uint32_t drag_query_file(Drop* drop, uint32_t index, char* buffer, uint32_t size) {
  if (drop == nullptr || index >= drop->files.size() || buffer == nullptr || size == 0) return 0;
  const std::string& name = drop->files[index];
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(name.size(), size - 1));
  std::memcpy(buffer, name.data(), n);
  buffer[n] = '\0';
  return n;
}

void drag_finish(Drop* drop) {
  delete drop;
}

int message_box(Window* owner, const char* text, const char* caption, uint32_t flags) {
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
  // Without a display SDL would fork a dialog helper from this threaded
  // process only to have it fail; the text above is all that can be shown.
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) {
    std::fprintf(stderr, "knot: the message box could not be shown: no display\n");
    return 0;
  }
  SDL_MessageBoxButtonData yes_no[] = {
      {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, IDYES, "Yes"},
      {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, IDNO, "No"},
  };
  SDL_MessageBoxButtonData ok[] = {
      {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, IDOK,
       "OK"},
  };
  uint32_t icon = flags & 0xF0;
  uint32_t sdl_flags = icon == MB_ICONSTOP          ? SDL_MESSAGEBOX_ERROR
                       : icon == MB_ICONEXCLAMATION ? SDL_MESSAGEBOX_WARNING
                                                    : SDL_MESSAGEBOX_INFORMATION;
  bool is_yes_no = (flags & 0xF) == MB_YESNO;
  SDL_MessageBoxData data{};
  data.flags = sdl_flags;
  data.window = is_live(owner) ? owner->sdl : nullptr;
  data.title = caption ? caption : "";
  data.message = text ? text : "";
  data.numbuttons = is_yes_no ? 2 : 1;
  data.buttons = is_yes_no ? yes_no : ok;
  int pressed = 0;
  if (SDL_ShowMessageBox(&data, &pressed) != 0) {
    std::fprintf(stderr, "knot: the message box could not be shown: %s\n", SDL_GetError());
    return 0;
  }
  // Closing the box without a button counts as its escape button.
  if (pressed < 0) pressed = is_yes_no ? IDNO : IDOK;
  return pressed;
}

}  // namespace platform
