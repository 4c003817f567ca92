// The knot's lock. Recursive: the thread that holds it may take it again.
#pragma once

#include <mutex>

class KnotLock {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};
