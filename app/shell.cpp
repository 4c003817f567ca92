#include "shell.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdarg>
#include <cstdio>
#include <memory>

#include "image_files.h"
#include "texture_files.h"
#include "ticks.h"
#include "timer.h"

using namespace platform;

namespace {

constexpr const char* kClassName = "OpenGL";
constexpr const char* kTitle = "OpenGL Framework";
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kColourBits = 32;
constexpr const char* kStartupTexture = "textures/rust.jpg";

// Shell state, owned by the main thread.
bool KeyState[256] = {};
bool is_active = true;
bool is_fullscreen = false;
Instance instance = nullptr;
DeviceContext* device_context = nullptr;
GlContext* rendering_context = nullptr;
Window* window = nullptr;
// Filled at the first window creation and reused unchanged afterwards.
PixelFormat pixel_format;
bool pixel_format_filled = false;

ShellOptions options;

void log(const char* format, ...) {
  if (!options.verbose) return;
  std::va_list args;
  va_start(args, format);
  std::fputs("knot: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

void error_box(const char* text) {
  message_box(nullptr, text, "ERROR", MB_OK | MB_ICONEXCLAMATION);
}

void shutdown_box(const char* text) {
  message_box(nullptr, text, "SHUTDOWN ERROR", MB_OK | MB_ICONINFORMATION);
}

// A failure after the window exists: tear down what was made, then say why.
bool fail_creation(const char* text) {
  destroy_gl_window();
  error_box(text);
  return false;
}

void fill_pixel_format(int bits) {
  pixel_format = PixelFormat{};
  pixel_format.size = 40;
  pixel_format.version = 1;
  pixel_format.flags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
  pixel_format.pixel_type = PFD_TYPE_RGBA;
  pixel_format.color_bits = static_cast<uint8_t>(bits);
  pixel_format.depth_bits = 16;
  pixel_format.layer_type = PFD_MAIN_PLANE;
  pixel_format_filled = true;
}

// The first file of a drop becomes the texture when its name says JPEG.
void on_file_dropped(const char* name) {
  const bool taken = is_texture_file_name(name);
  log("dropped file \"%s\"%s", name, taken ? "" : " (not a .jpg or .JPG name: ignored)");
  if (taken) knot_shape.load_texture(name);
}

bool save_back_buffer(const char* path) {
  GLint viewport[4] = {};
  glGetIntegerv(GL_VIEWPORT, viewport);
  const uint32_t width = static_cast<uint32_t>(viewport[2]);
  const uint32_t height = static_cast<uint32_t>(viewport[3]);
  if (width == 0 || height == 0) return false;
  const size_t stride = static_cast<size_t>(width) * 3;
  std::unique_ptr<uint8_t[]> rows(new uint8_t[stride * height]);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, static_cast<GLsizei>(width), static_cast<GLsizei>(height), GL_RGB,
               GL_UNSIGNED_BYTE, rows.get());
  // OpenGL's first row is the bottom one; PNG's is the top.
  return imageio::write_png(path, rows.get() + stride * (height - 1), width, height, 3,
                            -static_cast<ptrdiff_t>(stride));
}

}  // namespace

void timer_tick(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
  TickCounter.fetch_add(1, std::memory_order_relaxed);
}

void resize_scene(uint32_t width, int32_t height) {
  if (height == 0) height = 1;
  glViewport(0, 0, static_cast<GLsizei>(width), height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(45.0, static_cast<double>(width) / static_cast<double>(height),
                 static_cast<double>(0.1f), 1000.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
}

bool init_scene() {
  glClearColor(0.0f, 0.0f, 0.0f, 0.5f);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glClearDepth(1.0);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
  glEnable(GL_TEXTURE_2D);
  // These apply to the texture bound now, the default one; the knot's own
  // texture object keeps OpenGL's initial parameters.
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, static_cast<GLfloat>(GL_REPEAT));
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, static_cast<GLfloat>(GL_REPEAT));
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, static_cast<GLfloat>(GL_LINEAR));
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER,
                  static_cast<GLfloat>(GL_LINEAR_MIPMAP_NEAREST));
  glShadeModel(GL_SMOOTH);

  const GLfloat specular[] = {1.0f, 1.0f, 1.0f, 1.0f};
  const GLfloat shininess[] = {50.0f};
  glMaterialfv(GL_FRONT, GL_SPECULAR, specular);
  glMaterialfv(GL_FRONT, GL_SHININESS, shininess);

  // w = 50 puts the positional light at (2, 2, 2) in eye coordinates.
  const GLfloat light_position[] = {100.0f, 100.0f, 100.0f, 50.0f};
  const GLfloat white[] = {1.0f, 1.0f, 1.0f, 1.0f};
  glLightfv(GL_LIGHT0, GL_POSITION, light_position);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, white);
  glLightfv(GL_LIGHT0, GL_SPECULAR, white);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);

  knot_shape.load_texture(kStartupTexture);
  knot_shape.lock();
  knot_shape.build_mesh();
  knot_shape.unlock();
  return true;
}

bool draw_scene() {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glLoadIdentity();
  glTranslatef(0.0f, 0.0f, -10.0f);
  // 0.35 degrees a tick: 35 degrees a second about (1, 1, 1).
  const float angle = static_cast<float>(TickCounter.load(std::memory_order_relaxed)) * 0.35f;
  glRotatef(angle, 1.0f, 1.0f, 1.0f);
  knot_shape.draw();
  return true;
}

void destroy_gl_window() {
  if (is_fullscreen) {
    change_display_settings(nullptr, 0);
    show_cursor(true);
  }
  if (rendering_context != nullptr) {
    if (!make_current(nullptr, nullptr)) shutdown_box("Release Of DC And RC Failed.");
    if (!delete_context(rendering_context)) shutdown_box("Release Rendering Context Failed.");
    rendering_context = nullptr;
  }
  if (device_context != nullptr) {
    if (!release_dc(window, device_context)) shutdown_box("Release Device Context Failed.");
    device_context = nullptr;
  }
  if (window != nullptr) {
    if (!destroy_window(window)) shutdown_box("Could Not Release hWnd.");
    window = nullptr;
  }
  if (!unregister_class(kClassName, instance)) shutdown_box("Could Not Unregister Class.");
  instance = nullptr;
}

bool create_gl_window(const char* title, int width, int height, int bits, bool fullscreen) {
  is_fullscreen = fullscreen;
  instance = module_handle();

  WindowClass window_class;
  window_class.style = CS_HREDRAW | CS_VREDRAW | CS_OWNDC;
  window_class.procedure = window_proc;
  window_class.instance = instance;
  window_class.icon = load_icon(StockIcon::Application);
  window_class.cursor = load_cursor(StockCursor::Arrow);
  window_class.class_name = kClassName;
  if (!register_class(window_class)) {
    error_box("Failed To Register The Window Class.");
    return false;
  }

  if (is_fullscreen) {
    DisplayMode mode;
    mode.fields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
    mode.width = static_cast<uint32_t>(width);
    mode.height = static_cast<uint32_t>(height);
    mode.bits_per_pixel = static_cast<uint32_t>(bits);
    if (change_display_settings(&mode, CDS_FULLSCREEN) != DISP_CHANGE_SUCCESSFUL) {
      if (message_box(nullptr,
                      "The Requested Fullscreen Mode Is Not Supported By\nYour Video Card. Use "
                      "Windowed Mode Instead?",
                      "Blah", MB_YESNO | MB_ICONEXCLAMATION) == IDYES) {
        is_fullscreen = false;
      } else {
        message_box(nullptr, "Program Will Now Close.", "ERROR", MB_OK | MB_ICONSTOP);
        return false;
      }
    }
  }

  uint32_t ex_style, style;
  if (is_fullscreen) {
    ex_style = WS_EX_APPWINDOW;
    style = WS_POPUP;
    show_cursor(false);
  } else {
    // Files can be dropped only on the window, not on the full screen.
    ex_style = WS_EX_APPWINDOW | WS_EX_WINDOWEDGE | WS_EX_ACCEPTFILES;
    style = WS_OVERLAPPEDWINDOW;
  }

  Rect rect{0, 0, width, height};
  adjust_window_rect(&rect, style, false, ex_style);

  window = create_window(ex_style, kClassName, title, style | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                         200, 0, rect.right - rect.left, rect.bottom - rect.top, instance);
  if (window == nullptr) return fail_creation("Window Creation Error.");

  if (!pixel_format_filled) fill_pixel_format(bits);

  device_context = get_dc(window);
  if (device_context == nullptr) return fail_creation("Can't Create A GL Device Context.");

  const int format = choose_pixel_format(device_context, pixel_format);
  if (format == 0) return fail_creation("Can't Find A Suitable PixelFormat.");
  if (!set_pixel_format(device_context, format, pixel_format)) {
    return fail_creation("Can't Set The PixelFormat.");
  }

  rendering_context = create_context(device_context);
  if (rendering_context == nullptr) return fail_creation("Can't Create A GL Rendering Context.");
  if (!make_current(device_context, rendering_context)) {
    return fail_creation("Can't Activate The GL Rendering Context.");
  }

  show_window(window);
  set_foreground_window(window);
  set_focus(window);
  resize_scene(static_cast<uint32_t>(width), height);

  if (!init_scene()) return fail_creation("Initialization Failed.");

  int screen_w = 0, screen_h = 0;
  current_display_size(&screen_w, &screen_h);
  log("window 0x%lx created: %s %dx%d, screen %dx%d, depth buffer %d bits",
      native_window_id(window), is_fullscreen ? "full screen" : "windowed", width, height, screen_w,
      screen_h, context_depth_bits(device_context));
  return true;
}

intptr_t window_proc(Window* target, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  switch (message) {
    case WM_ACTIVATE:
      // Only minimising stops the drawing; losing the focus does not.
      is_active = high_word(wparam) == 0;
      log("activate %u minimised %u", low_word(wparam), high_word(wparam));
      return 0;
    case WM_SYSCOMMAND:
      if (wparam == SC_SCREENSAVE || wparam == SC_MONITORPOWER) return 0;
      break;
    case WM_CLOSE:
      log("close");
      post_quit_message(0);
      return 0;
    case WM_KEYDOWN:
      if (wparam < 256) KeyState[wparam] = true;
      log("key down %u", static_cast<unsigned>(wparam));
      return 0;
    case WM_KEYUP:
      if (wparam < 256) KeyState[wparam] = false;
      log("key up %u", static_cast<unsigned>(wparam));
      return 0;
    case WM_SIZE:
      log("size %ux%u", low_word(static_cast<uintptr_t>(lparam)),
          high_word(static_cast<uintptr_t>(lparam)));
      resize_scene(low_word(static_cast<uintptr_t>(lparam)),
                   static_cast<int32_t>(high_word(static_cast<uintptr_t>(lparam))));
      return 0;
    case WM_DROPFILES: {
      auto* drop = reinterpret_cast<Drop*>(wparam);
      char name[1024];
      // Only the first file of a drop is looked at.
      drag_query_file(drop, 0, name, sizeof name);
      on_file_dropped(name);
      drag_finish(drop);
      break;
    }
    default:
      break;
  }
  return default_window_proc(target, message, wparam, lparam);
}

int run_shell(const ShellOptions& shell_options) {
  options = shell_options;

  if (!create_gl_window(kTitle, kWidth, kHeight, kColourBits, is_fullscreen)) return 1;

  TickCounter.store(0, std::memory_order_relaxed);
  const uint32_t timer = time_set_event(10, 0, timer_tick, 0, TIME_PERIODIC);

  Message message;
  bool quit_received = false;
  uint64_t frames = 0;
  // For the frame-rate line of the verbose log, once a second.
  uint32_t rate_tick = 0;
  uint64_t rate_frames = 0;
  bool done = false;
  while (!done) {
    if (peek_message(&message)) {
      if (message.message == WM_QUIT) {
        quit_received = true;
        done = true;
      } else {
        translate_message(message);
        dispatch_message(message);
      }
      continue;
    }
    if (is_active) {
      if (KeyState[VK_ESCAPE]) {
        done = true;
      } else {
        draw_scene();
        ++frames;
        const bool last_frame = options.frames != 0 && frames >= options.frames;
        if (last_frame && !options.screenshot_path.empty()) {
          if (save_back_buffer(options.screenshot_path.c_str())) {
            log("screenshot written to %s", options.screenshot_path.c_str());
          }
        }
        swap_buffers(device_context);
        if (last_frame) done = true;
        const uint32_t now = TickCounter.load(std::memory_order_relaxed);
        if (now - rate_tick >= 100) {
          log("%llu frames per second",
              static_cast<unsigned long long>((frames - rate_frames) * 100 / (now - rate_tick)));
          rate_tick = now;
          rate_frames = frames;
        }
      }
    }
    if (KeyState[VK_F1]) {
      KeyState[VK_F1] = false;
      destroy_gl_window();
      is_fullscreen = !is_fullscreen;
      if (!create_gl_window(kTitle, kWidth, kHeight, kColourBits, is_fullscreen)) {
        time_kill_event(timer);
        return 1;
      }
    }
  }

  time_kill_event(timer);
  destroy_gl_window();
  log("ended after %llu frames, %u ticks", static_cast<unsigned long long>(frames),
      TickCounter.load());
  // The quit message carries the exit code; Escape and a frame limit end with 0.
  return quit_received ? static_cast<int>(message.wparam) : 0;
}
