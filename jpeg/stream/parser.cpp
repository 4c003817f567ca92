// The marker loop (T.81 Annex B): finds markers, hands the segments that
// define tables, restart intervals and metadata to their readers, and stops
// where the read driver takes over: a frame header, a scan, the end.

#include "jpeg/stream/parser.h"

#include <stdint.h>

#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/io_types.h"
#include "jpeg/stream/metadata.h"
#include "jpeg/stream/segments.h"

namespace jpegcodec {

JpegStatus read_markers(JPEG_PROPERTIES* p, int32_t* marker, MarkerEvent* event) {
  InputStream* s = &p->stream;
  const int32_t type = p->io_type;
  int32_t found = *marker;
  *marker = 0;
  for (;;) {
    if (found == 0) {
      const JpegStatus status = next_marker(s, &found);
      if (status == JpegEofError) {
        *event = MarkerEvent::DataEnd;
        return JpegSuccess;
      }
      if (status != JpegSuccess) return status;
    }
    const int32_t code = found;
    found = 0;
    JpegStatus status = JpegSuccess;
    if (code == kNoMoreMarkers) {
      *event = MarkerEvent::DataEnd;
      return JpegSuccess;
    }
    switch (code) {
      case SOF0:
      case SOF1:
      case SOF2:
        *marker = code;
        *event = MarkerEvent::Frame;
        return JpegSuccess;
      case SOF3:
      case 0xC5:
      case 0xC6:
      case 0xC7:
      case 0xC8:
      case 0xC9:
      case 0xCA:
      case 0xCB:
      case 0xCD:
      case 0xCE:
      case SOF15:
        // Lossless, hierarchical, arithmetic-coded and 12-bit-only frames
        // (JPG, 0xC8, is reserved for extensions).
        return JpegUnsupportedFrame;
      case DHT:
        status = read_dht(p);
        break;
      case RST0:
      case 0xD1:
      case 0xD2:
      case 0xD3:
      case 0xD4:
      case 0xD5:
      case 0xD6:
      case RST7:
        // Restart markers between scans carry nothing.
        break;
      case SOI:
        p->restart_interval = 0;
        break;
      case EOI:
        if (p->first_pass && (type == IoReadTablesFile || type == IoReadTablesBuffer)) {
          *event = MarkerEvent::TablesEnd;
          return JpegSuccess;
        }
        if (p->first_pass) {
          // Tables only so far: an image must follow in the same data.
          status = next_marker(s, &found);
          if (status == JpegEofError || (status == JpegSuccess && found != SOI)) {
            return JpegNoImage;
          }
          if (status != JpegSuccess) return status;
          continue;
        }
        *event = MarkerEvent::ImageEnd;
        return JpegSuccess;
      case SOS:
        *event = MarkerEvent::Scan;
        return JpegSuccess;
      case DQT:
        status = read_dqt(p);
        break;
      case DRI: {
        int32_t interval = 0;
        status = read_dri(p, &interval);
        if (status == JpegSuccess) p->restart_interval = interval;
        break;
      }
      case APP0:
        // An abbreviated image read takes nothing from APP0 segments, but
        // passes over them whole: a thumbnail's bytes are no markers.
        status = type != IoReadAbbreviatedFile ? read_app0(p) : skip_segment(s);
        break;
      case APP14:
        status = read_app14(p);
        if (status == JpegSuccess && !p->first_pass) {
          *event = MarkerEvent::AdobeAfterFrame;
          return JpegSuccess;
        }
        break;
      case COM:
        status = read_com(p);
        break;
      case APP1:
      case APP2:
        // EXIF, XMP and the ICC profile are kept; other APP1 and APP2
        // segments are passed over.
        status = read_app_metadata(p, code);
        break;
      default:
        // DNL, DAC, other APPn and anything else: passed over whole.
        status = skip_segment(s);
        break;
    }
    if (status != JpegSuccess) return status;
  }
}

}  // namespace jpegcodec
