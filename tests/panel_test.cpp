// The control panel's dialog procedure driven with messages (no display), and
// morphs run against a tick counter the tests set by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "knot/ticks.h"
#include "panel/control_panel.h"
#include "panel/morph.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "resources/resources.h"

using namespace platform;

namespace {

template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    allow_morphs();
    ASSERT_FALSE(morph_busy.load());
    panel_knot = &knot;
    knot.lock();
    knot.build_mesh();
    knot.unlock();
    dialog = create_dialog_model(*find_dialog_template(kControlPanelDialog), panel_proc);
    ASSERT_EQ(send_dialog_message(dialog, WM_INITDIALOG, 0, 0), 1);
  }
  void TearDown() override {
    // No morph may outlive the knot it edits.
    EXPECT_TRUE(stop_morphs(5000));
    destroy_dialog_model(dialog);
    panel_knot = nullptr;
  }

  std::string text(int id) {
    char buffer[64];
    get_dlg_item_text(dialog, id, buffer, sizeof buffer);
    return buffer;
  }

  void set_pq(float p, float q) {
    knot.lock();
    knot.set_pq(p, q);
    knot.unlock();
  }

  // Starts a morph as the panel does and waits until it runs.
  void begin_morph(int button) {
    click_dlg_button(dialog, button);
    ASSERT_TRUE(eventually([] { return morph_busy.load(); })) << "the morph did not start";
    // It reads its start tick right after claiming morph_busy; let it, before
    // the test moves the counter.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  // Sets the tick counter and waits until the morph has made a pass with it.
  void advance_to(uint32_t tick, float expected_p) {
    TickCounter = tick;
    ASSERT_TRUE(eventually([&] { return knot.p_now() == expected_p; }))
        << "p stayed " << knot.p_now() << ", expected " << expected_p;
  }

  KnotShape knot;
  Dialog* dialog = nullptr;
};

}  // namespace

TEST(PanelTemplate, HoldsTheEighteenControlsInOrder) {
  const DialogTemplate* t = find_dialog_template(kControlPanelDialog);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(find_dialog_template(102), nullptr);
  EXPECT_STREQ(t->caption, "Zembril ToolBar");
  EXPECT_EQ(t->cx, 141);
  EXPECT_EQ(t->cy, 228);
  EXPECT_EQ(t->style, 0x80C800C0u);
  EXPECT_EQ(t->ex_style, WS_EX_TOOLWINDOW);
  EXPECT_STREQ(t->font_name, "MS Sans Serif");
  EXPECT_EQ(t->point_size, 8);
  ASSERT_EQ(t->control_count, 18u);
  const int ids[] = {-1, -1,   1003, -1,   1007, 1008, 1009, 1010, 1011,
                     -1, 1012, -1,   1004, 1013, -1,   1005, -1,   1014};
  for (size_t i = 0; i < 18; ++i) EXPECT_EQ(t->controls[i].id, ids[i]) << "control " << i;
  const DialogControl& torus = t->controls[10];
  EXPECT_STREQ(torus.class_name, "msctls_trackbar32");
  EXPECT_EQ(torus.x, 16);
  EXPECT_EQ(torus.y, 99);
  EXPECT_EQ(torus.cx, 106);
  EXPECT_EQ(torus.cy, 11);
  EXPECT_EQ(t->controls[13].style, WS_TABSTOP | TBS_AUTOTICKS | TBS_BOTH | TBS_NOTICKS);
  EXPECT_STREQ(t->controls[14].caption, "Cone Radius:");
  EXPECT_EQ(t->controls[2].style, WS_BORDER | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL);
  EXPECT_EQ(t->controls[17].style & 0xF, BS_AUTOCHECKBOX);
  EXPECT_STREQ(t->controls[17].caption, "EnvMapping (glTexGen)");
}

TEST_F(PanelTest, InitShowsPAndQAndCentresTheSliders) {
  EXPECT_EQ(text(IdPValue), "1");
  EXPECT_EQ(text(IdQValue), "0");
  EXPECT_EQ(text(IdTorusRadiusValue), "");
  EXPECT_EQ(text(IdTubeRadiusValue), "");
  for (int id : {IdTorusSlider, IdTubeSlider}) {
    ScrollInfo info;
    ASSERT_TRUE(get_scroll_info(get_dlg_item(dialog, id), SB_CTL, &info));
    EXPECT_EQ(info.min, 0);
    EXPECT_EQ(info.max, 100);
    EXPECT_EQ(info.page, 10u);
    EXPECT_EQ(info.pos, 50);
  }
  EXPECT_EQ(knot.torus_radius, 2.0f);
  EXPECT_EQ(knot.tube_radius, 0.5f);
}

TEST_F(PanelTest, DownButtonsDoNothingAtZero) {
  click_dlg_button(dialog, IdQDown);  // q is 0
  set_pq(0.0f, 0.0f);
  click_dlg_button(dialog, IdPDown);
  // A morph that had started would hold morph_busy until ticks pass, and
  // the ticks do not move in this test.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(morph_busy.load());
  EXPECT_EQ(knot.p_now(), 0.0f);
  EXPECT_EQ(knot.q_now(), 0.0f);
}

TEST_F(PanelTest, ThumbDragsSetTheRadii) {
  trackbar_drag_thumb(get_dlg_item(dialog, IdTorusSlider), 75);
  EXPECT_EQ(knot.torus_radius, 3.0f);
  EXPECT_EQ(text(IdTorusRadiusValue), "3.00");
  trackbar_drag_thumb(get_dlg_item(dialog, IdTubeSlider), 10);
  EXPECT_EQ(knot.tube_radius, 0.2f);
  EXPECT_EQ(text(IdTubeRadiusValue), "0.20");
  EXPECT_EQ(knot.torus_radius, 3.0f);
  // The mesh follows: ring 0's centre now lies at radius 3 (p = 1, q = 0).
  const Vec3& v = knot.vertices[0];
  EXPECT_NEAR(std::hypot(v.x, v.y), 3.0, 0.21);
  // The ends of the travel.
  trackbar_drag_thumb(get_dlg_item(dialog, IdTorusSlider), 1);
  EXPECT_FLOAT_EQ(knot.torus_radius, 0.04f);
  trackbar_drag_thumb(get_dlg_item(dialog, IdTubeSlider), 100);
  EXPECT_EQ(knot.tube_radius, 2.0f);
  EXPECT_EQ(text(IdTubeRadiusValue), "2.00");
}

TEST_F(PanelTest, TrackClicksKeysAndDragsToZeroChangeNothing) {
  Control* torus = get_dlg_item(dialog, IdTorusSlider);
  trackbar_click_track(torus, true);
  trackbar_click_track(torus, false);
  trackbar_arrow_key(torus, true);
  trackbar_drag_thumb(get_dlg_item(dialog, IdTubeSlider), 0);
  EXPECT_EQ(knot.torus_radius, 2.0f);
  EXPECT_EQ(knot.tube_radius, 0.5f);
  EXPECT_EQ(text(IdTorusRadiusValue), "");
  EXPECT_EQ(text(IdTubeRadiusValue), "");
  // The thumb itself did move, as the control's own behaviour.
  ScrollInfo info;
  get_scroll_info(torus, SB_CTL, &info);
  EXPECT_EQ(info.pos, 51);
}

TEST_F(PanelTest, CheckBoxTogglesEnvironmentMapping) {
  click_dlg_button(dialog, IdEnvMapping);
  EXPECT_TRUE(knot.env_mapping_now());
  click_dlg_button(dialog, IdEnvMapping);
  EXPECT_FALSE(knot.env_mapping_now());
}

TEST_F(PanelTest, KnotChangedRefreshesTheBoxes) {
  set_pq(3.0f, 2.0f);
  ASSERT_TRUE(post_dialog_message(dialog, WM_KNOT_CHANGED, 0, 0));
  EXPECT_EQ(text(IdPValue), "1") << "posted messages wait for the dialog's thread";
  EXPECT_EQ(run_posted_messages(dialog), 1u);
  EXPECT_EQ(text(IdPValue), "3");
  EXPECT_EQ(text(IdQValue), "2");
}

TEST_F(PanelTest, TwoQuickClicksMorphByOneAndTheEndValueIsExact) {
  TickCounter = 1000;
  begin_morph(IdPUp);
  // The second request finds the first running and ends at once.
  morph_thread(reinterpret_cast<void*>(MorphPUp));
  advance_to(1150, 1.5f);
  EXPECT_TRUE(morph_busy.load());
  TickCounter = 1000 + 300;
  ASSERT_TRUE(eventually([] { return !morph_busy.load(); }));
  EXPECT_EQ(knot.p_now(), 2.0f);
  EXPECT_EQ(knot.q_now(), 0.0f);
  // Its end shows in the boxes once the panel's thread runs the post.
  run_posted_messages(dialog);
  EXPECT_EQ(text(IdPValue), "2");
}

TEST_F(PanelTest, QRequestDuringAPMorphIsDropped) {
  TickCounter = 0;
  begin_morph(IdPUp);
  // The Q button's thread, run here so that the test knows when it is done.
  morph_thread(reinterpret_cast<void*>(MorphQUp));
  TickCounter = 400;  // past the end: elapsed is capped at 300
  ASSERT_TRUE(eventually([] { return !morph_busy.load(); }));
  EXPECT_EQ(knot.p_now(), 2.0f);
  EXPECT_EQ(knot.q_now(), 0.0f);
}

TEST_F(PanelTest, PDownFromOneEndsAtExactlyZero) {
  TickCounter = 7;
  begin_morph(IdPDown);
  advance_to(7 + 100, static_cast<float>(100 / 300.0 * -1.0 + 1.0));
  TickCounter = 7 + 300;
  ASSERT_TRUE(eventually([] { return !morph_busy.load(); }));
  EXPECT_EQ(knot.p_now(), 0.0f);
  // And from p = 0 the button does nothing any more.
  click_dlg_button(dialog, IdPDown);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(morph_busy.load());
}

TEST_F(PanelTest, QDownMorphsQAloneByOneUnit) {
  set_pq(2.0f, 3.0f);
  TickCounter = 500;
  begin_morph(IdQDown);
  TickCounter = 500 + 150;
  ASSERT_TRUE(eventually([&] { return knot.q_now() == 2.5f; })) << "q " << knot.q_now();
  EXPECT_EQ(knot.p_now(), 2.0f);
  TickCounter = 500 + 300;
  ASSERT_TRUE(eventually([] { return !morph_busy.load(); }));
  EXPECT_EQ(knot.q_now(), 2.0f);
  EXPECT_EQ(knot.p_now(), 2.0f);
  run_posted_messages(dialog);
  EXPECT_EQ(text(IdQValue), "2");
  EXPECT_EQ(text(IdPValue), "2");
}

TEST_F(PanelTest, MorphAcrossTheCounterWrapLasts300Ticks) {
  const uint32_t start = std::numeric_limits<uint32_t>::max() - 99;  // 100 ticks before the wrap
  TickCounter = start;
  begin_morph(IdPUp);
  advance_to(start + 150, 1.5f);  // wrapped: 50
  advance_to(start + 299, static_cast<float>(299 / 300.0 + 1.0));
  EXPECT_TRUE(morph_busy.load()) << "ended early, at 299 ticks";
  TickCounter = start + 300;
  ASSERT_TRUE(eventually([] { return !morph_busy.load(); }));
  EXPECT_EQ(knot.p_now(), 2.0f);
}

TEST_F(PanelTest, RadiusChangeDuringAMorphPersists) {
  TickCounter = 0;
  begin_morph(IdQUp);
  trackbar_drag_thumb(get_dlg_item(dialog, IdTorusSlider), 75);
  TickCounter = 300;
  ASSERT_TRUE(eventually([] { return !morph_busy.load(); }));
  EXPECT_EQ(knot.q_now(), 1.0f);
  EXPECT_EQ(knot.torus_radius, 3.0f);
}

TEST(KnotLockTest, WaitingThreadGetsInAfterAtMostAFewPasses) {
  // A thread that takes and releases the lock without pause, as a morph does,
  // must not starve another that wants it, as the drawing thread does.
  KnotLock lock;
  std::atomic<uint64_t> passes{0};
  std::atomic<bool> stop{false};
  std::thread hammer([&] {
    while (!stop) {
      lock.lock();
      passes.fetch_add(1);
      lock.unlock();
    }
  });
  ASSERT_TRUE(eventually([&] { return passes.load() > 100; }));
  std::vector<uint64_t> waited;
  for (int i = 0; i < 200; ++i) {
    const uint64_t before = passes.load();
    lock.lock();
    waited.push_back(passes.load() - before);
    lock.unlock();
  }
  stop = true;
  hammer.join();
  std::nth_element(waited.begin(), waited.begin() + 100, waited.end());
  EXPECT_LE(waited[100], 3u) << "median passes of the other thread while waiting";
}

TEST(KnotLockTest, IsRecursive) {
  KnotLock lock;
  lock.lock();
  lock.lock();
  EXPECT_TRUE(lock.held_by_caller());
  lock.unlock();
  EXPECT_TRUE(lock.held_by_caller());
  std::atomic<bool> other_got_it{false};
  std::thread other([&] {
    lock.lock();
    other_got_it = true;
    lock.unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(other_got_it.load());
  lock.unlock();
  other.join();
  EXPECT_TRUE(other_got_it.load());
}
