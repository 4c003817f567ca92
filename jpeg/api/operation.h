// What the entry operations share: running a body under the fault guard,
// and the steps the read and the write have in common. Internal to api/
// (entry.cpp, write.cpp).
#pragma once

#include <setjmp.h>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/cpu/guard.h"

namespace jpegcodec {

// Runs `body` (returning a status) under the fault guard. After a fault the
// guard is already popped; `on_fault` cleans up and the operation says -1.
// Whatever `on_fault` needs lives outside this frame (the job record, or a
// local of the caller reached through the lambda), so the jump back leaves
// nothing of it stale.
template <typename Body, typename OnFault>
JpegStatus guarded(Body body, OnFault on_fault) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    on_fault();
    return JpegExceptionDetected;
  }
  const JpegStatus status = body();
  guard_pop(&frame);
  return status;
}

// Runs `cleanup` under a guard of its own: a job record that faulted once
// may fault again while it is cleaned up, and that must not end the process.
inline void guarded_cleanup(void (*cleanup)(JpegJob*), JpegJob* job) {
  guarded(
      [&]() -> JpegStatus {
        cleanup(job);
        return JpegSuccess;
      },
      [] {});
}

// jpeg_write_coefficient_image, with the coefficients already in the
// encoder's store order when `prepared` is given (the planes then unread).
JpegStatus write_coefficients(JpegJob* job, int32_t io_type, const JpegCoefImage* image,
                              int16_t* prepared);

// A read or write needs an initialised job that has not been freed since.
inline bool job_ready(const JpegJob* job) {
  return job->properties.routines != nullptr;
}

// The request fields of the public record copied into the working copy
// (`packed_line`: the caller's rows are packed Y,Cb,Y,Cr).
void copy_request_fields(const JpegJob* job, JPEG_PROPERTIES* properties, bool packed_line);
// The processor's vector state cleared after a scan or a write.
void end_of_scan(JPEG_PROPERTIES* properties);
// What a read (or a write) that ended by a fault leaves: the open file closed.
void read_cleanup(JpegJob* job);

}  // namespace jpegcodec
