// The coefficient store: the whole image's coefficients for progressive
// frames and for sequential frames whose components come in several scans;
// its decoder, and the image (or region) written from it. Called by
// decode_scan and the read driver.

#include "jpeg/decode/scan_context.h"

#include <stdlib.h>
#include <string.h>

namespace jpegcodec {

// The mask of non-zero coefficients of a block of the store, kept after
// the coefficients.
uint64_t* nonzero_mask(const JPEG_PROPERTIES* p, const int16_t* block) {
  auto* masks =
      reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(p->coef_buffer) + p->coef_buffer_bytes);
  return masks + (block - p->coef_buffer) / 64;
}

// The first block of frame component `f` in MCU `index` of the store (its
// DC value, when the store keeps that alone), and the values from one of
// the component's blocks to the next.
int16_t* stored_block(const ScanContext& ctx, int64_t index, int32_t f) {
  const StoreLayout& l = ctx.store;
  if (l.dc_alone[f])
    return ctx.props->coef_buffer + l.mcus * l.whole_per_mcu * 64 + index * l.dc_per_mcu +
           l.offset[f];
  return ctx.props->coef_buffer + (index * l.whole_per_mcu + l.offset[f]) * 64;
}

int32_t block_step(const ScanContext& ctx, int32_t f) {
  return ctx.store.dc_alone[f] ? 1 : 64;
}

int64_t mcu_step(const ScanContext& ctx, int32_t f) {
  return ctx.store.dc_alone[f] ? ctx.store.dc_per_mcu : int64_t{ctx.store.whole_per_mcu} * 64;
}

// Copies MCU (col, row) from the coefficient store, dequantizes it and
// reconstructs it (or copies it to the planes).
void output_progressive_mcu(ScanContext& ctx, int32_t col, int32_t row) {
  JPEG_PROPERTIES* p = ctx.props;
  const int64_t index = int64_t{col} + int64_t{row} * p->mcus_per_row;
  const bool planes = ctx.coef != nullptr && ctx.coef->mode == 0;
  int16_t* block = p->mcu_buffer;
  for (int32_t f = 0; f < p->frame.component_count && f < 4; ++f) {
    const FrameComponent& fc = p->frame.components[f];
    const int16_t* from = stored_block(ctx, index, f);
    const int16_t* quant = component_quant_values(p, f, ctx.accurate ? 1 : 0);
    for (int32_t b = 0; b < fc.h * fc.v; ++b, block += 64) {
      if (ctx.store.dc_alone[f]) {
        // Reconstructed from its DC alone (a store of coefficients for the
        // planes keeps every block whole).
        block[0] = dequantize_value(from[b], quant[0], ctx.accurate);
      } else {
        memcpy(block, from + 64 * b, 64 * sizeof(int16_t));
        if (!planes) ctx.routines->dequantize_block(block, quant);
      }
    }
  }
  if (planes) {
    copy_to_planes(ctx, p->mcu_buffer, col, row, true);
    return;
  }
  reconstruct_mcu(ctx, col, row, p->mcu_buffer, true);
  p->image_output_done = 1;
}

// Interrupt mode in a scan that goes to the coefficient store: a return
// after each MCU row, reporting it; none after the last (the scan then ends
// with 0). Nothing is written before the store is complete, so the report
// tells how far decoding has come.
JpegStatus stored_row_done(ScanContext& ctx, int32_t row) {
  JPEG_PROPERTIES* p = ctx.props;
  if (p->interrupt_mode == 0 || row + 1 >= p->mcu_rows) return kGoOn;
  ctx.header->resume_col = 0;
  ctx.header->resume_row = row + 1;
  p->roi_left = p->roi_right = p->mcus_per_row - 1;
  p->roi_top = p->roi_bottom = row;
  return JpegInterruptSuccess;
}

// Decodes a scan into the coefficient store: a scan of a progressive frame,
// or one of a sequential frame whose components come in several scans. The
// image is written once, from the complete store, when the data end.
JpegStatus decode_scan_stored(ScanContext& ctx) {
  JPEG_PROPERTIES* p = ctx.props;
  ScanHeader* scan = ctx.header;
  // The scans of a sequential frame in the store carry the whole band.
  const bool whole_band = !p->progressive_frame;
  if (scan->ss == 0 && scan->component_count > 1) {
    // Interleaved scans (DC, or the whole band): MCU by MCU.
    for (int32_t row = scan->resume_row; row < p->mcu_rows; ++row) {
      if (ctx.gate != nullptr) gate_wait(ctx.gate, row);
      // The DC scans of a progressive frame keep the bit state in registers
      // from MCU to MCU, between restart markers.
      // (An MCU of more blocks than a frame may have goes block by block.)
      DcBlock plan[10];
      int32_t plan_blocks = 0;
      for (int32_t i = 0; i < scan->component_count; ++i) {
        plan_blocks += scan->components[i].h * scan->components[i].v;
      }
      if (whole_band || plan_blocks > 10) plan_blocks = 0;
      for (int32_t i = 0, n = 0; n < plan_blocks; ++i) {
        const ScanComponent& sc = scan->components[i];
        const int32_t step = block_step(ctx, sc.frame_index);
        int16_t* first = stored_block(ctx, int64_t{row} * p->mcus_per_row, sc.frame_index);
        for (int32_t b = 0; b < sc.h * sc.v; ++b, first += step) {
          plan[n++] = DcBlock{first, step == 64 ? nonzero_mask(p, first) : nullptr,
                              mcu_step(ctx, sc.frame_index), sc.dc_table, i};
        }
      }
      for (int32_t col = 0; col < p->mcus_per_row; ++col) {
        const int64_t index = int64_t{col} + int64_t{row} * p->mcus_per_row;
        if (plan_blocks > 0 && (ctx.stream->data_ended & kOutOfData) == 0) {
          // As far as the next restart marker, or the row's end.
          int32_t to = p->mcus_per_row;
          if (scan->restart_interval != 0) {
            const int64_t left = scan->restart_interval - index % scan->restart_interval;
            if (left < to - col) to = col + static_cast<int32_t>(left);
          }
          col += ctx.progressive.dc_mcus(ctx.stream, plan, plan_blocks, col, to, scan->dc_pred,
                                         scan->ah, scan->al) -
                 1;
          const JpegStatus restart = restart_check(ctx, p->mcus_per_row, p->mcu_rows, col, row);
          if (restart != JpegSuccess) return restart_failure(restart);
          if (scan_data_ended(ctx)) return JpegEofError;
          continue;
        }
        // An MCU of an interval whose data are used up keeps what it has.
        const int32_t components =
            (ctx.stream->data_ended & kOutOfData) ? 0 : scan->component_count;
        for (int32_t i = 0; i < components; ++i) {
          const ScanComponent& sc = scan->components[i];
          const int32_t step = block_step(ctx, sc.frame_index);
          int16_t* block = stored_block(ctx, index, sc.frame_index);
          for (int32_t b = 0; b < sc.h * sc.v; ++b, block += step) {
            // A block decoder's failure leaves the block as decoded so far.
            if (whole_band) {
              int16_t pred = static_cast<int16_t>(scan->dc_pred[i]);
              ctx.routines->decode_block(ctx.stream, sc.dc_table, sc.ac_table, &pred, block);
              scan->dc_pred[i] = pred;
            } else if (scan->ah == 0) {
              if (step == 64) {
                zero_block(block);
                *nonzero_mask(p, block) = 0;  // the block starts anew
              }
              int16_t pred = static_cast<int16_t>(scan->dc_pred[i]);
              decode_dc_first(ctx.stream, sc.dc_table, block, &pred, scan->al);
              scan->dc_pred[i] = pred;
            } else {
              decode_dc_refine(ctx.stream, block, scan->al);
            }
          }
        }
        const JpegStatus restart = restart_check(ctx, p->mcus_per_row, p->mcu_rows, col, row);
        if (restart != JpegSuccess) return restart_failure(restart);
        // The data ended: the blocks keep what earlier scans gave them.
        if (scan_data_ended(ctx)) return JpegEofError;
      }
      if (ctx.gate != nullptr) gate_done(ctx.gate, row);
      const JpegStatus status = stored_row_done(ctx, row);
      if (status != kGoOn) return status;
    }
    scan->resume_col = scan->resume_row = 0;
    return JpegSuccess;
  }

  // Scans of one component (every AC scan, DC scans of one component, the
  // whole band of one component of a sequential frame):
  // the component's own block grid, row by row across the image (T.81
  // A.2.2), which for a subsampled component is not the MCU order.
  const ScanComponent& sc = scan->components[0];
  const int32_t h = sc.h, v = sc.v;
  const int32_t unit_w = (p->frame.max_h * 8) / h, unit_h = (p->frame.max_v * 8) / v;
  const int32_t grid_cols = (p->jpeg_width + unit_w - 1) / unit_w;
  const int32_t grid_rows = (p->jpeg_height + unit_h - 1) / unit_h;
  const int32_t step = block_step(ctx, sc.frame_index);
  const int64_t mcu_values = mcu_step(ctx, sc.frame_index);
  // A component kept as DC values alone has no AC band to decode (such
  // scans are passed over before they get here).
  if (step == 1 && (whole_band || scan->ss != 0)) return JpegSuccess;
  // AC bands of a progressive frame go through the decoder that keeps the
  // bit state in registers from block to block, between restart markers.
  const bool band_decoder = !whole_band && scan->ss != 0;
  const BandScan band_scan{sc.ac_table, scan->ss, scan->se, scan->ah, scan->al};
  for (int32_t y = scan->resume_row; y < p->mcu_rows; ++y) {
    if (ctx.gate != nullptr) gate_wait(ctx.gate, y);
    for (int32_t r = 0; r < v && (y * v + r) < grid_rows; ++r) {
      int16_t* const row_start =
          stored_block(ctx, int64_t{y} * p->mcus_per_row, sc.frame_index) + step * r * h;
      const BandRow band_row{row_start, step == 64 ? nonzero_mask(p, row_start) : nullptr, h,
                             ctx.store.whole_per_mcu};
      const int32_t grid_row = y * v + r;
      for (int32_t gx = 0; gx < grid_cols; ++gx) {
        int16_t* block = row_start + int64_t{gx / h} * mcu_values + step * (gx % h);
        int32_t decoded = 0;
        if (band_decoder && (ctx.stream->data_ended & kOutOfData) == 0) {
          // As far as the next restart marker, or the row's end.
          int32_t to = grid_cols;
          if (scan->restart_interval != 0) {
            const int64_t n = int64_t{gx} + int64_t{grid_row} * grid_cols;
            const int64_t left = scan->restart_interval - n % scan->restart_interval;
            if (left < to - gx) to = gx + static_cast<int32_t>(left);
          }
          decoded = ctx.progressive.ac_band(ctx.stream, band_row, band_scan, gx, to);
        }
        if (decoded > 0) {
          gx += decoded - 1;  // the checks below are for the last of them
        } else if (ctx.stream->data_ended & kOutOfData) {
          // An interval whose data are used up: the block keeps what it has.
        } else if (whole_band) {
          int16_t pred = static_cast<int16_t>(scan->dc_pred[0]);
          ctx.routines->decode_block(ctx.stream, sc.dc_table, sc.ac_table, &pred, block);
          scan->dc_pred[0] = pred;
        } else if (scan->ss == 0) {
          if (scan->ah == 0) {
            if (step == 64) {
              zero_block(block);
              *nonzero_mask(p, block) = 0;  // the block starts anew
            }
            int16_t pred = static_cast<int16_t>(scan->dc_pred[0]);
            decode_dc_first(ctx.stream, sc.dc_table, block, &pred, scan->al);
            scan->dc_pred[0] = pred;
          } else {
            decode_dc_refine(ctx.stream, block, scan->al);
          }
        }
        if (scan->restart_interval != 0) {
          const JpegStatus restart = restart_check(ctx, grid_cols, grid_rows, gx, grid_row);
          if (restart != JpegSuccess) return restart_failure(restart);
        }
        if (scan_data_ended(ctx)) return JpegEofError;
      }
    }
    if (ctx.gate != nullptr) gate_done(ctx.gate, y);
    const JpegStatus status = stored_row_done(ctx, y);
    if (status != kGoOn) return status;
  }
  scan->resume_col = scan->resume_row = 0;
  return JpegSuccess;
}

bool stored_output_begin(JPEG_PROPERTIES* p, const StoreLayout& layout, ScanHeader& scan,
                         ScanContext& ctx, JpegStatus* status) {
  *status = JpegSuccess;
  if (p->progressive_scans == 0 || p->coef_buffer == nullptr || p->image_output_done) {
    return false;
  }
  scan = ScanHeader{};
  ctx = ScanContext{};
  set_up_scan(ctx, p, &scan);
  ctx.store = layout;
  const int32_t family = transform_family_for_tables(p);
  select_transform_family(ctx.routines, family);
  match_quant_tables_to_family(p, family);
  *status = working_memory(p);
  return *status == JpegSuccess;
}

bool stored_rows_apart(const ScanContext& ctx) {
  return !ctx.column_delay && !ctx.row_delay && ctx.coef == nullptr && !region_active(ctx.props);
}

void write_stored_row(ScanContext& ctx, int32_t row) {
  const int32_t per_row = ctx.props->mcus_per_row;
  for (int32_t col = 0; col < per_row; ++col) output_progressive_mcu(ctx, col, row);
  reconstruct_mcu(ctx, per_row, row, ctx.props->mcu_buffer, true);  // flush (smoothing)
}

void stored_output_end(ScanContext& ctx) {
  JPEG_PROPERTIES* p = ctx.props;
  for (int32_t col = 0; col <= p->mcus_per_row; ++col) {
    reconstruct_mcu(ctx, col, p->mcu_rows, p->mcu_buffer, true);
  }
  p->image_output_done = 1;
  ctx.routines->end_of_scan();
}

// Writes the image from a store of the given layout.
JpegStatus output_stored_image(JPEG_PROPERTIES* p, const StoreLayout& layout) {
  // The whole image once its scans are decoded, the region of a region
  // read, or what the scans so far hold when the data ended early.
  ScanHeader scan;
  ScanContext ctx;
  JpegStatus status;
  if (!stored_output_begin(p, layout, scan, ctx, &status)) return status;
  if (region_active(p)) {
    // The region's MCUs; with smoothing one more around them (the filter
    // reads the neighbouring MCUs, and the output lags one MCU behind),
    // and the flush calls where the region reaches the image's edge.
    const int32_t block = 8 / ctx.scale;
    Region r = region_in_mcus(ctx, block * p->frame.max_h, block * p->frame.max_v);
    const int32_t cd = ctx.column_delay, rd = ctx.row_delay;
    if (cd && r.first_col > 0) --r.first_col;
    if (cd && r.last_col < p->mcus_per_row) ++r.last_col;
    if (rd && r.first_row > 0) --r.first_row;
    if (rd && r.last_row < p->mcu_rows) ++r.last_row;
    const bool right_edge = cd && r.last_col == p->mcus_per_row;
    for (int32_t row = r.first_row; row < r.last_row; ++row) {
      for (int32_t col = r.first_col; col < r.last_col; ++col)
        output_progressive_mcu(ctx, col, row);
      if (right_edge) reconstruct_mcu(ctx, p->mcus_per_row, row, p->mcu_buffer, true);
    }
    if (rd && r.last_row == p->mcu_rows) {
      for (int32_t col = r.first_col; col < r.last_col; ++col) {
        reconstruct_mcu(ctx, col, p->mcu_rows, p->mcu_buffer, true);
      }
      if (right_edge) reconstruct_mcu(ctx, p->mcus_per_row, p->mcu_rows, p->mcu_buffer, true);
    }
    p->image_output_done = 1;
    ctx.routines->end_of_scan();
    return JpegSuccess;
  }
  // Rows are independent unless the smoothing upsampler carries one into
  // the next, or the planes are written: then one thread, in order.
  if (stored_rows_apart(ctx)) {
    status = write_rows_on_threads(ctx, p->mcu_rows, write_stored_row);
  } else {
    for (int32_t row = 0; row < p->mcu_rows; ++row) write_stored_row(ctx, row);
  }
  stored_output_end(ctx);
  return status;
}

JpegStatus output_whole_progressive_image(JPEG_PROPERTIES* p) {
  return output_stored_image(p, store_layout(p));
}

JpegStatus output_stored_image_again(JPEG_PROPERTIES* p) {
  p->image_output_done = 0;
  // The earlier read kept every block whole, whatever this one reads.
  return output_stored_image(p, store_layout(p, true));
}

bool reads_dc_only(const JPEG_PROPERTIES* p) {
  return scale_of(p->io_type) == 8 && p->coef_output == nullptr;
}

bool component_uses_dc_only(const JPEG_PROPERTIES* p, int32_t frame_index) {
  if (!reads_dc_only(p) || frame_index < 0 || frame_index >= p->frame.component_count) return false;
  const FrameComponent& fc = p->frame.components[frame_index];
  // One size larger (2x2, from AC frequencies too) under simple sampling.
  return !(simple_sampling(p->frame) && fc.h * fc.v == 1);
}

StoreLayout store_layout(const JPEG_PROPERTIES* p, bool whole_blocks) {
  StoreLayout l{};
  l.mcus = int64_t{p->mcus_per_row} * p->mcu_rows;
  for (int32_t f = 0; f < p->frame.component_count && f < 4; ++f) {
    const FrameComponent& fc = p->frame.components[f];
    // AC scans of such a component are passed over: its DC is all there is.
    l.dc_alone[f] = !whole_blocks && p->progressive_frame && component_uses_dc_only(p, f);
    int32_t& count = l.dc_alone[f] ? l.dc_per_mcu : l.whole_per_mcu;
    l.offset[f] = count;
    count += fc.h * fc.v;
  }
  return l;
}

uint64_t coefficient_store_bytes(const StoreLayout& l) {
  return (uint64_t{static_cast<uint32_t>(l.whole_per_mcu)} * 64 +
          static_cast<uint32_t>(l.dc_per_mcu)) *
         2 * static_cast<uint64_t>(l.mcus);
}

}  // namespace jpegcodec
