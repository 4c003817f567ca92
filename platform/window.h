// The drawing window's platform services: window classes and windows, the
// full-screen display-mode switch, OpenGL pixel formats and contexts, the
// message queue with its window procedures, and message boxes.
//
// The shell is written as a sequence of small, individually failing steps
// (register a class, create a window, get its drawing surface, choose a pixel
// format, create and activate a context, ...), each with its own message on
// failure. This layer offers one call per step, built on SDL2 with its x11
// video driver, so the shell keeps that structure and those failure paths.
//
// What it supports: one GL 1.1 compatibility context per window, RGBA,
// double-buffered, depth of at least the requested bits; a real switch of the
// display to a listed mode for pop-up (full-screen) windows; keys with their
// virtual-key codes; activation and minimising; size changes; dropped files.
// What it lacks: child windows, menus, painting messages, character messages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct Window;         // a top-level window
struct DeviceContext;  // a window's drawing surface
struct GlContext;      // an OpenGL rendering context
struct Drop;           // the files of one drag-and-drop
struct Icon;           // a window icon
struct Cursor;         // a mouse pointer shape
using Instance = const void*;

// Message identifiers the window procedures see.
inline constexpr uint32_t WM_SIZE = 0x0005;
inline constexpr uint32_t WM_ACTIVATE = 0x0006;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_KEYDOWN = 0x0100;
inline constexpr uint32_t WM_KEYUP = 0x0101;
inline constexpr uint32_t WM_SYSCOMMAND = 0x0112;
inline constexpr uint32_t WM_DROPFILES = 0x0233;

// WM_ACTIVATE: low word of wparam.
inline constexpr uint32_t WA_INACTIVE = 0;
inline constexpr uint32_t WA_ACTIVE = 1;
// WM_SYSCOMMAND commands that would blank or power down the screen.
inline constexpr uint32_t SC_SCREENSAVE = 0xF140;
inline constexpr uint32_t SC_MONITORPOWER = 0xF170;

// Virtual-key codes of the keys the demo reads (others follow the same table:
// letters 'A'..'Z', digits '0'..'9', F1..F12 = 112..123).
inline constexpr uint32_t VK_RETURN = 13;
inline constexpr uint32_t VK_ESCAPE = 27;
inline constexpr uint32_t VK_SPACE = 32;
inline constexpr uint32_t VK_F1 = 112;

struct Message {
  Window* window = nullptr;
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
};

using WindowProc = intptr_t (*)(Window* window, uint32_t message, uintptr_t wparam,
                                intptr_t lparam);

// Class styles (recorded; SDL windows always redraw in full and own their
// context, which is what these ask for).
inline constexpr uint32_t CS_VREDRAW = 0x1;
inline constexpr uint32_t CS_HREDRAW = 0x2;
inline constexpr uint32_t CS_OWNDC = 0x20;

struct WindowClass {
  uint32_t style = 0;
  WindowProc procedure = nullptr;
  Instance instance = nullptr;
  Icon* icon = nullptr;      // shown by the class's windows; null: the system's
  Cursor* cursor = nullptr;  // pointer over the class's windows; null: the system's
  const char* class_name = nullptr;
};

// Stock icons and pointers.
enum class StockIcon { Application };
enum class StockCursor { Arrow };
Icon* load_icon(StockIcon which);
Cursor* load_cursor(StockCursor which);

// Window styles. A WS_POPUP window created while a display mode is switched
// covers the whole screen; WS_EX_ACCEPTFILES makes a window a drop target.
inline constexpr uint32_t WS_POPUP = 0x80000000u;
inline constexpr uint32_t WS_CLIPCHILDREN = 0x02000000u;
inline constexpr uint32_t WS_CLIPSIBLINGS = 0x04000000u;
inline constexpr uint32_t WS_OVERLAPPEDWINDOW = 0x00CF0000u;
inline constexpr uint32_t WS_EX_WINDOWEDGE = 0x00000100u;
inline constexpr uint32_t WS_EX_ACCEPTFILES = 0x00000010u;
inline constexpr uint32_t WS_EX_APPWINDOW = 0x00040000u;

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// Display-mode request: which fields are set, and their values.
inline constexpr uint32_t DM_BITSPERPEL = 0x40000;
inline constexpr uint32_t DM_PELSWIDTH = 0x80000;
inline constexpr uint32_t DM_PELSHEIGHT = 0x100000;
struct DisplayMode {
  uint32_t fields = 0;
  uint32_t bits_per_pixel = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};
inline constexpr int32_t DISP_CHANGE_SUCCESSFUL = 0;
inline constexpr int32_t DISP_CHANGE_FAILED = -1;
inline constexpr int32_t DISP_CHANGE_BADMODE = -2;
inline constexpr uint32_t CDS_FULLSCREEN = 0x4;

// Pixel-format request, in the field order of the record the shell fills.
inline constexpr uint32_t PFD_DOUBLEBUFFER = 0x01;
inline constexpr uint32_t PFD_DRAW_TO_WINDOW = 0x04;
inline constexpr uint32_t PFD_SUPPORT_OPENGL = 0x20;
inline constexpr uint8_t PFD_TYPE_RGBA = 0;
inline constexpr uint8_t PFD_MAIN_PLANE = 0;
struct PixelFormat {
  uint16_t size = 0;
  uint16_t version = 0;
  uint32_t flags = 0;
  uint8_t pixel_type = 0;
  uint8_t color_bits = 0;
  uint8_t red_bits = 0, red_shift = 0, green_bits = 0, green_shift = 0, blue_bits = 0,
          blue_shift = 0, alpha_bits = 0, alpha_shift = 0, accum_bits = 0, accum_red_bits = 0,
          accum_green_bits = 0, accum_blue_bits = 0, accum_alpha_bits = 0;
  uint8_t depth_bits = 0;
  uint8_t stencil_bits = 0;
  uint8_t aux_buffers = 0;
  uint8_t layer_type = 0;
  uint8_t reserved = 0;
  uint32_t layer_mask = 0, visible_mask = 0, damage_mask = 0;
};

// Message-box flags and results.
inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_YESNO = 0x4;
inline constexpr uint32_t MB_ICONSTOP = 0x10;
inline constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// ---- process ------------------------------------------------------------

// A non-null handle standing for the running program.
Instance module_handle();

// ---- classes and windows ------------------------------------------------

// Starts the video system on first use. Fails (false) when the class name is
// taken, or when there is no display: the reason is then printed once on
// standard error, naming the DISPLAY that was tried.
bool register_class(const WindowClass& window_class);
bool unregister_class(const char* class_name, Instance instance);

// Client-area sizes are what SDL windows are created with, so the rectangle
// stays as it is; kept so that callers size windows the way they always do.
bool adjust_window_rect(Rect* rect, uint32_t style, bool menu, uint32_t ex_style);

Window* create_window(uint32_t ex_style, const char* class_name, const char* title, uint32_t style,
                      int x, int y, int width, int height, Instance instance);
bool destroy_window(Window* window);
void show_window(Window* window);
bool set_foreground_window(Window* window);
void set_focus(Window* window);

// Shows or hides the mouse pointer; returns the new display count (>= 0 shown).
int show_cursor(bool show);

// Switches the display to `mode` for the next pop-up window, or back to the
// desktop mode when `mode` is null. Only a mode the display really lists is
// accepted (exact size, 32 bits per pixel): a display that cannot switch gives
// DISP_CHANGE_BADMODE instead of a full-screen window at the wrong size.
int32_t change_display_settings(const DisplayMode* mode, uint32_t flags);

// The current size of the screen that holds `window` (or of the first screen).
bool current_display_size(int* width, int* height);

// The native (X11) window id, for logs that test scripts read.
unsigned long native_window_id(const Window* window);

// ---- OpenGL -------------------------------------------------------------

DeviceContext* get_dc(Window* window);
bool release_dc(Window* window, DeviceContext* dc);

// Returns a format number > 0 when the window's surface satisfies `request`
// (drawable, OpenGL, RGBA, double-buffered if asked, at least the requested
// colour and depth bits), 0 otherwise.
int choose_pixel_format(DeviceContext* dc, const PixelFormat& request);
bool set_pixel_format(DeviceContext* dc, int format, const PixelFormat& request);

GlContext* create_context(DeviceContext* dc);
// Makes `context` current on `dc`; both null releases the current context.
bool make_current(DeviceContext* dc, GlContext* context);
bool delete_context(GlContext* context);
bool swap_buffers(DeviceContext* dc);

// Depth bits the context really got (the display may give more than asked).
int context_depth_bits(DeviceContext* dc);

// ---- messages -----------------------------------------------------------

// Takes the next waiting message, if any, without waiting.
bool peek_message(Message* message);
void translate_message(const Message& message);
intptr_t dispatch_message(const Message& message);
intptr_t default_window_proc(Window* window, uint32_t message, uintptr_t wparam, intptr_t lparam);
void post_quit_message(int exit_code);

// Copies the name of file `index` of a drop into `buffer` (at most size - 1
// bytes and a terminating zero); returns the length copied, or 0.
uint32_t drag_query_file(Drop* drop, uint32_t index, char* buffer, uint32_t size);
void drag_finish(Drop* drop);

// Shows a modal message box (owner may be null) and returns the button
// pressed. The text also goes to standard error as "<caption>: <text>", so a
// message is never lost when no box can be shown; then the result is 0.
int message_box(Window* owner, const char* text, const char* caption, uint32_t flags);

// Packs two 16-bit words the way message parameters carry them.
constexpr intptr_t make_lparam(uint32_t low, uint32_t high) {
  return static_cast<intptr_t>((low & 0xFFFF) | ((high & 0xFFFF) << 16));
}
constexpr uint32_t low_word(uintptr_t value) {
  return static_cast<uint32_t>(value & 0xFFFF);
}
constexpr uint32_t high_word(uintptr_t value) {
  return static_cast<uint32_t>((value >> 16) & 0xFFFF);
}

}  // namespace platform
