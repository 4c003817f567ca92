#include "jpeg/stream/parser.h"

JpegStatus parse_stream(JPEG_PROPERTIES*) {
  // The marker parser is not part of this build yet: every read that needs
  // it reports "Not supported".
  return JpegNotSupported;
}
