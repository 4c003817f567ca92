#include "jpeg/api/guard.h"

#include <signal.h>
#include <string.h>

#include <mutex>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

struct sigaction g_previous[kSignalCount];
std::once_flag g_installed;

// The calling thread's innermost guard. Initial-exec TLS: reading it in a
// signal handler must not allocate.
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame* t_innermost = nullptr;

void chain(int index, int signal_number, siginfo_t* info, void* context) {
  const struct sigaction& previous = g_previous[index];
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal_number, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    return;
  }
  // The default action: put it back and let the fault happen again on
  // return (or the signal arrive again, for one that was sent).
  struct sigaction restore;
  memset(&restore, 0, sizeof restore);
  restore.sa_handler = SIG_DFL;
  sigemptyset(&restore.sa_mask);
  sigaction(signal_number, &restore, nullptr);
  if (info == nullptr || info->si_code <= 0) raise(signal_number);
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

void install() {
  for (int i = 0; i < kSignalCount; ++i) {
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
  std::call_once(g_installed, install);
  frame->previous = t_innermost;
  t_innermost = frame;
}

void guard_pop(GuardFrame* frame) {
  if (t_innermost == frame) t_innermost = frame->previous;
}
