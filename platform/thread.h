// Threads with an explicit stack size.
//
// Callers ask for the stack they think they need; some ask for far less than
// anything can run in (a few KiB, below the system minimum, where thread
// creation would fail outright or silently keep a default). Every thread gets
// at least a floor that is known to be enough: one for plain worker threads,
// a larger one for threads that run a user-interface toolkit (measured peak
// of a dialog thread: about 90 KB, and more under sanitizers).
#pragma once

#include <pthread.h>

#include <cstddef>

namespace platform {

inline constexpr size_t kPlainThreadStackFloor = 64 * 1024;
inline constexpr size_t kUiThreadStackFloor = 1024 * 1024;

enum class ThreadKind { Plain, Ui };

// The stack size a thread asking for `requested` bytes really gets.
size_t effective_stack_size(size_t requested, ThreadKind kind);

// Starts a detached thread running `entry(arg)`. Returns false, and prints
// why on standard error, when the thread could not be started.
bool begin_thread(void (*entry)(void*), size_t stack_size, void* arg,
                  ThreadKind kind = ThreadKind::Plain);

// Starts a joinable thread with at least `stack_size` bytes of stack.
bool start_joinable_thread(pthread_t* thread, void* (*entry)(void*), void* arg, size_t stack_size);

// Stack size of the calling thread, in bytes (0 if it cannot be read).
size_t current_thread_stack_size();

}  // namespace platform
