// What one write works with, shared by the write's driver (encoder.cpp)
// and the sequential scan's data (sequential_data.cpp). Internal to encode/.
#pragma once

#include <cstdint>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/encode/encoder.h"
#include "jpeg/encode/mcu_input.h"

namespace jpegcodec {

// Everything one write works with.
struct Encoder {
  JPEG_PROPERTIES* p;
  RoutineTable* t;
  WriteOptions options;
  OutputSink* sink;
  EncodeFrame frame;
  uint16_t quant[4][64];              // natural order, for DQT and the quantizers
  uint32_t quant_written;             // bit n: table n goes into the DQT segment
  bool wide_quant;                    // some table's value is above 255: 16-bit DQT, SOF1
  const JpegCoefImage* coefficients;  // the caller's coefficients, or null: its image
  uint16_t reciprocal[2][64];         // the current quantizer's tables
  HuffDefinition definition[2][2];    // [class][table]: the standard tables, or made for the image
  HuffEncodeTable codes[2][2];
  bool chroma;  // some component uses the second tables
  // The caller's image.
  const uint8_t* first_line;
  int32_t line_bytes;
  int32_t pixel_bytes;
  bool packed;  // Y, Cb, Y, Cr for two pixels
  McuSource source;
  McuInputFn input;
  // Two blocks transformed at once, where the processor has a way (else
  // null), and the quantizer table of each block of an MCU.
  void (*transform_pair)(int16_t* first, int16_t* second);
  uint8_t block_quant[10];
};

inline SinkWriteFn writer_of(const Encoder& e) {
  return e.t->enc_write_bytes;
}

// MCU (col, row) as quantized blocks (encoder.cpp). It uses e.source: a
// thread of its own needs an Encoder of its own.
void quantized_mcu(Encoder& e, int32_t col, int32_t row, int16_t* blocks);
// Its two stages: the MCU's samples, then its blocks transformed and
// quantized in place, one or two at a time (blocks [first, first + count)
// of the MCU, count 1 or 2).
void mcu_samples(Encoder& e, int32_t col, int32_t row, int16_t* blocks);
inline void quantized_blocks(Encoder& e, int16_t* blocks, int32_t first, int32_t count) {
  int16_t* block = blocks + 64 * first;
  if (count == 2 && e.transform_pair != nullptr) {
    e.transform_pair(block, block + 64);
  } else {
    for (int32_t b = 0; b < count; ++b) e.t->fdct_current(block + 64 * b);
  }
  for (int32_t b = 0; b < count; ++b)
    e.t->quantize_current(block + 64 * b, e.reciprocal[e.block_quant[first + b]]);
}

// The sequential scan's entropy-coded data (sequential_data.cpp), from the
// store when there is one, else from the caller's image.
JpegStatus write_sequential_data(Encoder& e, const CoefficientStore* store);

// Every MCU quantized into the store (its values allocated), and the
// symbols the sequential scan will code from it counted, by [class][table]
// (sequential_data.cpp): both by the job's threads, in bands. -1 when a
// fault met reading the caller's image.
JpegStatus quantize_into_store(Encoder& e, const CoefficientStore& store);
// A progressive frame's scans (sequential_data.cpp): made by the job's
// threads, each into memory, and handed on in order; one thread for a small
// image.
JpegStatus write_progressive_scans(Encoder& e, const CoefficientStore& store, const ScanPlan* scans,
                                   int32_t count);
void count_store_symbols(const Encoder& e, const CoefficientStore& store,
                         SymbolCounts (*counts)[2]);

}  // namespace jpegcodec
