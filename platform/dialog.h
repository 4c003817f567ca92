// Dialogs built from templates, with a dialog procedure that receives the
// controls' notifications as messages.
//
// A template lists the dialog's caption, size, font and controls in dialog
// units. A dialog keeps the state of its controls (texts, check marks,
// trackbar ranges and positions) itself, so a dialog procedure can be driven
// with messages and read back without any display (create_dialog_model);
// dialog_box_param shows the same dialog as an FLTK window and runs its
// modal loop on the calling thread.
//
// Dialog units become pixels through the base units of the template's font:
// x · 6 / 4 and y · 13 / 8, rounded, which is what an 8-point sans-serif
// dialog font measures at 96 dots per inch (average character width 6 px,
// character height 13 px).
//
// Supported controls: group boxes, left-aligned static labels, read-only
// edit boxes, push buttons, auto check boxes and horizontal trackbars.
// Trackbars notify like the classic control: the position travels with the
// notification only while the thumb is dragged (TB_THUMBTRACK) or released
// (TB_THUMBPOSITION); clicks on the track and keys send their own codes with
// a position of 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct Dialog;
struct Control;

// Window and control styles that templates use.
inline constexpr uint32_t WS_CHILD = 0x40000000u;
inline constexpr uint32_t WS_VISIBLE = 0x10000000u;
inline constexpr uint32_t WS_CAPTION = 0x00C00000u;
inline constexpr uint32_t WS_SYSMENU = 0x00080000u;
inline constexpr uint32_t WS_BORDER = 0x00800000u;
inline constexpr uint32_t WS_GROUP = 0x00020000u;
inline constexpr uint32_t WS_TABSTOP = 0x00010000u;
inline constexpr uint32_t DS_SETFONT = 0x40u;
inline constexpr uint32_t DS_MODALFRAME = 0x80u;
inline constexpr uint32_t WS_EX_TOOLWINDOW = 0x80u;
inline constexpr uint32_t BS_PUSHBUTTON = 0x0u;
inline constexpr uint32_t BS_AUTOCHECKBOX = 0x3u;
inline constexpr uint32_t BS_GROUPBOX = 0x7u;
inline constexpr uint32_t BS_FLAT = 0x8000u;
inline constexpr uint32_t SS_LEFT = 0x0u;
inline constexpr uint32_t ES_AUTOHSCROLL = 0x80u;
inline constexpr uint32_t ES_READONLY = 0x800u;
inline constexpr uint32_t TBS_AUTOTICKS = 0x1u;
inline constexpr uint32_t TBS_BOTH = 0x8u;
inline constexpr uint32_t TBS_NOTICKS = 0x10u;

struct DialogControl {
  int id;                  // -1 for controls nobody addresses
  const char* class_name;  // "Button", "Static", "Edit" or "msctls_trackbar32"
  const char* caption;
  uint32_t style;  // besides WS_CHILD | WS_VISIBLE
  int16_t x, y, cx, cy;
};

struct DialogTemplate {
  int resource_id;
  uint32_t style;
  uint32_t ex_style;
  int16_t x, y, cx, cy;
  const char* caption;
  const char* font_name;
  uint16_t point_size;
  uint16_t weight;
  bool italic;
  uint8_t charset;
  const DialogControl* controls;
  size_t control_count;
  // X window class of the dialog's window, so that other programs can find it.
  const char* window_class;
};

// Dialog messages.
inline constexpr uint32_t WM_INITDIALOG = 0x0110;
inline constexpr uint32_t WM_COMMAND = 0x0111;
inline constexpr uint32_t WM_HSCROLL = 0x0114;
inline constexpr uint32_t WM_APP = 0x8000;  // first message number free for the program's own use
// Identifiers the dialog itself sends with WM_COMMAND (Enter and Escape).
inline constexpr int IDOK_COMMAND = 1;
inline constexpr int IDCANCEL_COMMAND = 2;

// Trackbar notification codes (low word of WM_HSCROLL's wparam).
inline constexpr uint32_t TB_LINEUP = 0;
inline constexpr uint32_t TB_LINEDOWN = 1;
inline constexpr uint32_t TB_PAGEUP = 2;
inline constexpr uint32_t TB_PAGEDOWN = 3;
inline constexpr uint32_t TB_THUMBPOSITION = 4;
inline constexpr uint32_t TB_THUMBTRACK = 5;
inline constexpr uint32_t TB_TOP = 6;
inline constexpr uint32_t TB_BOTTOM = 7;
inline constexpr uint32_t TB_ENDTRACK = 8;

// Scroll information for a trackbar (SB_CTL: the control itself).
inline constexpr int SB_CTL = 2;
inline constexpr uint32_t SIF_RANGE = 0x1;
inline constexpr uint32_t SIF_PAGE = 0x2;
inline constexpr uint32_t SIF_POS = 0x4;
struct ScrollInfo {
  uint32_t size = sizeof(ScrollInfo);
  uint32_t mask = 0;
  int32_t min = 0;
  int32_t max = 0;
  uint32_t page = 0;
  int32_t pos = 0;
  int32_t track_pos = 0;
};

using DialogProc = intptr_t (*)(Dialog* dialog, uint32_t message, uintptr_t wparam,
                                intptr_t lparam);

// Shows the dialog, sends it WM_INITDIALOG with `init_param`, and runs its
// modal loop on the calling thread until end_dialog; returns end_dialog's
// result, or -1 when the dialog cannot be shown (the reason goes to standard
// error). `owner` is unused: these dialogs have no owner window.
intptr_t dialog_box_param(const DialogTemplate& dialog_template, void* owner, DialogProc procedure,
                          intptr_t init_param);

// A dialog with its controls but no window, for driving a dialog procedure
// directly; destroy it with destroy_dialog_model. WM_INITDIALOG is not sent.
Dialog* create_dialog_model(const DialogTemplate& dialog_template, DialogProc procedure);
void destroy_dialog_model(Dialog* dialog);

// Calls the dialog's procedure with a message, on the calling thread.
intptr_t send_dialog_message(Dialog* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam);

// Queues a message for the dialog's procedure, from any thread; it runs on
// the dialog's own thread. False when the dialog no longer exists.
bool post_dialog_message(Dialog* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam);
// Runs the queued messages of a dialog model (shown dialogs run theirs in
// their modal loop); returns how many ran.
size_t run_posted_messages(Dialog* dialog);

bool end_dialog(Dialog* dialog, intptr_t result);

Control* get_dlg_item(Dialog* dialog, int id);
bool set_dlg_item_int(Dialog* dialog, int id, uint32_t value, bool is_signed);
bool set_dlg_item_text(Dialog* dialog, int id, const char* text);
// Copies a control's text (at most size - 1 bytes and a zero); returns its length.
size_t get_dlg_item_text(Dialog* dialog, int id, char* buffer, size_t size);
uint32_t is_dlg_button_checked(Dialog* dialog, int id);
// Sets a check box's state without notifying the dialog procedure.
bool check_dlg_button(Dialog* dialog, int id, bool checked);

int32_t set_scroll_info(Control* control, int bar, const ScrollInfo* info, bool redraw);
bool get_scroll_info(Control* control, int bar, ScrollInfo* info);

// Acts on a trackbar as the user would, through the messages the control
// sends: a drag of the thumb to `pos`, a click on the track beside the thumb
// (a page towards the click), or an arrow key (a line).
void trackbar_drag_thumb(Control* control, int32_t pos);
void trackbar_click_track(Control* control, bool towards_max);
void trackbar_arrow_key(Control* control, bool towards_max);
// Clicks a push button or check box (an auto check box toggles first); the
// dialog procedure gets WM_COMMAND.
void click_dlg_button(Dialog* dialog, int id);

// Must run on the main thread before any thread shows a dialog: the dialog
// thread and the drawing window share the X library.
void init_ui_threads();

}  // namespace platform
