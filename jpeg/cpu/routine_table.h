// The routine table: 69 words through which the decoding pipeline reaches
// its inner loops. Word 0 is an integer; every other word is pointer-sized.
// The table is filled in one place (api/routines.h, fill_routine_table)
// for a processor kind: the portable routine in every slot first, then the
// variants the kind allows. Slots a later stage sets (the current
// transforms, the current dequantizer, the MCU input and output routines)
// start null.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/cpu/cpu.h"

namespace jpegcodec {

// Block routines work on 64 signed 16-bit values in natural (row-major) order.
using EndOfScanFn = void (*)();
using IdctFn = void (*)(int16_t* block);
using DequantizeFn = void (*)(int16_t* block, const int16_t* table);
using QuantizeFn = void (*)(int16_t* block, const uint16_t* table);
using DecodeBlockFn = JpegStatus (*)(InputStream* stream, const HuffDecodeTable* dc_table,
                                     const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                     int16_t* block);
using McuOutputFn = JpegStatus (*)(JPEG_PROPERTIES* properties, int32_t mcu_col, int32_t mcu_row);
// Whole-MCU output kernels: component sample blocks, the MCU's first output
// pixel and the line stride in bytes.
using OutKernel1Fn = void (*)(const int16_t* c0, uint8_t* out, int32_t stride);
using OutKernel3Fn = void (*)(const int16_t* c0, const int16_t* c1, const int16_t* c2, uint8_t* out,
                              int32_t stride);
using OutKernel4Fn = void (*)(const int16_t* c0, const int16_t* c1, const int16_t* c2,
                              const int16_t* c3, uint8_t* out, int32_t stride);
// The encoder's routines (jpeg/encode): a forward transform in place
// (samples in, coefficients out), the codes of a Huffman table definition,
// bytes handed to the output, one MCU of the caller's pixels to sample
// blocks, one quantized block Huffman-encoded.
struct HuffEncodeTable;
struct EntropyWriter;
struct OutputSink;
struct McuSource;
using FdctFn = void (*)(int16_t* block);
using EncPrepareFn = void (*)(const uint8_t* counts, const uint8_t* symbols,
                              HuffEncodeTable* table);
using EncWriteBytesFn = JpegStatus (*)(OutputSink* sink, const uint8_t* bytes, size_t count);
using McuInputFn = void (*)(const McuSource* source, int16_t* blocks);
using EncBlockFn = void (*)(EntropyWriter* writer, const int16_t* block, int16_t* dc_pred,
                            const HuffEncodeTable* dc, const HuffEncodeTable* ac);

}  // namespace jpegcodec

// The table itself is a global type: the public record points at it.
struct RoutineTable {
  int32_t scan_header_bytes;            // 0: size of the last scan header read, marker included
  void* user_module;                    // 1
  void* registry_module;                // 2
  void* open_key;                       // 3
  void* query_value;                    // 4
  void* close_key;                      // 5
  jpegcodec::EndOfScanFn end_of_scan;   // 6
  jpegcodec::FdctFn fdct_fast;          // 7
  jpegcodec::FdctFn fdct_accurate;      // 8
  jpegcodec::IdctFn idct_fast_8x8;      // 9
  jpegcodec::IdctFn idct_fast_4x4;      // 10
  jpegcodec::IdctFn idct_fast_2x2;      // 11
  jpegcodec::IdctFn idct_fast_1x1;      // 12
  jpegcodec::IdctFn idct_accurate_8x8;  // 13
  jpegcodec::IdctFn idct_accurate_4x4;  // 14
  jpegcodec::IdctFn idct_accurate_2x2;  // 15
  jpegcodec::IdctFn idct_accurate_1x1;  // 16
  jpegcodec::FdctFn fdct_current;       // 17: set by the encoder's set-up
  jpegcodec::IdctFn idct_8x8;           // 18: current, set before each scan
  jpegcodec::IdctFn idct_4x4;           // 19
  jpegcodec::IdctFn idct_2x2;           // 20
  jpegcodec::IdctFn idct_1x1;           // 21
  jpegcodec::EncPrepareFn enc_prepare;  // 22
  jpegcodec::EncWriteBytesFn enc_write_bytes;     // 23
  jpegcodec::McuInputFn mcu_input;                // 24: set by the encoder's set-up
  jpegcodec::McuInputFn enc_input[15];            // 25-39
  jpegcodec::McuOutputFn mcu_output;              // 40: set by the output set-up
  jpegcodec::OutKernel1Fn out_gray;               // 41
  jpegcodec::OutKernel3Fn out_ycc_rgb;            // 42
  jpegcodec::OutKernel3Fn out_ycc422_rgb;         // 43
  jpegcodec::OutKernel3Fn out_ycc420_rgb;         // 44
  jpegcodec::OutKernel3Fn out_ycc_bgr;            // 45
  jpegcodec::OutKernel3Fn out_ycc422_bgr;         // 46
  jpegcodec::OutKernel3Fn out_ycc420_bgr;         // 47
  jpegcodec::OutKernel3Fn out_ycc_rgba;           // 48
  jpegcodec::OutKernel3Fn out_ycc422_rgba;        // 49
  jpegcodec::OutKernel3Fn out_ycc420_rgba;        // 50
  jpegcodec::OutKernel3Fn out_copy3;              // 51
  jpegcodec::OutKernel3Fn up422_copy;             // 52
  jpegcodec::OutKernel3Fn up420_copy;             // 53
  jpegcodec::OutKernel3Fn out_copy3to4;           // 54
  jpegcodec::OutKernel3Fn out_ycc422_packed;      // 55
  jpegcodec::OutKernel4Fn out_ycck;               // 56
  jpegcodec::OutKernel4Fn out_ycck422;            // 57
  jpegcodec::OutKernel4Fn out_ycck420;            // 58
  jpegcodec::OutKernel4Fn out_copy4;              // 59
  jpegcodec::EncBlockFn enc_block;                // 60
  jpegcodec::DecodeBlockFn decode_block;          // 61
  jpegcodec::DecodeBlockFn decode_block_dc_only;  // 62
  jpegcodec::QuantizeFn quantize_fast;            // 63
  jpegcodec::QuantizeFn quantize_accurate;        // 64
  jpegcodec::QuantizeFn quantize_current;         // 65
  jpegcodec::DequantizeFn dequantize_fast;        // 66
  jpegcodec::DequantizeFn dequantize_accurate;    // 67
  jpegcodec::DequantizeFn dequantize_block;       // 68: current, set before each scan
};

namespace jpegcodec {

inline constexpr size_t kRoutineTableWords = 69;
inline constexpr size_t kWordSize = sizeof(void*);
static_assert(sizeof(RoutineTable) == kRoutineTableWords * kWordSize);
static_assert(offsetof(RoutineTable, end_of_scan) == 6 * kWordSize);
static_assert(offsetof(RoutineTable, idct_8x8) == 18 * kWordSize);
static_assert(offsetof(RoutineTable, mcu_input) == 24 * kWordSize);
static_assert(offsetof(RoutineTable, mcu_output) == 40 * kWordSize);
static_assert(offsetof(RoutineTable, out_copy4) == 59 * kWordSize);
static_assert(offsetof(RoutineTable, decode_block) == 61 * kWordSize);
static_assert(offsetof(RoutineTable, dequantize_block) == 68 * kWordSize);

// Word `index` of the table, as the number it holds (for tests and dumps).
uintptr_t routine_table_word(const RoutineTable* table, size_t index);

}  // namespace jpegcodec
