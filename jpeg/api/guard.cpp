#include "jpeg/api/guard.h"

#include <signal.h>
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
// Set while a fault outside the codec is handed on: a host handler that
// hands it back to the guard (it installed its own over the guard's, and
// the guard then installed itself again) gets the default action instead
// of an endless loop.
__attribute__((tls_model("initial-exec"))) thread_local bool t_chaining = false;

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

void chain(int index, int signal_number, siginfo_t* info, void* context) {
  if (t_chaining) {
    default_action(signal_number, info);
    return;
  }
  const struct sigaction& previous = g_previous[index];
  t_chaining = true;
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal_number, info, context);
      t_chaining = false;
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    t_chaining = false;
    return;
  }
  t_chaining = false;
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
