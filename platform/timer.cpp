#include "timer.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "thread.h"

namespace platform {

namespace {

struct Timer {
  uint32_t id = 0;
  uint32_t period_ms = 0;
  bool periodic = true;
  TimerCallback callback = nullptr;
  uintptr_t user = 0;
  std::atomic<bool> stop{false};
  pthread_t thread{};
};

std::mutex g_timers_mutex;
std::vector<Timer*> g_timers;
uint32_t g_next_id = 1;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void* timer_main(void* arg) {
  auto* timer = static_cast<Timer*>(arg);
  const int64_t start = now_ns();
  for (uint64_t tick = 1; !timer->stop.load(std::memory_order_acquire); ++tick) {
    int64_t deadline = tick_deadline_ns(start, timer->period_ms, tick);
    timespec ts{static_cast<time_t>(deadline / 1000000000),
                static_cast<long>(deadline % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    if (timer->stop.load(std::memory_order_acquire)) break;
    timer->callback(timer->id, 0, timer->user, 0, 0);
    if (!timer->periodic) break;
  }
  return nullptr;
}

}  // namespace

uint32_t time_set_event(uint32_t delay_ms, uint32_t, TimerCallback callback, uintptr_t user,
                        uint32_t flags) {
  if (callback == nullptr || delay_ms == 0) return 0;
  auto* timer = new Timer;
  timer->period_ms = delay_ms;
  timer->periodic = (flags & TIME_PERIODIC) != 0;
  timer->callback = callback;
  timer->user = user;
  std::lock_guard<std::mutex> guard(g_timers_mutex);
  timer->id = g_next_id++;
  if (!start_joinable_thread(&timer->thread, timer_main, timer, kPlainThreadStackFloor)) {
    delete timer;
    return 0;
  }
  g_timers.push_back(timer);
  return timer->id;
}

bool time_kill_event(uint32_t timer_id) {
  Timer* timer = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_timers_mutex);
    for (auto it = g_timers.begin(); it != g_timers.end(); ++it) {
      if ((*it)->id == timer_id) {
        timer = *it;
        g_timers.erase(it);
        break;
      }
    }
  }
  if (timer == nullptr) return false;
  timer->stop.store(true, std::memory_order_release);
  // The thread notices within one period.
  pthread_join(timer->thread, nullptr);
  delete timer;
  return true;
}

}  // namespace platform
