// What one read leaves for the next to continue: an interrupted decode to
// resume, a restart index or a progressive frame's coefficients for a
// further region of the same data; and how a read tells the same data.
// The one rule that decides whether a read continues or starts afresh:
// jpeg_read asks continues_last_read before it starts and tells
// record_continuation how it ended.
#pragma once

#include <stdint.h>

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

enum Continuation : int32_t {
  kNothing = 0,
  kInterrupted = 1,       // the saved scan resumes for a read of the same type
  kRegionIndex = 2,       // the saved scan and the restart index serve a further region
  kCoefficientsDone = 3,  // a progressive frame's coefficients, all decoded
};

// The data a read names: a buffer's address and size, or the identity of
// the file it opened.
struct Source {
  bool file = false;
  const uint8_t* buffer = nullptr;
  int32_t size = 0;
  uint64_t id[4] = {};
};

// A buffer's bytes in brief (see the definition for what it covers).
uint64_t buffer_fingerprint(const uint8_t* data, int32_t size);
// Whether `source` is the data the job's last read named.
bool same_source(const JPEG_PROPERTIES* properties, const Source& source);
// What a call must repeat to resume an interrupted decode.
void resume_request_of(const JPEG_PROPERTIES* properties, int32_t request[11]);
// Whether a read of `type` from `source` continues what the last one left.
bool continues_last_read(const JPEG_PROPERTIES* properties, int32_t type, const Source& source);
// What the next read may continue after this one ended with `status`.
void record_continuation(JPEG_PROPERTIES* properties, int32_t type, JpegStatus status,
                         const Source& source);

}  // namespace jpegcodec
