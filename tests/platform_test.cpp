// Platform services that need no display: thread stacks and the tick timer.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/thread.h"
#include "platform/timer.h"
#include "platform/window.h"

namespace {

struct StackProbe {
  std::atomic<size_t> size{0};
  std::atomic<bool> done{false};
};

void probe_stack(void* arg) {
  auto* probe = static_cast<StackProbe*>(arg);
  // Use a good part of the floor, which a 1 KiB stack could never hold.
  volatile char scratch[32 * 1024];
  scratch[0] = 1;
  scratch[sizeof scratch - 1] = scratch[0];
  probe->size = platform::current_thread_stack_size();
  probe->done = true;
}

bool wait_for(const std::atomic<bool>& flag) {
  for (int i = 0; i < 500 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return flag;
}

}  // namespace

TEST(Threads, TinyStackRequestsGetTheFloor) {
  EXPECT_GE(platform::effective_stack_size(1024, platform::ThreadKind::Plain),
            platform::kPlainThreadStackFloor);
  EXPECT_GE(platform::effective_stack_size(4096, platform::ThreadKind::Ui),
            platform::kUiThreadStackFloor);
  // Larger requests are honoured (rounded to whole pages).
  EXPECT_GE(platform::effective_stack_size(3 * 1024 * 1024, platform::ThreadKind::Plain),
            3u * 1024 * 1024);

  for (size_t asked : {size_t{1024}, size_t{4096}}) {
    StackProbe probe;
    ASSERT_TRUE(platform::begin_thread(probe_stack, asked, &probe));
    ASSERT_TRUE(wait_for(probe.done)) << "thread with a " << asked << "-byte request never ran";
    EXPECT_GE(probe.size.load(), platform::kPlainThreadStackFloor);
    EXPECT_LT(probe.size.load(), 8u * 1024 * 1024) << "the request was silently ignored";
  }
  StackProbe ui;
  ASSERT_TRUE(platform::begin_thread(probe_stack, 4096, &ui, platform::ThreadKind::Ui));
  ASSERT_TRUE(wait_for(ui.done));
  EXPECT_GE(ui.size.load(), platform::kUiThreadStackFloor);
}

namespace {
std::atomic<uint32_t> g_ticks{0};
std::atomic<uintptr_t> g_user{0};
void count_tick(uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
  g_user = user;
  g_ticks.fetch_add(1);
}
}  // namespace

TEST(Timer, DeadlinesAreAbsoluteMultiplesOfThePeriod) {
  // Tick n is due at start + n·period whatever happened to the ticks before:
  // a late wake-up is never carried into the next one.
  EXPECT_EQ(platform::tick_deadline_ns(5, 10, 1), 5 + 10'000'000);
  EXPECT_EQ(platform::tick_deadline_ns(0, 10, 360'000), 3'600'000'000'000);  // one hour
  EXPECT_EQ(platform::tick_deadline_ns(0, 10, 1ull << 32), int64_t{10'000'000} << 32);
}

TEST(Timer, PeriodicTicksStopWhenKilled) {
  g_ticks = 0;
  uint32_t id = platform::time_set_event(10, 0, count_tick, 42, platform::TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  for (int i = 0; i < 500 && g_ticks < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(g_ticks.load(), 3u);
  EXPECT_EQ(g_user.load(), 42u);
  EXPECT_TRUE(platform::time_kill_event(id));
  uint32_t after_kill = g_ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(g_ticks.load(), after_kill) << "a killed timer must not tick again";
  EXPECT_FALSE(platform::time_kill_event(id)) << "an id can be killed only once";
  EXPECT_EQ(platform::time_set_event(10, 0, nullptr, 0, platform::TIME_PERIODIC), 0u);
}

TEST(Timer, OneShotTicksOnce) {
  g_ticks = 0;
  uint32_t id = platform::time_set_event(5, 0, count_tick, 0, platform::TIME_ONESHOT);
  ASSERT_NE(id, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(g_ticks.load(), 1u);
  EXPECT_TRUE(platform::time_kill_event(id));
}

TEST(Messages, ParameterWordsPackAndUnpack) {
  intptr_t lparam = platform::make_lparam(640, 0);
  EXPECT_EQ(platform::low_word(lparam), 640u);
  EXPECT_EQ(platform::high_word(lparam), 0u);
  intptr_t both = platform::make_lparam(0x1FFFF, 480);  // low word keeps 16 bits
  EXPECT_EQ(platform::low_word(both), 0xFFFFu);
  EXPECT_EQ(platform::high_word(both), 480u);
}
