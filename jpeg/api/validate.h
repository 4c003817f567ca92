// Validation of a jpeg_read or jpeg_write request.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// 0 when the request may go ahead (always, with use_properties set),
// otherwise the status that refuses it, with the job's status_detail
// naming the check.
JpegStatus validate_request(JpegJob* job, int32_t io_type);

// Returns `status` with the job's status_detail set to the formatted text:
// the words a refusal gives the caller.
JpegStatus refuse(JpegJob* job, JpegStatus status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Sets the job's status_detail, when it is still empty, for a refusal the
// output set-up made once the frame was known (validation had no frame to
// judge by): -14 for sampling, -8 for a colour or layout.
void explain_frame_refusal(JpegJob* job, JpegStatus status);

}  // namespace jpegcodec
