// The write's driver: takes the caller's image and the request, gives the
// JPEG file's bytes to the sink, stage by stage. Called by jpeg_write.

#include "jpeg/encode/encoder.h"

#include "jpeg/encode/encoder_state.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "jpeg/cpu/memory.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/encode/fdct.h"
#include "jpeg/encode/mcu_input.h"
#include "jpeg/encode/simd_encode.h"
#include "jpeg/stream/coding_tables.h"
#include "jpeg/stream/metadata.h"
#include "jpeg/stream/standard_tables.h"

namespace jpegcodec {

namespace {

// T.81 Annex K.1: the luminance and chrominance tables, natural order, as
// printed (quality 50).
constexpr uint8_t kBaseQuant[2][64] = {
    {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
     14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
     18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
     49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99},
    {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
     99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
     99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99}};

}  // namespace

void quality_table(int32_t quality, int32_t which, uint8_t* table) {
  // 50 is the table as printed; below, 5000 / q percent of it; above,
  // 200 - 2q percent (so 100 gives all ones).
  const int32_t scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  for (int i = 0; i < 64; ++i) {
    int32_t value = (kBaseQuant[which][i] * scale + 50) / 100;
    table[i] = static_cast<uint8_t>(value < 1 ? 1 : (value > 255 ? 255 : value));
  }
}

namespace {

// ---- frame and input set-up ---------------------------------------------------

// Sampling factors of component c under the subsampling code: the first
// component (and a fourth, under codes 3 and 4) 2x2 or 2x1, the others 1x1.
void sampling_of(int32_t code, int32_t c, int32_t* h, int32_t* v) {
  *h = *v = 1;
  const bool first = c == 0 || (c == 3 && (code == Sub420Alpha || code == Sub422Alpha));
  if (!first) return;
  if (code == Sub420 || code == Sub420Alpha) *h = *v = 2;
  if (code == Sub422 || code == Sub422Alpha) *h = 2;
}

// Luminance Huffman tables for Y (and K); chrominance for Cb and Cr. RGB
// and CMYK data share the first tables.
bool uses_chroma_tables(int32_t color, int32_t c) {
  return (color == ColorYcbcr || color == ColorYcck) && (c == 1 || c == 2);
}

// The frame's MCU geometry from its size and components' factors.
void set_up_geometry(Encoder& e);

JpegStatus set_up_frame(Encoder& e) {
  JPEG_PROPERTIES* p = e.p;
  EncodeFrame& f = e.frame;
  f.width = p->jpeg_width;
  f.height = p->jpeg_height;
  f.count = p->jpeg_channels;
  const int32_t color = p->jpeg_color;
  for (int32_t c = 0; c < f.count; ++c) {
    EncodeComponent& k = f.comp[c];
    sampling_of(p->jpeg_subsampling, c, &k.h, &k.v);
    const bool chroma = uses_chroma_tables(color, c);
    k.quant = k.table = chroma ? 1 : 0;
    e.chroma = e.chroma || chroma;
    // Component ids: 1, 2, ... except RGB ("R", "G", "B"), which a reader
    // without the Adobe segment can still tell apart.
    k.id = color == ColorRgb && f.count == 3 ? "RGB"[c] : c + 1;
  }
  set_up_geometry(e);
  return JpegSuccess;
}

// The frame of the caller's coefficients: their size, factors (a sole
// component 1x1: its scan is not interleaved), ids and tables.
void set_up_coefficient_frame(Encoder& e) {
  const JpegCoefImage& image = *e.coefficients;
  EncodeFrame& f = e.frame;
  f.width = image.width;
  f.height = image.height;
  f.count = image.component_count;
  for (int32_t c = 0; c < f.count; ++c) {
    const JpegCoefComponent& given = image.components[c];
    EncodeComponent& k = f.comp[c];
    k.h = f.count == 1 ? 1 : given.h;
    k.v = f.count == 1 ? 1 : given.v;
    k.id = given.id;
    k.quant = given.quant_table;
    k.table = uses_chroma_tables(image.color, c) ? 1 : 0;
    e.chroma = e.chroma || k.table == 1;
    e.quant_written |= 1u << k.quant;
  }
  for (int32_t n = 0; n < 4; ++n) {
    if (!(e.quant_written >> n & 1)) continue;
    for (int i = 0; i < 64; ++i) {
      e.quant[n][i] = image.quant_tables[n][i];
      e.wide_quant = e.wide_quant || e.quant[n][i] > 255;
    }
  }
  set_up_geometry(e);
}

void set_up_geometry(Encoder& e) {
  EncodeFrame& f = e.frame;
  f.max_h = f.max_v = 1;
  for (int32_t c = 0; c < f.count; ++c) {
    f.max_h = f.comp[c].h > f.max_h ? f.comp[c].h : f.max_h;
    f.max_v = f.comp[c].v > f.max_v ? f.comp[c].v : f.max_v;
  }
  // Wide arithmetic: a tables-only write takes the frame's size unvalidated
  // (it writes no frame), and the geometry is then never used.
  f.mcus_per_row = static_cast<int32_t>((int64_t{f.width} + 8 * f.max_h - 1) / (8 * f.max_h));
  f.mcu_rows = static_cast<int32_t>((int64_t{f.height} + 8 * f.max_v - 1) / (8 * f.max_v));
  f.blocks_per_mcu = 0;
  for (int32_t c = 0; c < f.count; ++c) {
    EncodeComponent& k = f.comp[c];
    k.first = f.blocks_per_mcu;
    f.blocks_per_mcu += k.h * k.v;
    const int64_t samples_across = (int64_t{f.width} * k.h + f.max_h - 1) / f.max_h;
    const int64_t samples_down = (int64_t{f.height} * k.v + f.max_v - 1) / f.max_v;
    k.across = static_cast<int32_t>((samples_across + 7) / 8);
    k.down = static_cast<int32_t>((samples_down + 7) / 8);
  }
  f.restart_interval = e.options.restart_interval;
}

// The MCU input for the caller's layout and the frame: a kernel of its own
// for the common cases, the generic one for the rest.
JpegStatus set_up_input(Encoder& e) {
  JPEG_PROPERTIES* p = e.p;
  const EncodeFrame& f = e.frame;
  RoutineTable* t = e.t;
  McuSource& s = e.source;
  s = McuSource{};
  e.packed = p->out_subsampling == Sub422 && p->out_color == ColorYcbcr;
  e.pixel_bytes = e.packed ? 3 : p->out_channels;
  s.channels = e.pixel_bytes;
  s.components = f.count;
  s.max_h = f.max_h;
  s.max_v = f.max_v;
  for (int32_t c = 0; c < f.count; ++c) {
    s.h[c] = f.comp[c].h;
    s.v[c] = f.comp[c].v;
  }
  const int32_t in = p->out_color, out = p->jpeg_color, bytes = p->out_channels;
  const bool bgr = in == ColorBgr;
  s.order[0] = bgr ? 2 : 0;
  s.order[1] = 1;
  s.order[2] = bgr ? 0 : 2;
  const int32_t sub = p->jpeg_subsampling;
  const bool plain = sub == Sub444;
  McuInputFn fitting = nullptr;
  if (in == ColorGray && out == ColorYcbcr) {
    s.conversion = InputConversion::GrayToYcc;
  } else if ((in == ColorRgb || in == ColorBgr) && out == ColorGray) {
    s.conversion = InputConversion::RgbToGray;
    if (bytes == 3) fitting = bgr ? t->enc_input[11] : t->enc_input[10];
  } else if ((in == ColorRgb || in == ColorBgr) && out == ColorYcbcr) {
    s.conversion = InputConversion::RgbToYcc;
    // Slots 2-4 RGB, 5-7 BGR, 8-10 four bytes: 1x1, 2x1, 2x2.
    const int32_t shape = sub == Sub444 ? 0 : (sub == Sub422 ? 1 : 2);
    if (bytes == 3) fitting = t->enc_input[(bgr ? 4 : 1) + shape];
    if (bytes == 4 && !bgr) fitting = t->enc_input[7 + shape];
  } else if ((in == ColorRgb || in == ColorBgr) && out == ColorRgb) {
    s.conversion = InputConversion::RgbToRgb;
    if (!bgr && bytes == 3 && plain) fitting = t->enc_input[12];
  } else if (in == ColorFourChannel && out == ColorYcck) {
    s.conversion = InputConversion::CmykToYcck;
    if (plain) fitting = t->enc_input[13];
  } else {
    // The same components as the caller's: grey, YCbCr (packed or not),
    // four channels, other.
    s.conversion = InputConversion::Copy;
    if (f.count == 1 && bytes == 1) fitting = t->enc_input[0];
    if (f.count == 3 && (bytes == 3 || e.packed) && plain) fitting = t->enc_input[12];
  }
  e.input = fitting != nullptr ? fitting : t->enc_input[14];
  t->mcu_input = e.input;
  // The caller's first line: the last in the buffer for rows bottom-up.
  const int32_t line = p->out_line_bytes;
  const int64_t rows = p->out_height < 0 ? -int64_t{p->out_height} : p->out_height;
  e.line_bytes = line;
  e.first_line = p->out_pixels + (line < 0 ? static_cast<int64_t>(rows - 1) * -line : 0);
  return JpegSuccess;
}

void set_up_tables(Encoder& e) {
  JPEG_PROPERTIES* p = e.p;
  const bool accurate = p->dct_family == 1;
  for (int which = 0; which < 2 && e.coefficients == nullptr; ++which) {
    uint8_t table[64];
    quality_table(p->quality, which, table);
    for (int i = 0; i < 64; ++i) e.quant[which][i] = table[i];
    for (int i = 0; i < 64; ++i) {
      // 2^15 / (8 Q), with the fast family's factors s(u) s(v) as well.
      double divisor = 8.0 * e.quant[which][i];
      if (!accurate) divisor *= kFastScale[i / 8] * kFastScale[i % 8];
      const double value = std::ceil(32768.0 / divisor);
      const double most = accurate ? 65535.0 : 32767.0;
      e.reciprocal[which][i] = static_cast<uint16_t>(value > most ? most : value);
    }
  }
  e.t->fdct_current = accurate ? e.t->fdct_accurate : e.t->fdct_fast;
  e.t->quantize_current = accurate ? e.t->quantize_accurate : e.t->quantize_fast;
  e.transform_pair = nullptr;
#if KNOT_X86_SIMD
  if (e.t->fdct_current == fdct_accurate_avx2) e.transform_pair = fdct_accurate_pair_avx2;
#endif
  for (int32_t c = 0; c < e.frame.count; ++c) {
    const EncodeComponent& k = e.frame.comp[c];
    for (int32_t b = 0; b < k.h * k.v; ++b)
      e.block_quant[k.first + b] = static_cast<uint8_t>(k.quant);
  }
  for (int table_class = 0; table_class < 2; ++table_class) {
    for (int table = 0; table < 2; ++table) {
      const StandardHuffmanTable& standard = standard_huffman_table(table_class, table);
      HuffDefinition& definition = e.definition[table_class][table];
      std::memcpy(definition.counts, standard.counts, 16);
      definition.symbol_count = 0;
      for (int i = 0; i < 16; ++i) definition.symbol_count += standard.counts[i];
      std::memcpy(definition.symbols, standard.symbols,
                  static_cast<size_t>(definition.symbol_count));
    }
  }
}

void prepare_codes(Encoder& e) {
  for (int table_class = 0; table_class < 2; ++table_class) {
    for (int table = 0; table < 2; ++table) {
      const HuffDefinition& definition = e.definition[table_class][table];
      e.t->enc_prepare(definition.counts, definition.symbols, &e.codes[table_class][table]);
    }
  }
}

// ---- the MCUs -------------------------------------------------------------------------

}  // namespace

// MCU (col, row) as blocks of samples: the caller's pixels (with the last
// column and line repeated past the image's edges), converted and sampled.
void mcu_samples(Encoder& e, int32_t col, int32_t row, int16_t* blocks) {
  const EncodeFrame& f = e.frame;
  const int32_t mcu_width = 8 * f.max_h, mcu_height = 8 * f.max_v;
  const int32_t x0 = col * mcu_width, y0 = row * mcu_height;
  McuSource& s = e.source;
  alignas(32) uint8_t local[16 * 16 * 4];
  if (!e.packed && x0 + mcu_width <= f.width && y0 + mcu_height <= f.height) {
    s.pixels = e.first_line + static_cast<int64_t>(y0) * e.line_bytes +
               static_cast<int64_t>(x0) * e.pixel_bytes;
    s.stride = e.line_bytes;
    // The lines of the MCU two on are asked for now: an MCU reads a few
    // dozen bytes from each of 8 or 16 lines far apart, too short a run
    // for the processor's own prefetching to follow.
    const int64_t ahead = int64_t{2} * mcu_width * e.pixel_bytes;
    for (int32_t y = 0; y < mcu_height; ++y) {
      __builtin_prefetch(s.pixels + static_cast<int64_t>(y) * e.line_bytes + ahead);
      __builtin_prefetch(s.pixels + static_cast<int64_t>(y) * e.line_bytes + ahead + 63);
    }
  } else {
    const int32_t bytes = e.pixel_bytes;
    for (int32_t y = 0; y < mcu_height; ++y) {
      const int32_t sy = y0 + y < f.height ? y0 + y : f.height - 1;
      const uint8_t* line = e.first_line + static_cast<int64_t>(sy) * e.line_bytes;
      uint8_t* out = local + y * mcu_width * bytes;
      for (int32_t x = 0; x < mcu_width; ++x, out += bytes) {
        const int32_t sx = x0 + x < f.width ? x0 + x : f.width - 1;
        if (!e.packed) {
          std::memcpy(out, line + static_cast<int64_t>(sx) * bytes, static_cast<size_t>(bytes));
          continue;
        }
        // Y, Cb, Y, Cr: each pair's chroma; the last pixel of an odd line
        // has no Cr of its own and takes the pair before's.
        const int32_t pair = sx / 2;
        const int32_t last = 2 * e.p->out_width;  // bytes of pixel data a line
        out[0] = line[2 * sx];
        out[1] = line[4 * pair + 1];
        out[2] = 4 * pair + 3 < last ? line[4 * pair + 3] : (pair > 0 ? line[4 * pair - 1] : 128);
      }
    }
    s.pixels = local;
    s.stride = mcu_width * bytes;
  }
  e.input(&s, blocks);
}

void quantized_mcu(Encoder& e, int32_t col, int32_t row, int16_t* blocks) {
  mcu_samples(e, col, row, blocks);
  const int32_t count = e.frame.blocks_per_mcu;
  for (int32_t b = 0; b < count; b += 2) quantized_blocks(e, blocks, b, count - b < 2 ? 1 : 2);
}

namespace {

// ---- segments -------------------------------------------------------------------------

void put_app_segments(Encoder& e) {
  JPEG_PROPERTIES* p = e.p;
  OutputSink* s = e.sink;
  const int32_t color = p->jpeg_color;
  if (color == ColorGray || (color == ColorYcbcr && e.frame.count == 3)) {
    // JFIF APP0 with the record's values; no thumbnail.
    put_marker(s, 0xE0);
    put_word(s, 16);
    for (char ch : {'J', 'F', 'I', 'F', '\0'}) put_byte(s, static_cast<uint8_t>(ch));
    put_word(s, p->jfif_version);
    put_byte(s, p->density_units);
    put_word(s, p->x_density);
    put_word(s, p->y_density);
    put_byte(s, 0);
    put_byte(s, 0);
  } else if (color == ColorRgb || color == ColorFourChannel || color == ColorYcck) {
    // Adobe APP14: transform 0 (RGB, CMYK as they are) or 2 (YCCK).
    put_marker(s, 0xEE);
    put_word(s, 14);
    for (char ch : {'A', 'd', 'o', 'b', 'e'}) put_byte(s, static_cast<uint8_t>(ch));
    put_word(s, p->adobe_version);
    put_word(s, p->adobe_flags0);
    put_word(s, p->adobe_flags1);
    put_byte(s, color == ColorYcck ? 2 : 0);
  }
}

// A segment whose payload is `header` then `data`; the payload may need more
// room than the staging buffer keeps free, so it is handed on directly.
void put_segment(Encoder& e, uint32_t marker, const void* header, uint32_t header_size,
                 const uint8_t* data, uint32_t size) {
  const SinkWriteFn write = writer_of(e);
  if (e.sink->status != JpegSuccess || !sink_room(e.sink, 4 + header_size, write)) return;
  put_marker(e.sink, marker);
  put_word(e.sink, 2 + header_size + size);
  const auto* h = static_cast<const uint8_t*>(header);
  for (uint32_t i = 0; i < header_size; ++i) put_byte(e.sink, h[i]);
  if (size == 0 || sink_flush(e.sink, write) != JpegSuccess) return;
  e.sink->status = write(e.sink, data, size);
}

// The caller's EXIF block, XMP packet, ICC profile (in numbered chunks) and
// further application segments.
void put_metadata(Encoder& e) {
  const JpegWriteMetadata* m = e.options.metadata;
  if (m == nullptr) return;
  if (m->exif_size > 0) {
    const bool has_header = m->exif_size >= 6 && memcmp(m->exif, kExifHeader, 6) == 0;
    put_segment(e, 0xE1, kExifHeader, has_header ? 0 : 6, m->exif, m->exif_size);
  }
  if (m->xmp_size > 0) {
    put_segment(e, 0xE1, kXmpNamespace, sizeof kXmpNamespace, m->xmp, m->xmp_size);
  }
  constexpr int32_t kChunk = kIccChunkBytes;
  const int32_t chunks = (m->icc_size + kChunk - 1) / kChunk;
  for (int32_t n = 1; n <= chunks; ++n) {
    uint8_t header[kIccChunkHeader] = {};
    memcpy(header, kIccName, sizeof kIccName);
    header[12] = static_cast<uint8_t>(n);
    header[13] = static_cast<uint8_t>(chunks);
    const int32_t at = (n - 1) * kChunk;
    const int32_t size = n < chunks ? kChunk : m->icc_size - at;
    put_segment(e, 0xE2, header, sizeof header, m->icc + at, static_cast<uint32_t>(size));
  }
  for (int32_t i = 0; i < m->segment_count; ++i) {
    const JpegSegment& g = m->segments[i];
    put_segment(e, static_cast<uint32_t>(g.marker), nullptr, 0, g.data,
                static_cast<uint32_t>(g.size));
  }
}

// The version comment when the caller asked for it, then the caller's own
// comment (jpeg_comment, jpeg_comment_size bytes).
void put_comments(Encoder& e) {
  const JpegWriteMetadata* m = e.options.metadata;
  if (m != nullptr && m->version_comment) {
    char text[64];
    const int n = snprintf(text, sizeof text, "jpegcodec %s", jpeg_version()->version);
    put_segment(e, 0xFE, text, static_cast<uint32_t>(n), nullptr, 0);
  }
  JPEG_PROPERTIES* p = e.p;
  if (p->jpeg_comment == nullptr || p->jpeg_comment_size == 0) return;
  const uint32_t n = p->jpeg_comment_size > 65533 ? 65533 : p->jpeg_comment_size;
  put_segment(e, 0xFE, nullptr, 0, p->jpeg_comment, n);
}

void put_dqt(Encoder& e) {
  OutputSink* s = e.sink;
  // The quality tables: the first, and the second for chroma.
  const uint32_t written = e.coefficients != nullptr ? e.quant_written : (e.chroma ? 3u : 1u);
  const uint32_t bytes = e.wide_quant ? 2 : 1;
  put_marker(s, 0xDB);
  put_word(s, static_cast<uint32_t>(2 + (1 + 64 * bytes) * std::popcount(written)));
  for (uint32_t which = 0; which < 4; ++which) {
    if (!(written >> which & 1)) continue;
    put_byte(s, (bytes - 1) << 4 | which);  // precision, table `which`
    for (int k = 0; k < 64; ++k) {
      const uint32_t value = e.quant[which][natural_order[k]];
      if (bytes == 2) put_byte(s, value >> 8);
      put_byte(s, value & 0xFF);
    }
  }
}

void put_sof(Encoder& e) {
  OutputSink* s = e.sink;
  const EncodeFrame& f = e.frame;
  // Baseline, or extended sequential when a table needs 16-bit values.
  put_marker(s, e.options.progressive ? 0xC2 : (e.wide_quant ? 0xC1 : 0xC0));
  put_word(s, static_cast<uint32_t>(8 + 3 * f.count));
  put_byte(s, 8);
  put_word(s, static_cast<uint32_t>(f.height));
  put_word(s, static_cast<uint32_t>(f.width));
  put_byte(s, static_cast<uint32_t>(f.count));
  for (int32_t c = 0; c < f.count; ++c) {
    put_byte(s, static_cast<uint32_t>(f.comp[c].id));
    put_byte(s, static_cast<uint32_t>(f.comp[c].h << 4 | f.comp[c].v));
    put_byte(s, static_cast<uint32_t>(f.comp[c].quant));
  }
}

void put_sequential_dht(Encoder& e) {
  const HuffDefinition* definitions[4] = {&e.definition[0][0], &e.definition[1][0],
                                          &e.definition[0][1], &e.definition[1][1]};
  const int32_t slots[4] = {0x00, 0x10, 0x01, 0x11};
  put_dht(e.sink, definitions, slots, e.chroma ? 4 : 2);
}

void put_dri(Encoder& e) {
  if (e.frame.restart_interval == 0) return;
  put_marker(e.sink, 0xDD);
  put_word(e.sink, 4);
  put_word(e.sink, static_cast<uint32_t>(e.frame.restart_interval));
}

ScanPlan sequential_scan(const EncodeFrame& f) {
  ScanPlan scan{};
  scan.count = f.count;
  for (int32_t c = 0; c < f.count; ++c) scan.comp[c] = c;
  scan.se = 63;
  return scan;
}

// ---- sequential data ------------------------------------------------------------------

// Every MCU's quantized blocks, kept for a second pass (optimised tables)
// or for the scans of a progressive frame. The store's size is held to the
// same limit as the decoder's (max_coef_megabytes).
JpegStatus fill_store(Encoder& e, CoefficientStore* store) {
  const EncodeFrame& f = e.frame;
  const uint64_t bytes = uint64_t{static_cast<uint32_t>(f.blocks_per_mcu)} * 128 *
                         static_cast<uint64_t>(f.mcus_per_row) * static_cast<uint64_t>(f.mcu_rows);
  const int32_t megabytes = e.p->max_coef_megabytes > 0 ? e.p->max_coef_megabytes : 1024;
  if (bytes > (uint64_t{static_cast<uint32_t>(megabytes)} << 20)) return JpegMemoryError;
  store->frame = &e.frame;
  store->values = static_cast<int16_t*>(codec_malloc(bytes > 0 ? bytes : 1));
  if (store->values == nullptr) return JpegMemoryError;
  const JpegStatus status = quantize_into_store(e, *store);
  if (status != JpegSuccess) {
    free(store->values);
    store->values = nullptr;
  }
  return status;
}

// The caller's coefficients into the store, MCU by MCU. -8 for a value no
// 8-bit frame holds (a category the standard Huffman tables have no code
// for): a DC outside -1024..1023 (the difference of two such is at most
// 11 bits' category), an AC outside -1023..1023.
JpegStatus fill_store_from_planes(Encoder& e, CoefficientStore* store) {
  const EncodeFrame& f = e.frame;
  const JpegCoefImage& image = *e.coefficients;
  const uint64_t bytes = uint64_t{static_cast<uint32_t>(f.blocks_per_mcu)} * 128 *
                         static_cast<uint64_t>(f.mcus_per_row) * static_cast<uint64_t>(f.mcu_rows);
  store->frame = &e.frame;
  store->values = static_cast<int16_t*>(codec_malloc(bytes > 0 ? bytes : 1));
  if (store->values == nullptr) return JpegMemoryError;
  int32_t lowest_dc = 0, highest_dc = 0, widest_ac = 0;
  int16_t* out = store->values;
  for (int32_t row = 0; row < f.mcu_rows; ++row) {
    for (int32_t col = 0; col < f.mcus_per_row; ++col) {
      for (int32_t c = 0; c < f.count; ++c) {
        const EncodeComponent& k = f.comp[c];
        const int64_t line = int64_t{f.mcus_per_row} * k.h * 8;
        for (int32_t r = 0; r < k.v; ++r) {
          for (int32_t b = 0; b < k.h; ++b, out += 64) {
            const int16_t* from = image.components[c].plane + (int64_t{row} * k.v + r) * 8 * line +
                                  (int64_t{col} * k.h + b) * 8;
            for (int32_t y = 0; y < 8; ++y) memcpy(out + 8 * y, from + y * line, 16);
            lowest_dc = out[0] < lowest_dc ? out[0] : lowest_dc;
            highest_dc = out[0] > highest_dc ? out[0] : highest_dc;
            for (int32_t i = 1; i < 64; ++i) {
              const int32_t ac = out[i] < 0 ? -out[i] : out[i];
              widest_ac = ac > widest_ac ? ac : widest_ac;
            }
          }
        }
      }
    }
  }
  if (lowest_dc < -1024 || highest_dc > 1023 || widest_ac > 1023) {
    free(store->values);
    store->values = nullptr;
    return JpegInvalidProperties;
  }
  return JpegSuccess;
}

// Tables made for the sequential scan from the symbols it will write.
void optimise_sequential_tables(Encoder& e, const CoefficientStore& store) {
  SymbolCounts counts[2][2] = {};
  count_store_symbols(e, store, counts);
  for (int table_class = 0; table_class < 2; ++table_class) {
    for (int table = 0; table < (e.chroma ? 2 : 1); ++table) {
      optimal_table(counts[table_class][table], &e.definition[table_class][table]);
    }
  }
}

}  // namespace

void put_dht(OutputSink* sink, const HuffDefinition* const* definitions, const int32_t* slots,
             int32_t count) {
  int32_t length = 2;
  for (int32_t i = 0; i < count; ++i) length += 17 + definitions[i]->symbol_count;
  put_marker(sink, 0xC4);
  put_word(sink, static_cast<uint32_t>(length));
  for (int32_t i = 0; i < count; ++i) {
    put_byte(sink, static_cast<uint32_t>(slots[i]));
    for (int k = 0; k < 16; ++k) put_byte(sink, definitions[i]->counts[k]);
    for (int32_t k = 0; k < definitions[i]->symbol_count; ++k)
      put_byte(sink, definitions[i]->symbols[k]);
  }
}

void put_sos(OutputSink* sink, const EncodeFrame& frame, const ScanPlan& scan) {
  put_marker(sink, 0xDA);
  put_word(sink, static_cast<uint32_t>(6 + 2 * scan.count));
  put_byte(sink, static_cast<uint32_t>(scan.count));
  for (int32_t i = 0; i < scan.count; ++i) {
    const EncodeComponent& k = frame.comp[scan.comp[i]];
    put_byte(sink, static_cast<uint32_t>(k.id));
    put_byte(sink, static_cast<uint32_t>(k.table << 4 | k.table));
  }
  put_byte(sink, static_cast<uint32_t>(scan.ss));
  put_byte(sink, static_cast<uint32_t>(scan.se));
  put_byte(sink, static_cast<uint32_t>(scan.ah << 4 | scan.al));
}

JpegStatus check_encode_request(const JPEG_PROPERTIES* p) {
  if (p->quality < 1 || p->quality > 100) return JpegInvalidProperties;
  // The decoders this codec is read by take up to four components.
  if (p->jpeg_channels < 1 || p->jpeg_channels > 4) return JpegNotSupported;
  return JpegSuccess;
}

JpegStatus encode_jpeg(JPEG_PROPERTIES* p, int32_t type, const WriteOptions& options,
                       OutputSink* sink, const JpegCoefImage* coefficients, int16_t* prepared) {
  Encoder e{};
  e.p = p;
  e.t = p->routines;
  e.options = options;
  e.sink = sink;
  e.coefficients = coefficients;
  JpegStatus status = JpegSuccess;
  if (coefficients != nullptr) {
    set_up_coefficient_frame(e);
  } else {
    status = check_encode_request(p);
    if (status != JpegSuccess) return status;
    status = set_up_frame(e);
    if (status != JpegSuccess) return status;
  }
  set_up_tables(e);
  const bool tables_only = type == IoWriteTablesFile || type == IoWriteTablesBuffer;
  const bool abbreviated = type == IoWriteDataFile || type == IoWriteDataBuffer;
  const SinkWriteFn write = writer_of(e);
  // Room for every fixed segment at once: SOI, APP, COM, DQT, SOF, DHT, DRI.
  if (!sink_room(sink, 4096, write)) return sink->status;
  put_marker(sink, 0xD8);
  if (tables_only) {
    // Tables for abbreviated images: the standard Huffman tables, since
    // tables made for one image would not serve the next.
    e.chroma = e.chroma || p->jpeg_color == ColorYcbcr || p->jpeg_color == ColorYcck;
    put_dqt(e);
    put_sequential_dht(e);
    put_marker(sink, 0xD9);
    return sink_flush(sink, write);
  }
  if (coefficients == nullptr) {
    status = set_up_input(e);
    if (status != JpegSuccess) return status;
  }
  put_app_segments(e);
  put_metadata(e);
  put_comments(e);
  if (sink->status != JpegSuccess) return sink->status;
  if (!sink_room(sink, 4096, write)) return sink->status;
  if (!abbreviated) put_dqt(e);
  put_sof(e);

  // An abbreviated image keeps the standard tables its tables file has;
  // a progressive frame makes its own for each scan.
  const bool optimise = e.options.optimize && !abbreviated;
  CoefficientStore store{};
  if (prepared != nullptr) {
    store.frame = &e.frame;
    store.values = prepared;
  } else if (coefficients != nullptr) {
    status = fill_store_from_planes(e, &store);
    if (status != JpegSuccess) return status;
  } else if (optimise || e.options.progressive) {
    status = fill_store(e, &store);
    if (status != JpegSuccess) return status;
  }
  if (e.options.progressive) {
    const int64_t blocks =
        int64_t{e.frame.mcus_per_row} * e.frame.mcu_rows * e.frame.blocks_per_mcu;
    store.magnitudes = static_cast<uint64_t*>(
        codec_malloc(static_cast<size_t>(blocks) * CoefficientStore::kMagnitudeMasks * 8 + 8));
    if (store.magnitudes == nullptr) {
      if (prepared == nullptr) free(store.values);
      return JpegMemoryError;
    }
    fill_magnitude_masks(store);
    put_dri(e);
    ScanPlan scans[kMostScans];
    const int32_t count = progressive_script(e.frame, p->jpeg_color == ColorYcbcr, scans);
    status = write_progressive_scans(e, store, scans, count);
  } else {
    if (optimise) optimise_sequential_tables(e, store);
    prepare_codes(e);
    if (!abbreviated) put_sequential_dht(e);
    put_dri(e);
    put_sos(sink, e.frame, sequential_scan(e.frame));
    status = write_sequential_data(e, store.values != nullptr ? &store : nullptr);
  }
  if (prepared == nullptr) free(store.values);
  free(store.magnitudes);
  if (status != JpegSuccess) return status;
  if (!sink_room(sink, 2, write)) return sink->status;
  put_marker(sink, 0xD9);
  return sink_flush(sink, write);
}

void check_coefficient_image(const JpegCoefImage& image, char* why, size_t room) {
  why[0] = '\0';
  auto say = [&](const char* format, auto... values) { snprintf(why, room, format, values...); };
  if (image.width < 1 || image.width > 65535 || image.height < 1 || image.height > 65535) {
    return say("the image must be 1 to 65535 pixels each way, is %dx%d", image.width, image.height);
  }
  if (image.component_count < 1 || image.component_count > 4) {
    return say("component_count must be 1 to 4, is %d", image.component_count);
  }
  const int32_t color = image.color;
  const bool known = color == ColorGray || color == ColorYcbcr || color == ColorRgb ||
                     color == ColorFourChannel || color == ColorYcck || color == ColorOther;
  if (!known) return say("color must be a ColorCode of JPEG data, is %d", color);
  int32_t blocks = 0;
  for (int32_t c = 0; c < image.component_count; ++c) {
    const JpegCoefComponent& k = image.components[c];
    if (k.id < 0 || k.id > 255) return say("components[%d].id must be 0 to 255, is %d", c, k.id);
    for (int32_t d = 0; d < c; ++d) {
      if (image.components[d].id == k.id) {
        return say("components[%d] and [%d] have the same id %d", d, c, k.id);
      }
    }
    if (k.h < 1 || k.h > 4 || k.v < 1 || k.v > 4) {
      return say("components[%d] sampling must be 1 to 4 each way, is %dx%d", c, k.h, k.v);
    }
    if (k.quant_table < 0 || k.quant_table > 3 || image.quant_tables[k.quant_table] == nullptr) {
      return say("components[%d].quant_table must name one of quant_tables, is %d", c,
                 k.quant_table);
    }
    for (int32_t i = 0; i < 64; ++i) {
      if (image.quant_tables[k.quant_table][i] == 0) {
        return say("quant_tables[%d] holds 0 at %d", k.quant_table, i);
      }
    }
    if (k.plane == nullptr) return say("components[%d].plane is null", c);
    blocks += k.h * k.v;
  }
  // T.81 B.2.3: an interleaved scan's MCU holds at most ten blocks.
  if (image.component_count > 1 && blocks > 10) {
    return say("an MCU of these components would hold %d blocks, more than 10", blocks);
  }
}

}  // namespace jpegcodec
