// What the threaded decoders share (parallel_scan.cpp, row_pipeline.cpp):
// when threads are worth starting, how many the job gets, and a lock with a
// condition. Internal to decode/.
#pragma once

#include <pthread.h>

#include <thread>

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// Images below this size are decoded by one thread: starting others costs
// more than they save.
constexpr int64_t kThreadPixels = int64_t{1} << 19;
constexpr int32_t kMostThreads = 64;

// Threads for the job: its own count, no more than the machine has cores.
inline int32_t thread_pool(const JPEG_PROPERTIES* p) {
  const unsigned cores = std::thread::hardware_concurrency();
  const int32_t asked = p->threads < kMostThreads ? p->threads : kMostThreads;
  return cores != 0 && unsigned(asked) > cores ? static_cast<int32_t>(cores) : asked;
}

// A lock and a condition, of POSIX threads: the standard library's lock
// types would leave their own functions among the library's symbols.
struct Signal {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  void lock() { pthread_mutex_lock(&mutex); }
  void unlock() { pthread_mutex_unlock(&mutex); }
  void wait() { pthread_cond_wait(&changed, &mutex); }  // with the lock held
  void notify() { pthread_cond_broadcast(&changed); }
  ~Signal() {
    pthread_cond_destroy(&changed);
    pthread_mutex_destroy(&mutex);
  }
};

// The lock held while it lives.
struct Held {
  explicit Held(Signal& held) : signal(held) { signal.lock(); }
  ~Held() { signal.unlock(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  Signal& signal;
};

}  // namespace jpegcodec
