// Regions of interest and the grey background: the region a read asks
// for, settled against the frame; the sequential region decoder; the grey
// painted where no scan writes. Called by decode_scan and the read driver.

#include "jpeg/decode/scan_context.h"

#include <stdlib.h>
#include <string.h>

namespace jpegcodec {

bool region_active(const JPEG_PROPERTIES* p) {
  return (p->roi_right != 0 && p->roi_right < p->jpeg_width) ||
         (p->roi_bottom != 0 && p->roi_bottom < p->jpeg_height) || p->roi_top > 0 ||
         p->roi_left > 0;
}

// The MCU region covering the region of interest, for units of uw x uh
// output pixels.
Region region_in_mcus(const ScanContext& ctx, int32_t uw, int32_t uh) {
  const JPEG_PROPERTIES* p = ctx.props;
  Region r;
  r.first_col = p->roi_left / uw;
  r.last_col = (p->roi_right + uw - 1) / uw;
  r.first_row = p->roi_top / uh;
  r.last_row = (p->roi_bottom + uh - 1) / uh;
  if (r.last_col > ctx.per_row) r.last_col = ctx.per_row;
  if (r.last_row > ctx.rows) r.last_row = ctx.rows;
  return r;
}

// Passes over MCUs [from, to) of a row for their DCs alone. Checkpoints met
// on the way are recorded. Runs of MCUs go through the batch decoder (the
// bit state kept in registers from MCU to MCU) up to each restart marker,
// marking the checkpoints in passing, their AC symbols through skip tables
// once the run is long enough to pay for building them: the rows above a
// region are most of what reading it costs.
JpegStatus pass_over(ScanContext& ctx, int32_t row, int32_t from, int32_t to) {
  const int32_t spacing = ctx.props->restart_index != nullptr ? ctx.checkpoint_spacing : 0;
  const bool batches = ctx.plan_blocks != 0 && ctx.mcu_batch_decoder != nullptr;
  SequentialBlock plan[10];
  if (batches) {
    constexpr int32_t kSkipTablesPay = 64;
    for (int32_t b = 0; b < ctx.plan_blocks; ++b) {
      plan[b] = ctx.plan[b];
      plan[b].keep_ac = false;
      plan[b].quant = nullptr;
      if (plan[b].skip == nullptr && to - from >= kSkipTablesPay) {
        plan[b].skip = skip_table_for(ctx.props, plan[b].ac_table);
      }
    }
  }
  alignas(32) int16_t passed[64 * 10];  // what the batches decode, unused
  for (int32_t col = from; col < to;) {
    if (spacing != 0 && col % spacing == 0 && col > 0 && !index_known(ctx, row, col / spacing)) {
      const JpegStatus status = index_save(ctx, row, col / spacing);
      if (status != JpegSuccess) return status;
    }
    int32_t next = col + 1;
    if (!batches || (ctx.stream->data_ended & kOutOfData)) {
      // An interval whose data are used up decodes as zeros, MCU by MCU.
      if (decode_mcu(ctx, true) < 0) return JpegDataError;
    } else {
      int32_t end = interval_end(ctx, row, col, to);
      // The checkpoints after `col` in the run, as many as there is room for.
      BatchMark marked[kRunMarks];
      BatchMarks marks;
      const int32_t first_mark = spacing != 0 ? (col / spacing + 1) * spacing : to;
      BatchMarks* const marking = run_marks(marks, marked, col, first_mark, spacing, end);
      JpegStatus status;
      const int32_t decoded =
          ctx.mcu_batch_decoder(ctx.stream, plan, ctx.plan_blocks, ctx.header->dc_pred, passed, 0,
                                end - col, &status, nullptr, marking);
      if (marking != nullptr && marks.made > 0) {
        const JpegStatus saved =
            index_save_marks(ctx, row, first_mark / spacing, marked, marks.made);
        if (saved != JpegSuccess) return saved;
      }
      if (status < 0) return JpegDataError;
      next = col + decoded;
    }
    // Only a run's last MCU can end an interval.
    const JpegStatus restart = restart_check(ctx, ctx.per_row, ctx.rows, next - 1, row);
    if (restart != JpegSuccess) return restart_failure(restart);
    if (scan_data_ended(ctx)) return JpegEofError;
    col = next;
  }
  return JpegSuccess;
}

namespace {

// MCUs *col..to-1 of a row of a region, in batches through the pipeline
// and written MCU by MCU, with what one MCU at a time gives: an MCU whose
// decoding fails, or after which a restart marker cannot be passed, is not
// written (JpegDataError the first, the restart's failure the second), and
// an MCU in which the data end is the last written (JpegEofError). *col
// ends after the MCUs written.
JpegStatus decode_row_in_batches(ScanContext& ctx, int32_t row, int32_t* col, int32_t to) {
  int16_t* const buffer = ctx.props->mcu_buffer;
  const int32_t room = 64 * ctx.plan_blocks;
  const int32_t limit = kMcuBufferBlocks / ctx.plan_blocks;
  while (*col < to) {
    const int32_t start = *col;
    const int32_t full = to - start > limit ? start + limit : to;
    BatchPipeline pipe;
    pipeline_start(pipe, ctx, buffer);
    JpegStatus failure = JpegSuccess;
    int32_t next = start;
    while (next < full) {
      // Runs end where intervals do: only a run's last MCU can be followed
      // by a restart marker.
      const int32_t end = interval_end(ctx, row, next, full);
      int16_t* const at = buffer + int64_t{room} * (next - start);
      int32_t decoded = 1;
      if (ctx.stream->data_ended & kOutOfData) {
        if (decode_mcu(ctx, false, at) < 0) {
          decoded = 0;
          failure = JpegDataError;
        }
      } else {
        JpegStatus status;
        decoded = ctx.mcu_batch_decoder(ctx.stream, ctx.plan, ctx.plan_blocks, ctx.header->dc_pred,
                                        at, room, end - next, &status, &pipe, nullptr);
        if (status != JpegSuccess) failure = JpegDataError;
      }
      next += decoded;
      if (failure != JpegSuccess) break;
      const JpegStatus restart = restart_check(ctx, ctx.per_row, ctx.rows, next - 1, row);
      if (restart != JpegSuccess) {
        --next;
        failure = restart_failure(restart);
        break;
      }
      if (scan_data_ended(ctx)) {
        failure = JpegEofError;
        break;
      }
    }
    write_batch(ctx, nullptr, start, row, next - start, buffer, &pipe);
    *col = next;
    if (failure != JpegSuccess) return failure;
  }
  return JpegSuccess;
}

}  // namespace

JpegStatus decode_scan_sequential_roi(ScanContext& ctx) {
  JPEG_PROPERTIES* p = ctx.props;
  ScanHeader* scan = ctx.header;
  const bool single_component = scan->component_count == 1;
  const ScanComponent& first = scan->components[0];
  const int32_t block = 8 / ctx.scale;
  const int32_t uw =
      single_component ? (p->frame.max_h * 8 / first.h) / ctx.scale : block * p->frame.max_h;
  const int32_t uh =
      single_component ? (p->frame.max_v * 8 / first.v) / ctx.scale : block * p->frame.max_v;
  Region region = region_in_mcus(ctx, uw, uh);
  const int32_t cd = ctx.column_delay, rd = ctx.row_delay;
  if (cd && region.first_col > 0) --region.first_col;
  if (rd && region.first_row > 0) --region.first_row;
  if (cd && region.last_col < ctx.per_row) ++region.last_col;
  if (rd && region.last_row < ctx.rows) ++region.last_row;

  const int32_t start_row =
      region.first_row > scan->resume_row ? region.first_row : scan->resume_row;
  // Where the stream stands: the start of MCU (at_row, at_col), or unknown.
  int32_t at_row = -1, at_col = 0;
  if (scan->resume_col != 0) {
    at_row = start_row;
    at_col = scan->resume_col;
  }
  const bool coefficients = ctx.coef != nullptr && ctx.coef->mode == 0;
  // Where a read whose grey background waits stops writing.
  auto written = [&ctx](int32_t col, int32_t row, JpegStatus status) {
    ctx.props->written_until[0] = col;
    ctx.props->written_until[1] = row;
    return status;
  };
  // Without the smoothing's delays, interruptions or coefficient output,
  // a row's MCUs go through the batch decoder, transformed as decoded.
  const bool batched = batches_apply(ctx) && pipelines_apply(ctx);
  p->mcu_pixels[0] = uw;
  p->mcu_pixels[1] = uh;
  p->written_until[0] = 0;
  p->written_until[1] = region.last_row;
  for (int32_t row = start_row; row < region.last_row; ++row) {
    JpegStatus status = JpegSuccess;
    if (at_row == row) {
      // A resumed decode stands in this row already.
      status = pass_over(ctx, row, at_col, region.first_col);
    } else {
      status = seek_to(ctx, row, region.first_col, at_row, at_col);
    }
    if (status != JpegSuccess) return written(region.first_col, row, status);
    const int32_t from = region.first_col > at_col || at_row != row ? region.first_col : at_col;
    if (batched) {
      int32_t col = from;
      status = decode_row_in_batches(ctx, row, &col, region.last_col);
      if (status != JpegSuccess) return written(col, row, status);
      at_row = row;
      at_col = region.last_col;
      continue;
    }
    for (int32_t col = from; col < region.last_col; ++col) {
      if (decode_mcu(ctx, false) < 0) return written(col, row, JpegDataError);
      const JpegStatus restart = restart_check(ctx, ctx.per_row, ctx.rows, col, row);
      if (restart != JpegSuccess) return written(col, row, restart_failure(restart));
      if (coefficients) {
        copy_to_planes(ctx, p->mcu_buffer, col, row, false);
      } else {
        reconstruct_mcu(ctx, col, row, p->mcu_buffer, false);
      }
      if (scan_data_ended(ctx)) return written(col + 1, row, JpegEofError);
      if (p->interrupt_mode != 0 && !(cd && col == region.first_col) &&
          !(rd && row == region.first_row)) {
        if (col != region.last_col + cd - 1) {
          scan->resume_col = col + 1;
          scan->resume_row = row;
          p->roi_left = p->roi_right = col - cd;
          p->roi_top = p->roi_bottom = row - rd;
          return JpegInterruptSuccess;
        }
        scan->resume_col = scan->resume_row = 0;
      }
    }
    if (cd) reconstruct_mcu(ctx, region.last_col, row, p->mcu_buffer, false);
    at_row = row;
    at_col = region.last_col;
  }
  if (rd) {
    for (int32_t col = region.first_col; col <= region.last_col; ++col) {
      reconstruct_mcu(ctx, col, ctx.rows, p->mcu_buffer, false);
    }
  }
  scan->resume_col = scan->resume_row = 0;
  ctx.routines->end_of_scan();
  return JpegRoiSuccess;
}

namespace {

// Grey over columns [left, out_width) of output rows [top, bottom).
void grey_rows(const JPEG_PROPERTIES* p, int64_t top, int64_t bottom, int64_t left) {
  const int64_t rows = p->out_height < 0 ? -int64_t{p->out_height} : p->out_height;
  if (bottom > rows) bottom = rows;
  if (left >= p->out_width) return;
  const size_t bytes =
      static_cast<size_t>(p->out_width - left) * static_cast<size_t>(p->out_channels);
  for (int64_t y = top; y < bottom; ++y) {
    memset(p->stream.out_start + y * p->out_line_bytes + left * p->out_channels, 128, bytes);
  }
}

}  // namespace

void prefill_grey(const JPEG_PROPERTIES* p) {
  const int64_t rows = p->out_height < 0 ? -int64_t{p->out_height} : p->out_height;
  grey_rows(p, 0, rows, 0);
}

bool grey_can_wait(const JPEG_PROPERTIES* p, const ScanHeader* scan) {
  if (p->interrupt_mode != 0 || p->coef_output != nullptr || smoothing_applies(p)) return false;
  // The caller's image lies inside the region, or the frame's (reduced) size.
  const int32_t scale = scale_of(p->io_type);
  const int64_t rows = p->out_height < 0 ? -int64_t{p->out_height} : p->out_height;
  const bool region = region_active(p);
  const int64_t width = region ? p->roi_right - p->roi_left : (p->jpeg_width + scale - 1) / scale;
  const int64_t height = region ? p->roi_bottom - p->roi_top : (p->jpeg_height + scale - 1) / scale;
  if (p->out_width > width || rows > height) return false;
  // The store's image is written whole; a sequential scan writes every
  // pixel when it carries every component.
  return p->progressive_scans != 0 || scan->component_count == p->frame.component_count;
}

void paint_unwritten_grey(JPEG_PROPERTIES* p) {
  if (p->progressive_scans != 0) {
    if (!p->image_output_done) prefill_grey(p);
    return;
  }
  // MCU positions are the image's; the caller's image starts at the
  // region's corner.
  const bool region = region_active(p);
  const int64_t origin_x = region ? p->roi_left : 0, origin_y = region ? p->roi_top : 0;
  const int64_t top = int64_t{p->written_until[1]} * p->mcu_pixels[1] - origin_y;
  const int64_t left = int64_t{p->written_until[0]} * p->mcu_pixels[0] - origin_x;
  grey_rows(p, top < 0 ? 0 : top, top + p->mcu_pixels[1], left < 0 ? 0 : left);
  grey_rows(p, top + p->mcu_pixels[1] < 0 ? 0 : top + p->mcu_pixels[1], INT64_MAX, 0);
}

namespace {

// The region in output pixels with its open edges closed: a right or bottom
// edge of 0, or past the image, is the image's edge; negative left and top
// are 0.
void normalised_region(const JPEG_PROPERTIES* p, int32_t region[4]) {
  const int32_t scale = scale_of(p->io_type);
  const int32_t width = (p->jpeg_width + scale - 1) / scale;
  const int32_t height = (p->jpeg_height + scale - 1) / scale;
  region[0] = p->roi_left < 0 ? 0 : p->roi_left;
  region[1] = p->roi_top < 0 ? 0 : p->roi_top;
  region[2] = p->roi_right <= 0 || p->roi_right > width ? width : p->roi_right;
  region[3] = p->roi_bottom <= 0 || p->roi_bottom > height ? height : p->roi_bottom;
}

}  // namespace

bool region_requested(const JPEG_PROPERTIES* p) {
  return p->roi_left != 0 || p->roi_top != 0 || p->roi_right != 0 || p->roi_bottom != 0;
}

JpegStatus settle_region(JPEG_PROPERTIES* p) {
  if (!region_requested(p)) return JpegSuccess;
  int32_t region[4];
  normalised_region(p, region);
  if (region[0] >= region[2] || region[1] >= region[3]) return JpegInvalidProperties;
  p->roi_left = region[0];
  p->roi_top = region[1];
  p->roi_right = region[2];
  p->roi_bottom = region[3];
  return JpegSuccess;
}

bool region_would_be_active(const JPEG_PROPERTIES* p) {
  if (!region_requested(p)) return false;
  JPEG_PROPERTIES settled = *p;
  return settle_region(&settled) == JpegSuccess && region_active(&settled);
}

}  // namespace jpegcodec
