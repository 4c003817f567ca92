// The marker loop: reads JPEG data through the input stream and stores what
// the table, restart and metadata segments define; it stops at what the read
// driver (drive/read.h) handles. Called by the driver alone.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// The marker codes the loop tells apart (kNoMoreMarkers: the search found
// none before the data ended).
enum Marker : int32_t {
  SOF0 = 0xC0,
  SOF1 = 0xC1,
  SOF2 = 0xC2,
  SOF3 = 0xC3,
  DHT = 0xC4,
  SOF15 = 0xCF,
  RST0 = 0xD0,
  RST7 = 0xD7,
  SOI = 0xD8,
  EOI = 0xD9,
  SOS = 0xDA,
  DQT = 0xDB,
  DRI = 0xDD,
  APP0 = 0xE0,
  APP1 = 0xE1,
  APP2 = 0xE2,
  APP14 = 0xEE,
  COM = 0xFE,
  kNoMoreMarkers = 256,
};

// Where the marker loop stopped.
enum class MarkerEvent {
  Frame,            // an SOF0, SOF1 or SOF2 marker (its code in *marker); the segment follows
  Scan,             // an SOS marker; the scan header follows
  AdobeAfterFrame,  // an Adobe segment after the frame header: the output may change
  ImageEnd,         // EOI after a frame header
  DataEnd,          // the data ended without EOI
  TablesEnd,        // EOI of a tables read before any frame
};

// Reads markers and segments from the stream's position on, starting with
// `*marker` when the scan decoder already found one (0: search). 0 with
// *event set, or the status of a segment that failed (-29 for a frame kind
// this codec does not decode, -22 for tables not followed by an image).
JpegStatus read_markers(JPEG_PROPERTIES* properties, int32_t* marker, MarkerEvent* event);

}  // namespace jpegcodec
