// Scan decoding (T.81 Annex E, F.2 and G.2): takes a scan header and the
// job's tables and gives the scan's pixels (or coefficients) to the output;
// the sequential whole-image decoder lives here, the others beside it.
// Called by the read driver (drive/read.cpp).
//
// Four decoders: sequential and progressive, each for the whole image or a
// region of interest. The region decoders of sequential scans keep a
// restart index (one entry per MCU row: byte position and bit state) so
// that a later region further down the same image is reached by a seek.

#include "jpeg/decode/scan_context.h"

#include <stdlib.h>
#include <string.h>

namespace jpegcodec {

// The sequential decoder of a whole image, MCU after MCU. With `indexing`,
// the start of each row and its checkpoints are recorded
// on the way.
JpegStatus decode_scan_sequential(ScanContext& ctx, bool indexing) {
  ScanHeader* scan = ctx.header;
  const bool coefficients = ctx.coef != nullptr && ctx.coef->mode == 0;
  // Where a read whose grey background waits stops writing.
  auto written = [&ctx](int32_t col, int32_t row, JpegStatus status) {
    ctx.props->written_until[0] = col;
    ctx.props->written_until[1] = row;
    return status;
  };
  const int32_t spacing = ctx.checkpoint_spacing;
  // MCUs of one block are decoded into the buffer's first two blocks in
  // turn, and each is transformed and written only once the next has been
  // decoded: the transform then reads coefficients stored a block's
  // decoding before, not ones the decoder has just scattered (which the
  // processor cannot hand on to a wide load until they reach the cache).
  const bool staggered = ctx.plan_blocks == 1 && ctx.coef == nullptr &&
                         ctx.props->interrupt_mode == 0 && !ctx.column_delay && !ctx.row_delay;
  for (int32_t row = scan->resume_row; row < ctx.rows; ++row) {
    const int32_t first_col = row == scan->resume_row ? scan->resume_col : 0;
    // The next column whose start the index records.
    int32_t checkpoint = indexing ? (first_col + spacing - 1) / spacing * spacing : ctx.per_row;
    auto index_here = [&](int32_t col) {
      if (col != checkpoint) return;
      checkpoint += spacing;
      // Out of memory for it, the read goes on without the index.
      if (index_save(ctx, row, col / spacing) != JpegSuccess) {
        indexing = false;
        checkpoint = ctx.per_row;
      }
    };
    if (staggered) {
      int32_t held = -1;  // the column decoded but not yet written
      auto write_held = [&]() {
        if (held < 0) return;
        int16_t* block = ctx.props->mcu_buffer + 64 * (held & 1);
        transform_mcu(ctx, block, false);
        ctx.props->mcu_samples = block;
        output_mcu(ctx, held, row);
        ctx.props->mcu_samples = ctx.props->mcu_buffer;
        held = -1;
      };
      for (int32_t col = first_col; col < ctx.per_row; ++col) {
        index_here(col);
        JpegStatus status = decode_mcu(ctx, false, ctx.props->mcu_buffer + 64 * (col & 1));
        if (status == JpegSuccess) status = restart_check(ctx, ctx.per_row, ctx.rows, col, row);
        write_held();
        if (status != JpegSuccess) return written(col, row, status);
        held = col;
        // The data ended in this MCU: what follows stays grey.
        if (scan_data_ended(ctx)) {
          write_held();
          return written(col + 1, row, JpegEofError);
        }
      }
      write_held();
      continue;
    }
    for (int32_t col = first_col; col < ctx.per_row; ++col) {
      index_here(col);
      JpegStatus status = decode_mcu(ctx, false);
      if (status < 0) return written(col, row, status);
      status = restart_check(ctx, ctx.per_row, ctx.rows, col, row);
      if (status != JpegSuccess) return written(col, row, status);
      if (coefficients) {
        copy_to_planes(ctx, ctx.props->mcu_buffer, col, row, false);
      } else {
        reconstruct_mcu(ctx, col, row, ctx.props->mcu_buffer, false);
      }
      // The data ended in this MCU: what follows stays grey.
      if (scan_data_ended(ctx)) return written(col + 1, row, JpegEofError);
      status = interrupt_step(ctx, col, row, true);
      if (status != kGoOn) return status;
    }
    if (ctx.column_delay && !coefficients) {
      reconstruct_mcu(ctx, ctx.per_row, row, ctx.props->mcu_buffer, false);
      // With a row of delay, nothing of the first row is written yet: no
      // report (it would name row -1).
      if (!(ctx.row_delay && row == 0)) {
        const JpegStatus status = interrupt_step(ctx, ctx.per_row, row, false);
        if (status != kGoOn) return status;
      }
    }
  }
  if (indexing && ctx.rows <= kIndexRows) ctx.props->restart_index->whole_scan = true;
  if (ctx.row_delay) {
    const int32_t start = scan->resume_row == ctx.rows ? scan->resume_col : 0;
    for (int32_t col = start; col < ctx.per_row; ++col) {
      reconstruct_mcu(ctx, col, ctx.rows, ctx.props->mcu_buffer, false);
      // The flush call at column 0 completes no MCU yet: no report.
      const JpegStatus status = interrupt_step(ctx, col, ctx.rows, true);
      if (status != kGoOn) return status;
    }
    if (ctx.column_delay) reconstruct_mcu(ctx, ctx.per_row, ctx.rows, ctx.props->mcu_buffer, false);
  }
  scan->resume_col = scan->resume_row = 0;
  return JpegSuccess;
}

JpegStatus decode_scan(JPEG_PROPERTIES* p, ScanHeader* scan, int32_t* marker) {
  *marker = 0;
  RoutineTable* t = p->routines;
  // The transform family of this scan, and tables prepared for it.
  const int32_t family = transform_family_for_tables(p);
  select_transform_family(t, family);
  match_quant_tables_to_family(p, family);
  const JpegStatus memory = working_memory(p);
  if (memory != JpegSuccess) return memory;
  // A resumed interrupted decode takes back the region its start had: the
  // interrupt reports wrote over it.
  const bool resuming = scan->resume_col != 0 || scan->resume_row != 0;
  // Each scan's data start at a byte of their own, and its first interval
  // has data (bits an earlier scan left, zero bits past its end included,
  // are not this scan's).
  if (!resuming) {
    p->stream.data_ended &= ~kScanBits;
    p->stream.bit_count = 0;
  }
  if (resuming) {
    p->roi_left = p->interrupt_region[0];
    p->roi_top = p->interrupt_region[1];
    p->roi_right = p->interrupt_region[2];
    p->roi_bottom = p->interrupt_region[3];
  } else {
    p->interrupt_region[0] = p->roi_left;
    p->interrupt_region[1] = p->roi_top;
    p->interrupt_region[2] = p->roi_right;
    p->interrupt_region[3] = p->roi_bottom;
  }

  // The region of interest.
  const bool region = region_active(p);
  if (region) {
    if (p->roi_right > p->jpeg_width) p->roi_right = p->jpeg_width;
    if (p->roi_bottom > p->jpeg_height) p->roi_bottom = p->jpeg_height;
    if (p->roi_left < 0) p->roi_left = 0;
    if (p->roi_top < 0) p->roi_top = 0;
    if (!have_restart_index(p)) return JpegMemoryError;
  }

  // The grid and the decoder.
  ScanContext ctx{};
  set_up_scan(ctx, p, scan);
  // A whole-image read that cannot have the index goes on without it.
  const bool indexing =
      !region && indexes_whole_image(p, ctx) && !resuming && have_restart_index(p);
  if (indexing) reset_restart_index(p);
  if ((region || indexing) && !resuming && p->restart_index->entries[0].position < 0 &&
      p->progressive_scans == 0) {
    // Entry 0: the start of the scan's entropy-coded data.
    index_save(ctx, 0);
    for (int16_t& pred : p->restart_index->entries[0].dc_pred) pred = 0;
  }

  JpegStatus status;
  if (p->progressive_scans != 0) {
    // The coefficient store must hold this frame's MCUs.
    const uint64_t needed = coefficient_store_bytes(ctx.store);
    if (p->coef_buffer == nullptr || needed > static_cast<uint64_t>(p->coef_buffer_bytes)) {
      t->end_of_scan();
      return JpegDataError;
    }
    status = decode_scan_stored(ctx);
  } else {
    if (!region) {
      // Until the scan says otherwise, it writes every MCU.
      const bool single_component = scan->component_count == 1;
      const ScanComponent& first = scan->components[0];
      p->mcu_pixels[0] = single_component ? (p->frame.max_h * 8 / first.h) / ctx.scale
                                          : 8 / ctx.scale * p->frame.max_h;
      p->mcu_pixels[1] = single_component ? (p->frame.max_v * 8 / first.v) / ctx.scale
                                          : 8 / ctx.scale * p->frame.max_v;
      p->written_until[0] = 0;
      p->written_until[1] = ctx.rows;
    }
    status = region ? decode_scan_sequential_roi(ctx) : decode_scan_sequential(ctx, indexing);
  }
  // Bits left after a finished scan are dropped; a pending marker stays
  // for the parser.
  if (status == JpegSuccess) p->stream.bit_count = 0;
  t->end_of_scan();
  return status;
}

}  // namespace jpegcodec
