#include "knot_lock.h"

void KnotLock::lock() {
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(state_);
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return;
  }
  const uint64_t ticket = next_ticket_++;
  turn_.wait(guard, [&] { return serving_ == ticket; });
  owner_ = me;
  depth_ = 1;
}

void KnotLock::unlock() {
  std::lock_guard<std::mutex> guard(state_);
  if (depth_ == 0 || owner_ != std::this_thread::get_id()) return;  // not ours to release
  if (--depth_ > 0) return;
  owner_ = std::thread::id();
  ++serving_;
  turn_.notify_all();
}

bool KnotLock::held_by_caller() {
  std::lock_guard<std::mutex> guard(state_);
  return depth_ > 0 && owner_ == std::this_thread::get_id();
}
