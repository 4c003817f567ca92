// What dialog.cpp and dialog_fltk.cpp share: a dialog's state and the hooks
// between that state and the FLTK widgets that show it.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "dialog.h"

class Fl_Widget;
class Fl_Window;

namespace platform {

enum class ControlKind { GroupBox, Label, Edit, PushButton, CheckBox, Trackbar };

struct Control {
  Dialog* dialog = nullptr;
  const DialogControl* item = nullptr;
  ControlKind kind = ControlKind::Label;
  std::string text;
  bool checked = false;
  ScrollInfo scroll;
  Fl_Widget* widget = nullptr;  // null while the dialog is not shown
};

struct PostedMessage {
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
};

struct Dialog {
  const DialogTemplate* dialog_template = nullptr;
  DialogProc procedure = nullptr;
  std::vector<std::unique_ptr<Control>> controls;
  bool ended = false;
  intptr_t result = 0;
  Fl_Window* window = nullptr;  // null for a model
  std::mutex posted_mutex;
  std::deque<PostedMessage> posted;
};

Dialog* new_dialog(const DialogTemplate& dialog_template, DialogProc procedure);
void delete_dialog(Dialog* dialog);
bool dialog_is_live(Dialog* dialog);

// Sends WM_HSCROLL for a trackbar with a notification code and position.
void send_trackbar_notification(Control* control, uint32_t code, int32_t pos);
// Moves a trackbar's thumb (clamped to its range) without notifying.
void trackbar_move(Control* control, int32_t pos);

// Shows a control's state in its widget, if it has one (dialog_fltk.cpp).
void refresh_control(Control* control);
// Makes the dialog's thread run its posted messages (dialog_fltk.cpp).
void wake_dialog_thread(Dialog* dialog);

}  // namespace platform
