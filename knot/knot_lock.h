// The knot's lock: recursive (the holder may take it again) and fair (it is
// handed to waiting threads in the order they asked).
//
// Fairness matters here: a morph rebuilds the mesh under the lock, releases
// it and takes it again at once, thousands of times a second. With an
// ordinary mutex the morph's thread wins nearly every race for it and the
// drawing thread, which needs it for every frame, starves: the picture the
// morph animates freezes. Taking turns lets a frame in after each rebuild.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class KnotLock {
 public:
  void lock();
  void unlock();
  // True when the calling thread holds the lock.
  bool held_by_caller();

 private:
  std::mutex state_;
  std::condition_variable turn_;
  uint64_t next_ticket_ = 0;  // the ticket the next thread to ask gets
  uint64_t serving_ = 0;      // the ticket whose thread holds or may take the lock
  std::thread::id owner_;
  uint32_t depth_ = 0;  // how many times the owner has taken it
};
