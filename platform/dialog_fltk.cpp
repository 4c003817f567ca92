// Shown dialogs: an FLTK window per dialog, its controls as FLTK widgets,
// and the modal loop on the dialog's thread.
//
// FLTK is used from the dialog's thread only. Other threads reach a dialog
// through post_dialog_message, which wakes that thread with Fl::awake.

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Output.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>

#include "dialog_internal.h"
#include "display_loss.h"
#include "video_gate.h"

namespace platform {

namespace {

// Base units of an 8-point sans-serif dialog font at 96 dots per inch.
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;
constexpr int kFontSize = 11;  // 8 points at 96 dpi
constexpr int kThumbWidth = 10;

// Rounded as the classic MulDiv(value, base, divisor) does.
int to_pixels(int value, int base, int divisor) {
  long long product = static_cast<long long>(value) * base;
  return static_cast<int>(product >= 0 ? (product + divisor / 2) / divisor
                                       : -((-product + divisor / 2) / divisor));
}
int px_x(int dialog_units) {
  return to_pixels(dialog_units, kBaseUnitX, 4);
}
int px_y(int dialog_units) {
  return to_pixels(dialog_units, kBaseUnitY, 8);
}

// A frame with its caption set into the top edge.
class GroupBoxWidget : public Fl_Widget {
 public:
  GroupBoxWidget(int x, int y, int w, int h, Control* control)
      : Fl_Widget(x, y, w, h), control_(control) {}

  void draw() override {
    fl_font(FL_HELVETICA, kFontSize);
    const int line = y() + kFontSize / 2;
    fl_draw_box(FL_ENGRAVED_FRAME, x(), line, w(), h() - (line - y()), FL_BACKGROUND_COLOR);
    const char* text = control_->text.c_str();
    const int text_w = static_cast<int>(fl_width(text));
    fl_color(FL_BACKGROUND_COLOR);
    fl_rectf(x() + 6, y(), text_w + 4, kFontSize + 2);
    fl_color(FL_FOREGROUND_COLOR);
    fl_draw(text, x() + 8, y() + kFontSize - 1);
  }

 private:
  Control* control_;
};

// A horizontal trackbar without ticks: a channel and a thumb. It notifies
// like the classic control (see dialog.h).
class TrackbarWidget : public Fl_Widget {
 public:
  TrackbarWidget(int x, int y, int w, int h, Control* control)
      : Fl_Widget(x, y, w, h), control_(control) {
    visible_focus(1);
  }

  void draw() override {
    draw_box(FL_FLAT_BOX, FL_BACKGROUND_COLOR);
    const int mid = y() + h() / 2;
    fl_draw_box(FL_THIN_DOWN_BOX, x() + kThumbWidth / 2, mid - 2, w() - kThumbWidth, 4,
                FL_BACKGROUND2_COLOR);
    fl_draw_box(FL_UP_BOX, thumb_x(), y() + 1, kThumbWidth, h() - 2, FL_BACKGROUND_COLOR);
    if (Fl::focus() == this) {
      fl_color(FL_FOREGROUND_COLOR);
      fl_line_style(FL_DOT);
      fl_rect(x(), y(), w(), h());
      fl_line_style(0);
    }
  }

  int handle(int event) override {
    switch (event) {
      case FL_PUSH: {
        if (Fl::visible_focus()) Fl::focus(this);
        const int mx = Fl::event_x();
        const int tx = thumb_x();
        if (mx >= tx && mx < tx + kThumbWidth) {
          dragging_ = true;
          grab_offset_ = mx - tx;
        } else {
          // A click beside the thumb pages towards the click.
          const bool towards_max = mx >= tx + kThumbWidth;
          const int32_t page = static_cast<int32_t>(control_->scroll.page);
          trackbar_move(control_, control_->scroll.pos + (towards_max ? page : -page));
          send_trackbar_notification(control_, towards_max ? TB_PAGEDOWN : TB_PAGEUP, 0);
        }
        return 1;
      }
      case FL_DRAG:
        if (dragging_) {
          const int32_t pos = pos_at(Fl::event_x() - grab_offset_);
          if (pos != control_->scroll.pos) {
            trackbar_move(control_, pos);
            send_trackbar_notification(control_, TB_THUMBTRACK, pos);
          }
        }
        return 1;
      case FL_RELEASE:
        if (dragging_) {
          dragging_ = false;
          send_trackbar_notification(control_, TB_THUMBPOSITION, control_->scroll.pos);
        }
        send_trackbar_notification(control_, TB_ENDTRACK, 0);
        return 1;
      case FL_FOCUS:
      case FL_UNFOCUS:
        redraw();
        return 1;
      case FL_KEYBOARD: {
        uint32_t code;
        int32_t pos = control_->scroll.pos;
        const int32_t page = static_cast<int32_t>(control_->scroll.page);
        switch (Fl::event_key()) {
          case FL_Left:
          case FL_Up:
            code = TB_LINEUP;
            pos -= 1;
            break;
          case FL_Right:
          case FL_Down:
            code = TB_LINEDOWN;
            pos += 1;
            break;
          case FL_Page_Up:
            code = TB_PAGEUP;
            pos -= page;
            break;
          case FL_Page_Down:
            code = TB_PAGEDOWN;
            pos += page;
            break;
          case FL_Home:
            code = TB_TOP;
            pos = control_->scroll.min;
            break;
          case FL_End:
            code = TB_BOTTOM;
            pos = control_->scroll.max;
            break;
          default:
            return 0;
        }
        trackbar_move(control_, pos);
        send_trackbar_notification(control_, code, 0);
        return 1;
      }
      case FL_KEYUP:
        switch (Fl::event_key()) {
          case FL_Left:
          case FL_Up:
          case FL_Right:
          case FL_Down:
          case FL_Page_Up:
          case FL_Page_Down:
          case FL_Home:
          case FL_End:
            send_trackbar_notification(control_, TB_ENDTRACK, 0);
            return 1;
          default:
            return 0;
        }
      default:
        return Fl_Widget::handle(event);
    }
  }

 private:
  int span() const { return std::max(1, w() - kThumbWidth); }
  int thumb_x() const {
    const ScrollInfo& s = control_->scroll;
    const int range = std::max(1, s.max - s.min);
    return x() + static_cast<int>(static_cast<long long>(s.pos - s.min) * span() / range);
  }
  int32_t pos_at(int thumb_left) const {
    const ScrollInfo& s = control_->scroll;
    const double fraction = static_cast<double>(thumb_left - x()) / span();
    const int32_t pos = s.min + static_cast<int32_t>(fraction * (s.max - s.min) + 0.5);
    return std::clamp(pos, s.min, s.max);
  }

  Control* control_;
  bool dragging_ = false;
  int grab_offset_ = 0;
};

void send_command(Control* control) {
  send_dialog_message(control->dialog, WM_COMMAND,
                      static_cast<uint32_t>(control->item->id) & 0xFFFF,
                      reinterpret_cast<intptr_t>(control));
}

void button_callback(Fl_Widget*, void* data) {
  send_command(static_cast<Control*>(data));
}

void check_callback(Fl_Widget* widget, void* data) {
  auto* control = static_cast<Control*>(data);
  control->checked = static_cast<Fl_Check_Button*>(widget)->value() != 0;
  send_command(control);
}

void window_callback(Fl_Widget*, void* data) {
  auto* dialog = static_cast<Dialog*>(data);
  // Escape is the dialog's cancel command, not a close.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
    send_dialog_message(dialog, WM_COMMAND, IDCANCEL_COMMAND, 0);
  } else {
    send_dialog_message(dialog, 0x0010 /* WM_CLOSE */, 0, 0);
  }
}

void awake_handler(void* data) {
  auto* dialog = static_cast<Dialog*>(data);
  // Only this thread deletes its dialogs, so one found live stays live here.
  if (dialog_is_live(dialog)) run_posted_messages(dialog);
}

Fl_Widget* make_widget(Control* control) {
  const DialogControl& item = *control->item;
  const int x = px_x(item.x), y = px_y(item.y), w = px_x(item.cx), h = px_y(item.cy);
  Fl_Widget* widget = nullptr;
  switch (control->kind) {
    case ControlKind::GroupBox:
      widget = new GroupBoxWidget(x, y, w, h, control);
      break;
    case ControlKind::Label: {
      auto* box = new Fl_Box(FL_NO_BOX, x, y, w, h, nullptr);
      // Not clipped: this font runs a little wider than the one the template
      // was laid out for.
      box->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
      widget = box;
      break;
    }
    case ControlKind::Edit: {
      auto* output = new Fl_Output(x, y, w, h);
      output->textsize(kFontSize);
      widget = output;
      break;
    }
    case ControlKind::PushButton: {
      auto* button = new Fl_Button(x, y, w, h);
      button->box((item.style & BS_FLAT) ? FL_BORDER_BOX : FL_UP_BOX);
      button->callback(button_callback, control);
      widget = button;
      break;
    }
    case ControlKind::CheckBox: {
      auto* check = new Fl_Check_Button(x, y, w, h);
      check->callback(check_callback, control);
      widget = check;
      break;
    }
    case ControlKind::Trackbar:
      widget = new TrackbarWidget(x, y, w, h, control);
      break;
  }
  widget->labelsize(kFontSize);
  if (!(item.style & WS_TABSTOP) && control->kind != ControlKind::Trackbar)
    widget->visible_focus(0);
  control->widget = widget;
  refresh_control(control);
  return widget;
}

// Marks the window as a tool window (a utility window, in X terms).
void mark_tool_window(Fl_Window* window) {
  Window xid = fl_xid(window);
  if (xid == 0) return;
  Atom type = XInternAtom(fl_display, "_NET_WM_WINDOW_TYPE", False);
  Atom utility = XInternAtom(fl_display, "_NET_WM_WINDOW_TYPE_UTILITY", False);
  XChangeProperty(fl_display, xid, type, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&utility), 1);
}

}  // namespace

void init_ui_threads() {
  XInitThreads();
}

void refresh_control(Control* control) {
  Fl_Widget* widget = control->widget;
  if (widget == nullptr) return;
  switch (control->kind) {
    case ControlKind::Edit:
      static_cast<Fl_Output*>(widget)->value(control->text.c_str());
      break;
    case ControlKind::CheckBox:
      widget->copy_label(control->text.c_str());
      static_cast<Fl_Check_Button*>(widget)->value(control->checked ? 1 : 0);
      break;
    case ControlKind::Label:
    case ControlKind::PushButton:
      widget->copy_label(control->text.c_str());
      break;
    case ControlKind::GroupBox:
    case ControlKind::Trackbar:
      break;
  }
  widget->redraw();
}

void wake_dialog_thread(Dialog* dialog) {
  Fl::awake(awake_handler, dialog);
}

intptr_t dialog_box_param(const DialogTemplate& dialog_template, void*, DialogProc procedure,
                          intptr_t init_param) {
  wait_for_video_gate();
  // FLTK ends the process when it cannot open its display; look first.
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "knot: the dialog \"%s\" cannot be shown: no X11 display\n",
                 dialog_template.caption);
    return -1;
  }
  fl_open_display(display);
  end_on_display_loss();  // after FLTK's own handler
  Fl::lock();             // lets other threads wake this one

  Dialog* dialog = new_dialog(dialog_template, procedure);
  auto* window = new Fl_Double_Window(px_x(dialog_template.x), px_y(dialog_template.y),
                                      px_x(dialog_template.cx), px_y(dialog_template.cy),
                                      dialog_template.caption);
  if (dialog_template.window_class != nullptr) window->xclass(dialog_template.window_class);
  window->labelsize(kFontSize);
  for (auto& control : dialog->controls) make_widget(control.get());
  window->end();
  // Not resizable.
  window->size_range(window->w(), window->h(), window->w(), window->h());
  window->callback(window_callback, dialog);
  dialog->window = window;

  send_dialog_message(dialog, WM_INITDIALOG, 0, init_param);
  if (!dialog->ended) {
    window->show();
    if (dialog_template.ex_style & WS_EX_TOOLWINDOW) mark_tool_window(window);
    run_posted_messages(dialog);
    while (!dialog->ended) Fl::wait(0.25);
  }

  // Hidden before it goes: a dialog left mapped would keep the process's
  // X connection busy at exit.
  const intptr_t result = dialog->result;
  window->hide();
  for (auto& control : dialog->controls) control->widget = nullptr;
  dialog->window = nullptr;
  delete_dialog(dialog);
  delete window;
  Fl::flush();
  Fl::unlock();
  return result;
}

}  // namespace platform
