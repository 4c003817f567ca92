// What the threaded decoders share (parallel_scan.cpp, row_pipeline.cpp)
// beside the threads themselves (cpu/threads.h): a thread's copy of the
// job's state, and a lock with a condition.
// Internal to decode/.
#pragma once

#include <pthread.h>

#include <stdlib.h>
#include <string.h>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/cpu/memory.h"
#include "jpeg/cpu/threads.h"
#include "jpeg/decode/scan_context.h"

namespace jpegcodec {

// A copy of the job's state for another thread, with an MCU buffer of its
// own; null when memory runs short. Freed with free_job_state.
inline JPEG_PROPERTIES* copy_job_properties(const JPEG_PROPERTIES* p) {
  JPEG_PROPERTIES* copy = static_cast<JPEG_PROPERTIES*>(codec_malloc(sizeof(JPEG_PROPERTIES)));
  int16_t* buffer = static_cast<int16_t*>(codec_calloc(kMcuBufferBlocks * 64, sizeof(int16_t)));
  if (copy == nullptr || buffer == nullptr) {
    free(copy);
    free(buffer);
    return nullptr;
  }
  memcpy(copy, p, sizeof(JPEG_PROPERTIES));
  copy->mcu_buffer = copy->mcu_samples = buffer;
  return copy;
}

// The same, with `on_copy` the scan context moved onto it.
inline JPEG_PROPERTIES* copy_job_state(const ScanContext& ctx, ScanContext* on_copy) {
  JPEG_PROPERTIES* copy = copy_job_properties(ctx.props);
  if (copy == nullptr) return nullptr;
  *on_copy = ctx;
  on_copy->props = copy;
  on_copy->stream = &copy->stream;
  return copy;
}

inline void free_job_state(JPEG_PROPERTIES* copy) {
  if (copy == nullptr) return;
  free(copy->mcu_buffer);
  free(copy);
}

// JPEG_SPLIT=1 in the environment: scans without restart markers are cut
// into runs found by scouting (speculative_scan.cpp) on two threads too,
// where a pipeline of rows serves as well; for tests and measurements.
inline bool split_forced() {
  const char* value = getenv("JPEG_SPLIT");
  return value != nullptr && value[0] == '1';
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
