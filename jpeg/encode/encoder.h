// The encoder behind jpeg_write: a caller's image to a baseline (SOF0) or
// progressive (SOF2) JPEG, or its tables alone, or its image data alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/encode/huffman_encode.h"
#include "jpeg/encode/output_sink.h"

namespace jpegcodec {

struct WriteOptions {
  bool optimize;             // Huffman tables made for the image (a first pass counts symbols)
  bool progressive;          // SOF2 with a scan script of spectral bands and refinements
  int32_t restart_interval;  // MCUs between restart markers, 0 for none
  // What an image carries beside its data (checked), or null for nothing.
  const JpegWriteMetadata* metadata;
};

// What the encoder refuses beyond the request's validation, checked before
// anything is opened: a quality outside 1..100 (-8), more than four
// components (-12).
JpegStatus check_encode_request(const JPEG_PROPERTIES* properties);

// Runs a write of type 8 to 13 whose request has been validated and whose
// public fields are in `properties`, into `sink` (opened by the caller);
// with `coefficients`, a whole image (type 8 or 9) of those instead of the
// caller's pixels (checked by check_coefficient_image first).
// `prepared`, when given with them, holds the coefficients already in the
// order of the encoder's store (every MCU's blocks in frame order, values
// in range), and the planes are not read: a lossless transform makes them
// so, and the image's blocks are not copied once more.
JpegStatus encode_jpeg(JPEG_PROPERTIES* properties, int32_t type, const WriteOptions& options,
                       OutputSink* sink, const JpegCoefImage* coefficients = nullptr,
                       int16_t* prepared = nullptr);

// What a coefficient image's description gets wrong, in words (written to
// `why`, `room` bytes), or an empty text: the sizes, factors, tables and
// planes. The coefficients' own range is checked as they are read.
void check_coefficient_image(const JpegCoefImage& image, char* why, size_t room);

// The quantization table `which` (0 luminance, 1 chrominance) of T.81
// Annex K at a quality of 1 to 100, natural order: 50 is the table as
// printed, below that 5000 / q percent of it, above 200 - 2q percent,
// each entry rounded and held to 1..255.
void quality_table(int32_t quality, int32_t which, uint8_t* table);

// ---- shared by the encoder's files ----------------------------------------------

struct EncodeComponent {
  int32_t id;
  int32_t h, v;    // sampling factors
  int32_t quant;   // quantization table 0 or 1
  int32_t table;   // Huffman tables 0 (luminance) or 1 (chrominance)
  int32_t across;  // the component's own blocks across and down (T.81 A.2.2)
  int32_t down;
  int32_t first;  // its first block within an MCU
};

struct EncodeFrame {
  int32_t width, height;
  int32_t count;  // components, 1 to 4
  EncodeComponent comp[4];
  int32_t max_h, max_v;
  int32_t mcus_per_row, mcu_rows;
  int32_t blocks_per_mcu;
  int32_t restart_interval;
};

// One scan of a progressive frame (T.81 G.1.1.1.1).
struct ScanPlan {
  int32_t count;  // components
  int32_t comp[4];
  int32_t ss, se, ah, al;
};

// The image's quantized coefficients, MCU after MCU, each MCU's blocks in
// frame order (blocks_per_mcu × 64 values).
struct CoefficientStore {
  int16_t* values;
  const EncodeFrame* frame;
  // For a progressive frame, each block's coefficients of magnitude at
  // least 1, 2, 4 and 8 as mask bits in zig-zag order (kMagnitudeMasks a
  // block): what a scan with a point transform of Al = 0 to 2 codes.
  uint64_t* magnitudes;
  const int16_t* block(int64_t mcu, int32_t index) const {
    return values + (mcu * frame->blocks_per_mcu + index) * 64;
  }
  const uint64_t* magnitude_masks(int64_t mcu, int32_t index) const {
    return magnitudes + (mcu * frame->blocks_per_mcu + index) * kMagnitudeMasks;
  }
  static constexpr int32_t kMagnitudeMasks = 4;
};
// Fills the store's magnitude masks (allocated by the caller).
void fill_magnitude_masks(const CoefficientStore& store);

// Writes one scan of a progressive frame from the store: its Huffman tables
// (made for it, in a DHT segment), its header and its data. 0, or the
// sink's failure.
JpegStatus write_progressive_scan(const EncodeFrame& frame, const CoefficientStore& store,
                                  const ScanPlan& scan, OutputSink* sink, SinkWriteFn write);

// The scan script of a progressive frame: its scans in order.
int32_t progressive_script(const EncodeFrame& frame, bool ycc, ScanPlan* scans);
inline constexpr int32_t kMostScans = 24;

// Segment writing into the sink's staging buffer (room checked by the
// caller): a marker, a 16-bit value, a byte.
inline void put_byte(OutputSink* sink, uint32_t value) {
  *sink->next++ = static_cast<uint8_t>(value);
}
inline void put_word(OutputSink* sink, uint32_t value) {
  put_byte(sink, value >> 8);
  put_byte(sink, value & 0xFF);
}
inline void put_marker(OutputSink* sink, uint32_t code) {
  put_byte(sink, 0xFF);
  put_byte(sink, code);
}
// A DHT segment of the given tables: (class << 4 | id, definition) each.
void put_dht(OutputSink* sink, const HuffDefinition* const* definitions, const int32_t* slots,
             int32_t count);
// An SOS header.
void put_sos(OutputSink* sink, const EncodeFrame& frame, const ScanPlan& scan);

}  // namespace jpegcodec
