// Dialog state and messages. The FLTK window of a shown dialog lives in
// dialog_fltk.cpp; this file keeps what a dialog procedure can see.

#include "dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dialog_internal.h"

namespace platform {

namespace {

// Dialogs that exist, for validating posts from other threads. Made on first
// use and never destroyed: the control panel's thread starts before main()
// and may still post while the program's statics are being destroyed.
struct LiveDialogs {
  std::mutex mutex;
  std::set<Dialog*> dialogs;
};
LiveDialogs& live() {
  static LiveDialogs* const registry = new LiveDialogs;
  return *registry;
}

ControlKind kind_of(const DialogControl& item) {
  if (std::strcmp(item.class_name, "Static") == 0) return ControlKind::Label;
  if (std::strcmp(item.class_name, "Edit") == 0) return ControlKind::Edit;
  if (std::strcmp(item.class_name, "msctls_trackbar32") == 0) return ControlKind::Trackbar;
  if (std::strcmp(item.class_name, "Button") == 0) {
    switch (item.style & 0xF) {
      case BS_GROUPBOX:
        return ControlKind::GroupBox;
      case BS_AUTOCHECKBOX:
        return ControlKind::CheckBox;
      default:
        return ControlKind::PushButton;
    }
  }
  return ControlKind::Label;
}

}  // namespace

Dialog* new_dialog(const DialogTemplate& dialog_template, DialogProc procedure) {
  auto* dialog = new Dialog;
  dialog->dialog_template = &dialog_template;
  dialog->procedure = procedure;
  for (size_t i = 0; i < dialog_template.control_count; ++i) {
    auto control = std::make_unique<Control>();
    control->dialog = dialog;
    control->item = &dialog_template.controls[i];
    control->kind = kind_of(*control->item);
    control->text = control->item->caption ? control->item->caption : "";
    if (control->kind == ControlKind::Trackbar) {
      // A new trackbar's own defaults: range 0 to 100, a page of a fifth of it.
      control->scroll.min = 0;
      control->scroll.max = 100;
      control->scroll.page = 20;
      control->scroll.pos = 0;
    }
    dialog->controls.push_back(std::move(control));
  }
  std::lock_guard<std::mutex> guard(live().mutex);
  live().dialogs.insert(dialog);
  return dialog;
}

void delete_dialog(Dialog* dialog) {
  {
    std::lock_guard<std::mutex> guard(live().mutex);
    live().dialogs.erase(dialog);
  }
  delete dialog;
}

bool dialog_is_live(Dialog* dialog) {
  std::lock_guard<std::mutex> guard(live().mutex);
  return live().dialogs.count(dialog) != 0;
}

Dialog* create_dialog_model(const DialogTemplate& dialog_template, DialogProc procedure) {
  return new_dialog(dialog_template, procedure);
}

void destroy_dialog_model(Dialog* dialog) {
  if (dialog != nullptr) delete_dialog(dialog);
}

intptr_t send_dialog_message(Dialog* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (dialog == nullptr || dialog->procedure == nullptr) return 0;
  return dialog->procedure(dialog, message, wparam, lparam);
}

bool post_dialog_message(Dialog* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  std::lock_guard<std::mutex> guard(live().mutex);
  if (live().dialogs.count(dialog) == 0) return false;
  {
    std::lock_guard<std::mutex> queue_guard(dialog->posted_mutex);
    dialog->posted.push_back({message, wparam, lparam});
  }
  if (dialog->window != nullptr) wake_dialog_thread(dialog);
  return true;
}

size_t run_posted_messages(Dialog* dialog) {
  size_t count = 0;
  for (;;) {
    PostedMessage m;
    {
      std::lock_guard<std::mutex> guard(dialog->posted_mutex);
      if (dialog->posted.empty()) return count;
      m = dialog->posted.front();
      dialog->posted.pop_front();
    }
    send_dialog_message(dialog, m.message, m.wparam, m.lparam);
    ++count;
  }
}

bool end_dialog(Dialog* dialog, intptr_t result) {
  if (dialog == nullptr) return false;
  dialog->ended = true;
  dialog->result = result;
  return true;
}

Control* get_dlg_item(Dialog* dialog, int id) {
  if (dialog == nullptr) return nullptr;
  for (auto& control : dialog->controls) {
    if (control->item->id == id) return control.get();
  }
  return nullptr;
}

bool set_dlg_item_text(Dialog* dialog, int id, const char* text) {
  Control* control = get_dlg_item(dialog, id);
  if (control == nullptr) return false;
  control->text = text ? text : "";
  refresh_control(control);
  return true;
}

bool set_dlg_item_int(Dialog* dialog, int id, uint32_t value, bool is_signed) {
  char text[16];
  if (is_signed) {
    std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(value));
  } else {
    std::snprintf(text, sizeof text, "%u", value);
  }
  return set_dlg_item_text(dialog, id, text);
}

size_t get_dlg_item_text(Dialog* dialog, int id, char* buffer, size_t size) {
  Control* control = get_dlg_item(dialog, id);
  if (control == nullptr || buffer == nullptr || size == 0) return 0;
  size_t n = std::min(control->text.size(), size - 1);
  std::memcpy(buffer, control->text.data(), n);
  buffer[n] = '\0';
  return n;
}

uint32_t is_dlg_button_checked(Dialog* dialog, int id) {
  Control* control = get_dlg_item(dialog, id);
  return control != nullptr && control->checked ? 1 : 0;
}

bool check_dlg_button(Dialog* dialog, int id, bool checked) {
  Control* control = get_dlg_item(dialog, id);
  if (control == nullptr) return false;
  control->checked = checked;
  refresh_control(control);
  return true;
}

int32_t set_scroll_info(Control* control, int bar, const ScrollInfo* info, bool) {
  if (control == nullptr || info == nullptr || bar != SB_CTL ||
      control->kind != ControlKind::Trackbar) {
    return 0;
  }
  ScrollInfo& s = control->scroll;
  if (info->mask & SIF_RANGE) {
    s.min = info->min;
    s.max = std::max(info->min, info->max);
  }
  if (info->mask & SIF_PAGE) s.page = info->page;
  if (info->mask & SIF_POS) s.pos = info->pos;
  s.pos = std::clamp(s.pos, s.min, s.max);
  refresh_control(control);
  return s.pos;
}

bool get_scroll_info(Control* control, int bar, ScrollInfo* info) {
  if (control == nullptr || info == nullptr || bar != SB_CTL ||
      control->kind != ControlKind::Trackbar) {
    return false;
  }
  *info = control->scroll;
  info->track_pos = control->scroll.pos;
  return true;
}

void send_trackbar_notification(Control* control, uint32_t code, int32_t pos) {
  // The position rides in the high word as a signed 16-bit value.
  uintptr_t wparam = (code & 0xFFFF) | (static_cast<uintptr_t>(static_cast<uint16_t>(pos)) << 16);
  send_dialog_message(control->dialog, WM_HSCROLL, wparam, reinterpret_cast<intptr_t>(control));
}

void trackbar_move(Control* control, int32_t pos) {
  pos = std::clamp(pos, control->scroll.min, control->scroll.max);
  control->scroll.pos = pos;
  refresh_control(control);
}

void trackbar_drag_thumb(Control* control, int32_t pos) {
  if (control == nullptr || control->kind != ControlKind::Trackbar) return;
  trackbar_move(control, pos);
  send_trackbar_notification(control, TB_THUMBTRACK, control->scroll.pos);
  send_trackbar_notification(control, TB_THUMBPOSITION, control->scroll.pos);
  send_trackbar_notification(control, TB_ENDTRACK, 0);
}

void trackbar_click_track(Control* control, bool towards_max) {
  if (control == nullptr || control->kind != ControlKind::Trackbar) return;
  const int32_t page = static_cast<int32_t>(control->scroll.page);
  trackbar_move(control, control->scroll.pos + (towards_max ? page : -page));
  send_trackbar_notification(control, towards_max ? TB_PAGEDOWN : TB_PAGEUP, 0);
  send_trackbar_notification(control, TB_ENDTRACK, 0);
}

void trackbar_arrow_key(Control* control, bool towards_max) {
  if (control == nullptr || control->kind != ControlKind::Trackbar) return;
  trackbar_move(control, control->scroll.pos + (towards_max ? 1 : -1));
  send_trackbar_notification(control, towards_max ? TB_LINEDOWN : TB_LINEUP, 0);
  send_trackbar_notification(control, TB_ENDTRACK, 0);
}

void click_dlg_button(Dialog* dialog, int id) {
  Control* control = get_dlg_item(dialog, id);
  if (control == nullptr) return;
  if (control->kind == ControlKind::CheckBox) {
    control->checked = !control->checked;
    refresh_control(control);
  } else if (control->kind != ControlKind::PushButton) {
    return;
  }
  // BN_CLICKED (0) in the high word, the control's identifier in the low word.
  send_dialog_message(dialog, WM_COMMAND, static_cast<uint32_t>(id) & 0xFFFF,
                      reinterpret_cast<intptr_t>(control));
}

}  // namespace platform
