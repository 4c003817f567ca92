#include "jpeg/decode/scan.h"

JpegStatus decode_scan(JPEG_PROPERTIES*, ScanHeader*, int32_t* marker) {
  // Scan decoding is not part of this build yet.
  *marker = 0;
  return JpegNotSupported;
}
