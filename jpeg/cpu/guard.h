// The fault guard of the entry operations.
//
// A processor fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) raised while an entry
// operation runs, typically a write through a caller's bad pointer, returns
// control to that operation's guard point, which cleans up and reports -1.
// Faults outside any entry operation go to whatever handler was installed
// before, or end the process as they would have.
//
// The jump skips every frame between the fault and the guard point, so the
// code those frames belong to owns no resources through destructors:
// everything the codec allocates hangs off the job record, where the
// clean-up finds it.
#pragma once

#include <setjmp.h>

namespace jpegcodec {

struct GuardFrame {
  sigjmp_buf env;
  GuardFrame* previous;
};

// Installs the signal handlers (once per process) and makes `frame` the
// innermost guard of the calling thread.
void guard_push(GuardFrame* frame);
// Ends the innermost guard of the calling thread.
void guard_pop(GuardFrame* frame);

// Usage (the entry operations wrap this in one helper, guarded()), in a
// function that stays active while the guarded code runs:
//
//   GuardFrame frame;
//   guard_push(&frame);
//   if (sigsetjmp(frame.env, 1) != 0) {
//     // a fault: the guard is already popped
//     ...clean up...
//     return JpegExceptionDetected;
//   }
//   status = body(...);
//   guard_pop(&frame);

}  // namespace jpegcodec
