// The encoder's processor-specific routines, each beside its portable twin
// and giving exactly its values; the routine table's fill installs them
// where the processor supports them.
#pragma once

#include <cstdint>

struct RoutineTable;

namespace jpegcodec {

struct EntropyWriter;
struct HuffEncodeTable;

void fdct_accurate_avx2(int16_t* block);
// Two blocks at once, each given what fdct_accurate_avx2 gives it: no slot
// of the routine table; the encoder takes it where the table's accurate
// transform is fdct_accurate_avx2.
void fdct_accurate_pair_avx2(int16_t* first, int16_t* second);
void fdct_fast_avx2(int16_t* block);
void quantize_fast_avx2(int16_t* block, const uint16_t* table);
void quantize_accurate_avx2(int16_t* block, const uint16_t* table);
// Also needs BMI1 and BMI2 (every processor with BMI2 has BMI1).
void encode_block_avx2(EntropyWriter* writer, const int16_t* block, int16_t* dc_pred,
                       const HuffEncodeTable* dc, const HuffEncodeTable* ac);

void install_encoding_avx2(RoutineTable* table);
// The RGB, BGR and four-byte RGB to YCbCr kernels (enc_input slots 2-10).
void install_mcu_input_avx2(RoutineTable* table);

}  // namespace jpegcodec
