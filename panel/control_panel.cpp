#include "control_panel.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "morph.h"
#include "resources.h"
#include "thread.h"
#include "video_gate.h"
#include "window.h"

using namespace platform;

constinit std::atomic<KnotShape*> panel_knot{nullptr};

namespace {

// The open panel, for posts from other threads; null while none is open.
constinit std::atomic<Dialog*> g_panel_dialog{nullptr};
constinit std::atomic<bool> g_panel_running{false};
constinit std::atomic<bool> g_panel_closing{false};

// p and q are whole numbers except during a morph; the boxes show them
// truncated toward zero.
uint32_t box_value(float value) {
  return static_cast<uint32_t>(static_cast<int64_t>(value));
}

void show_pq(Dialog* dialog, const KnotShape& knot) {
  set_dlg_item_int(dialog, IdPValue, box_value(knot.p_now()), false);
  set_dlg_item_int(dialog, IdQValue, box_value(knot.q_now()), false);
}

void show_radius(Dialog* dialog, int id, float radius) {
  char text[32];
  std::snprintf(text, sizeof text, "%2.2f", radius);
  set_dlg_item_text(dialog, id, text);
}

intptr_t on_init_dialog(Dialog* dialog, KnotShape& knot) {
  g_panel_dialog = dialog;
  if (g_panel_closing) {  // the program ended before the panel opened
    end_dialog(dialog, 1);
    return 1;
  }
  show_pq(dialog, knot);
  ScrollInfo info;
  info.size = 28;
  info.mask = SIF_RANGE | SIF_PAGE | SIF_POS;
  info.min = 0;
  info.max = 100;
  info.page = 10;
  info.pos = 50;
  set_scroll_info(get_dlg_item(dialog, IdTorusSlider), SB_CTL, &info, true);
  info.pos = 50;
  set_scroll_info(get_dlg_item(dialog, IdTubeSlider), SB_CTL, &info, true);
  // The radius boxes stay empty until a slider is dragged.
  return 1;
}

void on_command(Dialog* dialog, KnotShape& knot, int id) {
  switch (id) {
    case IdPDown:
      if (knot.p_now() > 0.0f) start_morph(MorphPDown);
      break;
    case IdPUp:
      start_morph(MorphPUp);
      break;
    case IdQDown:
      if (knot.q_now() > 0.0f) start_morph(MorphQDown);
      break;
    case IdQUp:
      start_morph(MorphQUp);
      break;
    case IdEnvMapping:
      knot.lock();
      knot.set_env_mapping(is_dlg_button_checked(dialog, IdEnvMapping) != 0);
      knot.unlock();
      break;
    default:
      break;
  }
}

void on_hscroll(Dialog* dialog, KnotShape& knot, uintptr_t wparam, intptr_t lparam) {
  // Only thumb drags and releases carry a position; line and page moves
  // (track clicks, keys) carry 0 and are ignored, as is a drag to 0.
  const int32_t pos = static_cast<int16_t>(high_word(wparam));
  if (pos == 0) return;
  const auto* sender = reinterpret_cast<const Control*>(lparam);
  if (sender == get_dlg_item(dialog, IdTorusSlider)) {
    knot.lock();
    knot.set_radii(static_cast<float>(pos * 4 / 100.0), knot.tube_radius);
    knot.build_mesh();
    knot.unlock();
    show_radius(dialog, IdTorusRadiusValue, knot.torus_radius);
  } else if (sender == get_dlg_item(dialog, IdTubeSlider)) {
    knot.lock();
    knot.set_radii(knot.torus_radius, static_cast<float>(pos * 2 / 100.0));
    knot.build_mesh();
    knot.unlock();
    show_radius(dialog, IdTubeRadiusValue, knot.tube_radius);
  }
}

}  // namespace

intptr_t panel_proc(Dialog* dialog, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  KnotShape* knot = panel_knot.load();
  if (knot == nullptr) return 0;
  switch (message) {
    case WM_INITDIALOG:
      return on_init_dialog(dialog, *knot);
    case WM_COMMAND:
      on_command(dialog, *knot, static_cast<int>(low_word(wparam)));
      return 0;
    case WM_HSCROLL:
      on_hscroll(dialog, *knot, wparam, lparam);
      return 0;
    case WM_CLOSE:
      end_dialog(dialog, 1);
      return 0;
    case WM_KNOT_CHANGED:
      show_pq(dialog, *knot);
      return 0;
    default:
      return 0;
  }
}

void panel_thread(void* knot) {
  panel_knot = static_cast<KnotShape*>(knot);
  const DialogTemplate* dialog_template = find_dialog_template(kControlPanelDialog);
  if (dialog_template != nullptr) {
    dialog_box_param(*dialog_template, nullptr, panel_proc, 0);
  }
  g_panel_dialog = nullptr;
  g_panel_running = false;
}

void start_control_panel(KnotShape* knot) {
  // Runs before main(): touches only constant-initialised globals.
  init_ui_threads();
  g_panel_running = true;
  if (!begin_thread(panel_thread, 4096, knot, ThreadKind::Ui)) g_panel_running = false;
}

bool stop_control_panel(KnotShape*) {
  const bool morphs_stopped = stop_morphs(2000);
  g_panel_closing = true;
  open_video_gate();  // a panel still waiting for the window's video ends now
  if (Dialog* dialog = g_panel_dialog.load()) post_dialog_message(dialog, WM_CLOSE, 0, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (g_panel_running && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return morphs_stopped && !g_panel_running;
}

void panel_show_knot_changed() {
  if (Dialog* dialog = g_panel_dialog.load()) post_dialog_message(dialog, WM_KNOT_CHANGED, 0, 0);
}
