// Threads for a read or a write: when they are worth starting, how many a
// job gets, and a team that runs one piece of work on each. Used by the
// threaded decoders and the encoder's bands.
#pragma once

#include <cstdint>
#include <thread>

namespace jpegcodec {

// Images below this size are read and written by one thread: starting
// others costs more than they save.
constexpr int64_t kThreadPixels = int64_t{1} << 19;
constexpr int32_t kMostThreads = 64;

// Threads for `asked` of them: no more than kMostThreads, nor than the
// machine has cores (more would only take turns); at least 1.
inline int32_t thread_pool(int32_t asked) {
  if (asked < 1) return 1;
  if (asked > kMostThreads) asked = kMostThreads;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores != 0 && unsigned(asked) > cores ? static_cast<int32_t>(cores) : asked;
}

// Runs work(t) for t = 0 .. count - 1 (count at most kMostThreads) at once:
// 0 on the calling thread, each other on a thread of its own, every one
// ended when this returns. Work whose thread cannot be started runs on the
// calling thread afterwards.
template <typename Work>
void run_on_threads(int32_t count, Work work) {
  std::thread others[kMostThreads];
  bool started[kMostThreads] = {};
  for (int32_t t = 1; t < count; ++t) {
    try {
      others[t] = std::thread(work, t);
      started[t] = true;
    } catch (...) {
      // No thread to be had: its work waits for the calling thread.
    }
  }
  work(0);
  for (int32_t t = 1; t < count; ++t) {
    if (started[t]) {
      others[t].join();
    } else {
      work(t);
    }
  }
}

}  // namespace jpegcodec
