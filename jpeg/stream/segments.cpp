// Segment handlers: each reads its segment's length and payload and stores
// what the segment defines. Every field is read only after checking that
// the payload holds it; the payload is never read past its end.

#include "jpeg/stream/segments.h"
#include "jpeg/cpu/memory.h"

#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include "jpeg/cpu/guard.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/stream/huffman_table.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/quant_table.h"
#include "jpeg/stream/standard_tables.h"
#include "jpeg/stream/tables.h"

namespace jpegcodec {

namespace {

constexpr int32_t kMaxDqtPayload = 516;   // four 16-bit tables with their Pq/Tq bytes
constexpr int32_t kMaxDhtPayload = 1091;  // as large as the segment handler accepts

struct Payload {
  const uint8_t* bytes = nullptr;
  int32_t size = 0;
  bool copied = false;
};

inline uint32_t be16(const uint8_t* b) {
  return (uint32_t{b[0]} << 8) | b[1];
}

JpegStatus fetch_payload(InputStream* s, Payload* payload) {
  int32_t length = 0;
  JpegStatus status = read_length(s, &length);
  if (status != JpegSuccess) return status;
  if (length < 2) return JpegDataError;
  payload->size = length - 2;
  return segment_bytes(s, payload->size, &payload->bytes, &payload->copied);
}

void release_payload(Payload* payload) {
  if (payload->copied) free(const_cast<uint8_t*>(payload->bytes));
  payload->copied = false;
}

// ---- frame header (SOFn) ----------------------------------------------------

JpegStatus parse_frame_header(JPEG_PROPERTIES* p, const Payload& in) {
  if (in.size < 6) return JpegDataError;
  const uint8_t* b = in.bytes;
  const int32_t precision = b[0];
  const int32_t height = static_cast<int32_t>(be16(b + 1));
  const int32_t width = static_cast<int32_t>(be16(b + 3));
  const int32_t count = b[5];
  if (precision != 8) return JpegUnsupportedFrame;
  // A height of 0 would come from a DNL segment after the first scan.
  if (height == 0) return JpegDnlError;
  if (count == 0 || count > 4) return JpegCompError;
  if (width == 0) return JpegSofError;
  if (in.size < 6 + 3 * count) return JpegDataError;
  // Parsed aside and taken only whole: a refused header leaves the frame
  // that earlier scans were decoded with intact for the output of what
  // they decoded.
  FrameComponent components[4] = {};
  int32_t max_h = 1, max_v = 1;
  for (int i = 0; i < count; ++i) {
    const uint8_t* c = b + 6 + 3 * i;
    FrameComponent& component = components[i];
    component.id = c[0];
    component.h = c[1] >> 4;
    component.v = c[1] & 15;
    component.quant_index = c[2];
    // Sampling factors are 1 to 4 (T.81 B.2.2); a 0 would divide by zero.
    if (component.h < 1 || component.h > 4 || component.v < 1 || component.v > 4) {
      return JpegCompError;
    }
    // The one component of a grey frame is its own reference: its scans'
    // MCU is one block whatever factors it declares.
    if (count == 1) component.h = component.v = 1;
    if (component.h > max_h) max_h = component.h;
    if (component.v > max_v) max_v = component.v;
  }
  FrameHeader& frame = p->frame;
  memcpy(frame.components, components, sizeof components);
  frame.precision = precision;
  frame.frame_width = width;
  frame.frame_height = height;
  frame.component_count = count;
  frame.max_h = max_h;
  frame.max_v = max_v;
  frame.frame_mcus_per_row = (width + 8 * max_h - 1) / (8 * max_h);
  frame.frame_mcu_count = frame.frame_mcus_per_row * ((height + 8 * max_v - 1) / (8 * max_v));
  return JpegSuccess;
}

// ---- scan header (SOS) --------------------------------------------------------

// Gives a scan's Huffman table the standard table of its class when no DHT
// segment defined it.
JpegStatus ensure_huffman_table(JPEG_PROPERTIES* p, int table_class, int id) {
  const uint8_t bit = static_cast<uint8_t>(1u << (table_class == 0 ? id : 4 + id));
  if (p->huff_defined & bit) return JpegSuccess;
  const StandardHuffmanTable& standard = standard_huffman_table(table_class, id);
  HuffDecodeTable* table = table_class == 0 ? &p->dc_tables[id] : &p->ac_tables[id];
  const JpegStatus status =
      huff_build_decode_table(standard.counts, standard.symbols, table_class, id, table);
  if (status == JpegSuccess) p->huff_defined |= bit;
  return status;
}

JpegStatus parse_scan_header(JPEG_PROPERTIES* p, const Payload& in, ScanHeader* scan) {
  if (in.size < 1) return JpegDataError;
  const uint8_t* b = in.bytes;
  const int32_t count = b[0];
  if (count < 1 || count > 4) return JpegDataError;
  if (in.size < 1 + 2 * count + 3) return JpegDataError;
  scan->components = static_cast<ScanComponent*>(codec_calloc(count, sizeof(ScanComponent)));
  if (scan->components == nullptr) return JpegMemoryError;
  scan->component_count = count;
  const uint8_t* spectral = b + 1 + 2 * count;
  scan->ss = spectral[0];
  scan->se = spectral[1];
  scan->ah = spectral[2] >> 4;
  scan->al = spectral[2] & 15;
  if (!p->progressive_frame) {
    // A sequential frame's scans cover the whole band whatever their
    // header says.
    scan->ss = 0;
    scan->se = 63;
    scan->ah = 0;
    scan->al = 0;
  } else if ((scan->ss == 0 && scan->se != 0) || (scan->ss != 0 && count != 1)) {
    // A progressive scan carries DC alone, or AC of one component (T.81
    // G.1.1.1.1).
    return JpegDataError;
  }
  // The coefficient band must lie in the block (T.81 B.2.3), or the band
  // loops would walk past it.
  if (scan->se > 63 || scan->ss > scan->se || scan->ah > 13 || scan->al > 13) {
    return JpegDataError;
  }
  // A refinement scan adds the one bit below the last scan's (T.81
  // G.1.1.1.2): Ah is Al + 1.
  if (scan->ah != 0 && scan->ah != scan->al + 1) return JpegDataError;
  const bool sequential = scan->ss == 0 && scan->se == 63 && scan->ah == 0 && scan->al == 0;
  const bool uses_dc = sequential || (scan->ss == 0 && scan->ah == 0);
  const bool uses_ac = sequential || scan->ss > 0;
  for (int i = 0; i < count; ++i) {
    const int32_t id = b[1 + 2 * i];
    const int32_t td = b[2 + 2 * i] >> 4;
    const int32_t ta = b[2 + 2 * i] & 15;
    if (td > 3 || ta > 3) return JpegDataError;
    int32_t index = -1;
    for (int f = 0; f < p->frame.component_count && f < 4; ++f) {
      if (p->frame.components[f].id == id) {
        index = f;
        break;
      }
    }
    if (index < 0) return JpegDataError;
    const FrameComponent& component = p->frame.components[index];
    if (component.quant_index > 3) return JpegDataError;
    if (!(p->quant_defined & (1u << component.quant_index))) return JpegNoQuantizationTable;
    if (uses_dc) {
      const JpegStatus status = ensure_huffman_table(p, 0, td);
      if (status != JpegSuccess) return status;
    }
    if (uses_ac) {
      const JpegStatus status = ensure_huffman_table(p, 1, ta);
      if (status != JpegSuccess) return status;
    }
    ScanComponent& out = scan->components[i];
    out.frame_index = index;
    out.h = component.h;
    out.v = component.v;
    out.dc_table = &p->dc_tables[td];
    out.ac_table = &p->ac_tables[ta];
    out.quant_table = &p->quant_tables[component.quant_index];
    p->scan_dc_selectors[i] = static_cast<uint8_t>(td);
    p->scan_ac_selectors[i] = static_cast<uint8_t>(ta);
  }
  return JpegSuccess;
}

// ---- tables (DQT, DHT) ----------------------------------------------------------

JpegStatus parse_dqt(JPEG_PROPERTIES* p, const Payload& in) {
  if (in.size > kMaxDqtPayload) return JpegDataError;
  int32_t at = 0;
  while (at < in.size) {
    const int32_t precision = in.bytes[at] >> 4;
    const int32_t id = in.bytes[at] & 15;
    ++at;
    const int32_t value_bytes = precision == 0 ? 1 : 2;
    if (id > 3 || at + 64 * value_bytes > in.size) return JpegBadQuantizationTable;
    QuantTable& table = p->quant_tables[id];
    table.values = table.storage;
    table.precision = precision;
    if (p->quant_id_bound < id + 1) p->quant_id_bound = id + 1;
    const uint8_t* raw = in.bytes + at;
    for (int i = 0; i < 64; ++i) {
      table.storage[i] = static_cast<int16_t>(value_bytes == 1 ? raw[i] : be16(raw + 2 * i));
    }
    QuantExchange& exchange = p->quant_exchange[id];
    if (exchange.values != nullptr) {
      exchange.id = static_cast<uint8_t>(id);
      memcpy(exchange.values, raw, 64 * value_bytes);
    }
    prepare_quant_table(p, id);
    at += 64 * value_bytes;
    if (p->quant_tables_read < 4) ++p->quant_tables_read;
    p->quant_defined |= static_cast<uint8_t>(1u << id);
  }
  return JpegSuccess;
}

JpegStatus parse_dht(JPEG_PROPERTIES* p, const Payload& in) {
  if (in.size > kMaxDhtPayload) return JpegDataError;
  int32_t at = 0;
  while (at < in.size) {
    const int32_t table_class = in.bytes[at] >> 4;
    const int32_t id = in.bytes[at] & 15;
    ++at;
    if (table_class > 1 || id > 3) return JpegBadHuffmanTable;
    if (at + 16 > in.size) return JpegBadHuffmanTable;
    const uint8_t* counts = in.bytes + at;
    at += 16;
    int32_t total = 0;
    for (int i = 0; i < 16; ++i) total += counts[i];
    if (at + total > in.size) return JpegBadHuffmanTable;
    const uint8_t* symbols = in.bytes + at;
    at += total;
    if (p->huff_id_bound < id + 1) p->huff_id_bound = id + 1;
    HuffExchange& exchange = p->huff_exchange[2 * id + table_class];
    if (exchange.counts != nullptr && exchange.symbols != nullptr) {
      exchange.table_class = static_cast<uint8_t>(table_class);
      exchange.id = static_cast<uint8_t>(id);
      memcpy(exchange.counts, counts, 16);
      memcpy(exchange.symbols, symbols, total);
    }
    HuffDecodeTable* table = table_class == 0 ? &p->dc_tables[id] : &p->ac_tables[id];
    if (huff_build_decode_table(counts, symbols, table_class, id, table) != JpegSuccess) {
      return JpegBadHuffmanTable;
    }
    if (table_class == 0) {
      if (p->dc_tables_read < 4) ++p->dc_tables_read;
    } else if (p->ac_tables_read < 4) {
      ++p->ac_tables_read;
    }
    p->huff_defined |= static_cast<uint8_t>(1u << (table_class == 0 ? id : 4 + id));
  }
  return JpegSuccess;
}

// ---- JFIF and JFXX thumbnails (APP0) -----------------------------------------

bool reads_thumbnail(const JPEG_PROPERTIES* p) {
  return p->io_type == IoReadThumbnailFile || p->io_type == IoReadThumbnailBuffer;
}

// A thumbnail goes to the caller's image only when it fits: every row inside
// the image's width and height, three bytes a pixel inside the line.
JpegStatus check_thumbnail_fits(const JPEG_PROPERTIES* p, int32_t width, int32_t height) {
  const int32_t rows = p->out_height < 0 ? -p->out_height : p->out_height;
  const int32_t line = p->out_line_bytes < 0 ? -p->out_line_bytes : p->out_line_bytes;
  if (p->stream.out_start == nullptr || width > p->out_width || height > rows || 3 * width > line) {
    return JpegOutputTooSmall;
  }
  return JpegSuccess;
}

// Writes a thumbnail's rows; `pixel` gives the red, green, blue of pixel i.
template <typename PixelAt>
void write_thumbnail(JPEG_PROPERTIES* p, int32_t width, int32_t height, PixelAt pixel) {
  const bool swap = p->out_color != ColorRgb;
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = p->stream.out_start + static_cast<intptr_t>(y) * p->out_line_bytes;
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* rgb = pixel(y * width + x);
      row[3 * x + 0] = swap ? rgb[2] : rgb[0];
      row[3 * x + 1] = rgb[1];
      row[3 * x + 2] = swap ? rgb[0] : rgb[2];
    }
  }
}

JpegStatus parse_app0(JPEG_PROPERTIES* p, const Payload& in) {
  if (!p->first_pass) return JpegSuccess;
  const uint8_t* b = in.bytes;
  if (memcmp(b, "JFIF", 5) == 0) {
    p->jfif_seen = 1;
    p->jfif_version = static_cast<uint16_t>(be16(b + 5));
    p->density_units = b[7];
    p->x_density = static_cast<uint16_t>(be16(b + 8));
    p->y_density = static_cast<uint16_t>(be16(b + 10));
    const int32_t width = b[12], height = b[13];
    if (width == 0 || height == 0) return JpegSuccess;
    p->thumb_width = width;
    p->thumb_height = height;
    if (reads_thumbnail(p) && in.size >= 14 + width * height * 3) {
      const JpegStatus status = check_thumbnail_fits(p, width, height);
      if (status != JpegSuccess) return status;
      write_thumbnail(p, width, height, [&](int32_t i) { return b + 14 + 3 * i; });
    }
    return JpegSuccess;
  }
  if (memcmp(b, "JFXX", 5) != 0) return JpegSuccess;
  const int32_t code = b[5];
  if (in.size < 8) return JpegSuccess;
  const int32_t width = b[6], height = b[7];
  if (code == 0x13) {
    if (width == 0 || height == 0) return JpegSuccess;
    p->thumb_width = width;
    p->thumb_height = height;
    if (reads_thumbnail(p) && in.size >= 8 + width * height * 3) {
      const JpegStatus status = check_thumbnail_fits(p, width, height);
      if (status != JpegSuccess) return status;
      write_thumbnail(p, width, height, [&](int32_t i) { return b + 8 + 3 * i; });
    }
  } else if (code == 0x11) {
    // A palette of 256 red-green-blue entries, then one index a pixel. Its
    // size is reported by every read, so that a caller can size the image
    // for the thumbnail read.
    if (width == 0 || height == 0 || in.size < width * height + 776) return JpegSuccess;
    p->thumb_width = width;
    p->thumb_height = height;
    if (!reads_thumbnail(p)) return JpegSuccess;
    const JpegStatus status = check_thumbnail_fits(p, width, height);
    if (status != JpegSuccess) return status;
    const uint8_t* palette = b + 8;
    const uint8_t* indices = b + 776;
    write_thumbnail(p, width, height, [&](int32_t i) { return palette + 3 * indices[i]; });
  }
  return JpegSuccess;
}

// An application segment: its payload, or nothing (bytes->size 0, status 0)
// when it is too short to hold what the handler reads. Short payloads are
// passed over whole, so that their bytes are never mistaken for markers; a
// length below 2 leaves the search for the next marker to find its way.
JpegStatus fetch_application_payload(InputStream* s, int32_t least, Payload* payload) {
  int32_t length = 0;
  JpegStatus status = read_length(s, &length);
  if (status != JpegSuccess) return status;
  if (length < 2) return JpegSuccess;
  payload->size = length - 2;
  if (segment_bytes(s, payload->size, &payload->bytes, &payload->copied) != JpegSuccess) {
    return JpegDataError;
  }
  if (payload->size < least) {
    release_payload(payload);
    payload->size = 0;
  }
  return JpegSuccess;
}

// Reads the segment's payload, hands it to `parse`, and frees its copy.
JpegStatus with_payload(JPEG_PROPERTIES* p, JpegStatus (*parse)(JPEG_PROPERTIES*, const Payload&)) {
  Payload payload;
  JpegStatus status = fetch_payload(&p->stream, &payload);
  if (status != JpegSuccess) return status;
  status = parse(p, payload);
  release_payload(&payload);
  return status;
}

}  // namespace

JpegStatus read_frame_header(JPEG_PROPERTIES* p) {
  return with_payload(p, parse_frame_header);
}

JpegStatus read_scan_header(JPEG_PROPERTIES* p, ScanHeader* scan) {
  Payload payload;
  JpegStatus status = fetch_payload(&p->stream, &payload);
  if (status != JpegSuccess) return status;
  p->routines->scan_header_bytes = payload.size + 4;  // marker and length included
  status = parse_scan_header(p, payload, scan);
  release_payload(&payload);
  if (status != JpegSuccess) {
    free(scan->components);
    scan->components = nullptr;
  }
  return status;
}

JpegStatus read_dqt(JPEG_PROPERTIES* p) {
  return with_payload(p, parse_dqt);
}

JpegStatus read_dht(JPEG_PROPERTIES* p) {
  return with_payload(p, parse_dht);
}

JpegStatus read_dri(JPEG_PROPERTIES* p, int32_t* interval) {
  Payload payload;
  JpegStatus status = fetch_payload(&p->stream, &payload);
  if (status != JpegSuccess) return status;
  if (payload.size < 2) {
    status = JpegDataError;
  } else {
    *interval = static_cast<int32_t>(be16(payload.bytes));
  }
  release_payload(&payload);
  return status;
}

JpegStatus read_app0(JPEG_PROPERTIES* p) {
  Payload payload;
  JpegStatus status = fetch_application_payload(&p->stream, 14, &payload);
  if (status != JpegSuccess || payload.size == 0) return status;
  status = parse_app0(p, payload);
  release_payload(&payload);
  return status;
}

JpegStatus read_app14(JPEG_PROPERTIES* p) {
  Payload payload;
  JpegStatus status = fetch_application_payload(&p->stream, 12, &payload);
  if (status != JpegSuccess || payload.size == 0) return status;
  const uint8_t* b = payload.bytes;
  if (memcmp(b, "Adobe", 5) == 0) {
    p->adobe_version = static_cast<uint16_t>(be16(b + 5));
    p->adobe_flags0 = static_cast<uint16_t>(be16(b + 7));
    p->adobe_flags1 = static_cast<uint16_t>(be16(b + 9));
    p->adobe_transform = b[11];
    p->adobe_seen = 1;
  }
  release_payload(&payload);
  return JpegSuccess;
}

namespace {

// Copies a comment into the caller's buffer; a fault while writing to it is
// the caller's buffer being bad, which the guard turns into -30.
JpegStatus copy_comment(JPEG_PROPERTIES* p, const Payload& payload) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) return JpegCommentAccessError;
  JpegStatus status = JpegSuccess;
  if (payload.size == 0) {
    // nothing to copy
  } else if (p->jpeg_comment_size >= payload.size) {
    memcpy(p->jpeg_comment, payload.bytes, payload.size);
  } else {
    memcpy(p->jpeg_comment, payload.bytes, p->jpeg_comment_size);
    status = JpegCommentAccessError;
  }
  p->jpeg_comment_size = static_cast<uint16_t>(payload.size);
  guard_pop(&frame);
  return status;
}

}  // namespace

JpegStatus read_com(JPEG_PROPERTIES* p) {
  // A comment whose length field is broken (below 2) counts as empty: the
  // image after it is still read.
  Payload payload;
  JpegStatus status = fetch_application_payload(&p->stream, 0, &payload);
  if (status != JpegSuccess) return status;
  if (p->first_pass && p->jpeg_comment != nullptr && !p->comment_delivered) {
    status = copy_comment(p, payload);
  }
  release_payload(&payload);
  return status;
}

}  // namespace jpegcodec
