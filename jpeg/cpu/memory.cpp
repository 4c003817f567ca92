#include "jpeg/cpu/memory.h"

#include <cstdlib>

namespace {

// Allocations left before the one made to fail; negative: none fails.
thread_local int64_t t_successes_left = -1;

bool this_one_fails() {
  if (t_successes_left < 0) return false;
  return t_successes_left-- == 0;
}

}  // namespace

void* codec_malloc(size_t bytes) {
  return this_one_fails() ? nullptr : std::malloc(bytes);
}

void* codec_calloc(size_t count, size_t size) {
  return this_one_fails() ? nullptr : std::calloc(count, size);
}

void codec_fail_allocation_after(int64_t successes) {
  t_successes_left = successes;
}
