// The fault guard's signal handlers and guard stack: turns a fault inside
// an entry operation into a jump back to it. Called by the entry operations.

#include "jpeg/cpu/guard.h"

#include <signal.h>
#include <stdint.h>
#include <string.h>

#include <mutex>

namespace jpegcodec {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// The handlers the guard's replaced: faults outside the codec go to them.
struct sigaction g_previous[kSignalCount];
std::mutex g_install;

// The calling thread's innermost guard. Initial-exec TLS: reading it in a
// signal handler must not allocate.
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame* t_innermost = nullptr;
// Where on the stack the guard handed the last fault outside the codec on,
// while that hand-over may still be under way. A host handler that hands the
// fault back to the guard (it installed its own over the guard's, and the
// guard then installed itself again) calls in from deeper on the same stack:
// that gets the default action instead of an endless loop. A host handler
// that recovered with siglongjmp never returned, so the mark stays behind; a
// later fault is delivered on a fresh frame no deeper than the abandoned
// one, and is handed on again.
__attribute__((tls_model("initial-exec"))) thread_local const char* t_chained_at = nullptr;
// A call back from the host's handler is a few frames deeper; a fault on
// another stack (an alternate signal stack) lies far from the mark.
constexpr uintptr_t kNestedReach = 256 * 1024;

bool called_back_from_host(const char* here) {
  if (t_chained_at == nullptr || here >= t_chained_at) return false;
  return static_cast<uintptr_t>(t_chained_at - here) < kNestedReach;
}

void default_action(int signal_number, siginfo_t* info) {
  // The default action: put it back and let the fault happen again on
  // return (or the signal arrive again, for one that was sent).
  struct sigaction restore;
  memset(&restore, 0, sizeof restore);
  restore.sa_handler = SIG_DFL;
  sigemptyset(&restore.sa_mask);
  sigaction(signal_number, &restore, nullptr);
  if (info == nullptr || info->si_code <= 0) raise(signal_number);
}

__attribute__((noinline)) void chain(int index, int signal_number, siginfo_t* info, void* context) {
  volatile char here = 0;
  const char* mark = const_cast<const char*>(&here);
  if (called_back_from_host(mark)) {
    default_action(signal_number, info);
    return;
  }
  const struct sigaction& previous = g_previous[index];
  const char* outer = t_chained_at;
  t_chained_at = mark;
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal_number, info, context);
      t_chained_at = outer;
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    t_chained_at = outer;
    return;
  }
  t_chained_at = outer;
  default_action(signal_number, info);
}

void on_fault(int signal_number, siginfo_t* info, void* context) {
  GuardFrame* frame = t_innermost;
  if (frame != nullptr) {
    t_innermost = frame->previous;
    siglongjmp(frame->env, 1);
  }
  for (int i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == signal_number) chain(i, signal_number, info, context);
  }
}

// Puts the guard's handler in place of whatever handles each signal now,
// keeping that one for faults outside the codec. A host that installed its
// own handler after an earlier call finds the guard back in front of it
// (and its handler behind, for its own faults).
void install() {
  std::lock_guard<std::mutex> lock(g_install);
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction current;
    if (sigaction(kSignals[i], nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_fault) continue;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(kSignals[i], &action, &g_previous[i]);
  }
}

}  // namespace

void guard_push(GuardFrame* frame) {
  // The outermost guard of a thread checks that the handlers are in place.
  if (t_innermost == nullptr) install();
  frame->previous = t_innermost;
  t_innermost = frame;
}

void guard_pop(GuardFrame* frame) {
  if (t_innermost == frame) t_innermost = frame->previous;
}

}  // namespace jpegcodec
