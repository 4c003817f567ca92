#include "thread.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

size_t system_minimum() {
  long minimum = sysconf(_SC_THREAD_STACK_MIN);
  return minimum > 0 ? static_cast<size_t>(minimum) : static_cast<size_t>(PTHREAD_STACK_MIN);
}

size_t round_to_page(size_t size) {
  long page = sysconf(_SC_PAGESIZE);
  size_t p = page > 0 ? static_cast<size_t>(page) : 4096;
  return (size + p - 1) / p * p;
}

struct Start {
  void (*entry)(void*);
  void* arg;
};

void* run_start(void* raw) {
  Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.entry(start.arg);
  return nullptr;
}

bool create(pthread_t* thread, void* (*entry)(void*), void* arg, size_t stack_size, bool detached) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "knot: cannot start a thread: %s\n", std::strerror(rc));
    return false;
  }
  rc = pthread_attr_setstacksize(&attr, round_to_page(std::max(stack_size, system_minimum())));
  if (rc == 0 && detached) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0) rc = pthread_create(thread, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "knot: cannot start a thread with a %zu-byte stack: %s\n", stack_size,
                 std::strerror(rc));
    return false;
  }
  return true;
}

}  // namespace

size_t effective_stack_size(size_t requested, ThreadKind kind) {
  size_t floor = kind == ThreadKind::Ui ? kUiThreadStackFloor : kPlainThreadStackFloor;
  return round_to_page(std::max({requested, floor, system_minimum()}));
}

bool begin_thread(void (*entry)(void*), size_t stack_size, void* arg, ThreadKind kind) {
  auto* start = new Start{entry, arg};
  pthread_t thread;
  if (!create(&thread, run_start, start, effective_stack_size(stack_size, kind), true)) {
    delete start;
    return false;
  }
  return true;
}

bool start_joinable_thread(pthread_t* thread, void* (*entry)(void*), void* arg, size_t stack_size) {
  return create(thread, entry, arg, effective_stack_size(stack_size, ThreadKind::Plain), false);
}

size_t current_thread_stack_size() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
}

}  // namespace platform
