// Input-stream start-up and scan-header ownership.
#pragma once

#include "jpeg/api/jpegcodec.h"

// Starts over on the stream's current data: a file stream holds nothing
// (its first take refills); a memory stream holds all its data. Clears the
// bit input.
void stream_reset(InputStream* stream);

// Frees a scan header and its components; null is allowed.
void free_scan_header(ScanHeader* scan);
