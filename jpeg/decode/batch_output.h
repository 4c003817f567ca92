// Writing a batch of decoded MCUs at once (see batch_output.cpp).
#pragma once

#include <cstdint>

namespace jpegcodec {

struct ScanContext;

// Whether the scan's MCUs are grey blocks that write_grey_batch can write:
// one component, no conversion, one channel or three equal ones (and 255
// as a fourth), no region.
bool grey_batches_apply(const ScanContext& ctx);
// Writes `count` transformed MCUs of one block from (col, row) on, `room`
// values apart from `mcus`, row by row across the batch; false (nothing
// written) when part of the batch lies outside the image: the caller then
// writes it MCU by MCU.
bool write_grey_batch(const ScanContext& ctx, int32_t col, int32_t row, int32_t count,
                      const int16_t* mcus, int32_t room);

// Whether the scan's MCUs are YCbCr at 1/2 or 1/4 to three-channel RGB or
// BGR (luma of one or two blocks across and down, chroma of one) that
// write_reduced_ycc_batch can write (no region).
bool reduced_ycc_batches_apply(const ScanContext& ctx);
// The same as write_grey_batch for those MCUs: each row of the batch
// gathered across its MCUs and converted at once.
bool write_reduced_ycc_batch(const ScanContext& ctx, int32_t col, int32_t row, int32_t count,
                             const int16_t* mcus, int32_t room);

// Whether the scan's MCUs are YCbCr at 1/8 to three-channel RGB or BGR,
// chroma of one block an MCU (any luma sampling), that
// write_eighth_ycc_batch can write (no region).
bool eighth_ycc_batches_apply(const ScanContext& ctx);
// The same as write_grey_batch for those MCUs.
bool write_eighth_ycc_batch(const ScanContext& ctx, int32_t col, int32_t row, int32_t count,
                            const int16_t* mcus, int32_t room);

}  // namespace jpegcodec
