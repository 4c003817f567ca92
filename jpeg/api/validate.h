// Validation of a jpeg_read or jpeg_write request.
#pragma once

#include "jpeg/api/jpegcodec.h"

// 0 when the request may go ahead (always, with use_properties set),
// otherwise the status that refuses it.
JpegStatus validate_request(const JpegJob* job, int32_t io_type);
