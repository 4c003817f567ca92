// Scan decoding (T.81 Annex E, F.2 and G.2): takes a scan header and the
// job's tables and gives the scan's pixels (or coefficients) to the output;
// the sequential whole-image decoder lives here, the others beside it.
// Called by the read driver (drive/read.cpp).
//
// Four decoders: sequential and progressive, each for the whole image or a
// region of interest. The region decoders of sequential scans keep a
// restart index (one entry per MCU row: byte position and bit state) so
// that a later region further down the same image is reached by a seek.

#include "jpeg/decode/batch_output.h"
#include "jpeg/decode/scan_context.h"

#include <stdlib.h>
#include <string.h>

namespace jpegcodec {

// A writer for a whole batch of the scan's MCUs, or null: MCU by MCU then.
BatchWriter batch_writer_for(const ScanContext& ctx) {
  if (grey_batches_apply(ctx)) return write_grey_batch;
  if (eighth_ycc_batches_apply(ctx)) return write_eighth_ycc_batch;
  if (reduced_ycc_batches_apply(ctx)) return write_reduced_ycc_batch;
  return nullptr;
}

bool pipelines_apply(const ScanContext& ctx) {
  return ctx.plan_blocks != 0 && ctx.plan[0].quant != nullptr &&
         ctx.transform_blocks == ctx.plan_blocks && !ctx.dc_samples_in_writer;
}

namespace {

void output_one(ScanContext& ctx, int16_t* samples, int32_t col, int32_t row) {
  int16_t* const kept = ctx.props->mcu_samples;
  ctx.props->mcu_samples = samples;
  output_mcu(ctx, col, row);
  ctx.props->mcu_samples = kept;
}

// The next block of the pipeline's batch transformed, in place.
inline void transform_next(BatchPipeline& pipe) {
  IdctFn idct;
  int16_t* const block = take_next(pipe, &idct);
  transform_block(idct, block);
}

void pipeline_run(BatchStep* self, const int16_t* decoded_end) {
  BatchPipeline& pipe = *static_cast<BatchPipeline*>(self);
  // Not the block just decoded: its values are still on their way from
  // the decoder's narrow stores, which the transform's wide loads would
  // wait for. One block a step (a call that ends in the transform's) but
  // after a run of MCUs decoded one at a time.
  if (pipe.next + 128 == decoded_end) return transform_next(pipe);
  while (pipe.next + 64 < decoded_end) transform_next(pipe);
}

}  // namespace

void pipeline_start(BatchPipeline& pipe, ScanContext& ctx, int16_t* buffer) {
  pipe.run = pipeline_run;
  pipe.transforms = ctx.block_transform;
  pipe.blocks = ctx.plan_blocks;
  pipe.in_mcu = 0;
  pipe.next = buffer;
}

int32_t decode_batch(ScanContext& ctx, int32_t col, int32_t row, int32_t end, int16_t* buffer,
                     JpegStatus* status, BatchPipeline* pipe, BatchMarks* marks) {
  // Once an interval's data are used up, its MCUs are zeros (which
  // decode_mcu gives, one at a time).
  *status = JpegSuccess;
  int32_t decoded = 1;
  if (ctx.stream->data_ended & kOutOfData) {
    *status = decode_mcu(ctx, false, buffer);
    if (*status != JpegSuccess) decoded = 0;
  } else {
    decoded = ctx.mcu_batch_decoder(ctx.stream, ctx.plan, ctx.plan_blocks, ctx.header->dc_pred,
                                    buffer, 64 * ctx.plan_blocks, end - col, status, pipe, marks);
  }
  // Only the batch's last MCU can end an interval; if the restart marker
  // after it cannot be passed, it is not written.
  int32_t good = decoded;
  if (decoded > 0 && *status == JpegSuccess) {
    *status = restart_check(ctx, ctx.per_row, ctx.rows, col + decoded - 1, row);
    if (*status != JpegSuccess) --good;
  }
  return good;
}

RowCheckpoints row_checkpoints(const ScanContext& ctx, bool indexing, int32_t first_col) {
  const int32_t spacing = ctx.checkpoint_spacing;
  if (!indexing) return {ctx.per_row, spacing};
  if (ctx.scale != 1) return {first_col == 0 ? 0 : ctx.per_row, ctx.per_row};
  return {(first_col + spacing - 1) / spacing * spacing, spacing};
}

void checkpoint_at(ScanContext& ctx, int32_t row, int32_t col, RowCheckpoints& c, bool& indexing) {
  if (col != c.next) return;
  c.next += c.step;
  // Out of memory for it, the read goes on without the index.
  if (index_save(ctx, row, col / ctx.checkpoint_spacing) != JpegSuccess) {
    indexing = false;
    c.next = ctx.per_row;
  }
}

BatchMarks* run_marks(BatchMarks& marks, BatchMark* room, int32_t col, int32_t first, int32_t step,
                      int32_t& end) {
  marks = {first - col, step, 0, room};
  if (first >= end) return nullptr;
  if (end > first + kRunMarks * step) end = first + kRunMarks * step;
  return &marks;
}

int32_t decode_batch_indexed(ScanContext& ctx, int32_t col, int32_t row, int32_t& end,
                             int16_t* buffer, JpegStatus* status, BatchPipeline* pipe,
                             RowCheckpoints& c, bool& indexing) {
  checkpoint_at(ctx, row, col, c, indexing);
  BatchMark marked[kRunMarks];
  BatchMarks marks;
  BatchMarks* const marking =
      indexing ? run_marks(marks, marked, col, c.next, c.step, end) : nullptr;
  const int32_t good = decode_batch(ctx, col, row, end, buffer, status, pipe, marking);
  if (marking != nullptr && marks.made > 0) {
    // Out of memory for them, the read goes on without the index.
    if (index_save_marks(ctx, row, c.next / ctx.checkpoint_spacing, marked, marks.made) !=
        JpegSuccess) {
      indexing = false;
      c.next = ctx.per_row;
    } else {
      c.next += marks.made * c.step;
    }
  }
  return good;
}

void write_batch(ScanContext& ctx, BatchWriter batch_writer, int32_t col, int32_t row,
                 int32_t count, int16_t* buffer, BatchPipeline* pipe) {
  const int32_t room = 64 * ctx.plan_blocks;
  // A writer that takes the DCs as decoded transforms them itself; if it
  // declines the batch, they are transformed here after all.
  const bool writer_takes_dc = batch_writer != nullptr && ctx.dc_samples_in_writer;
  auto transform_batch = [&]() {
    if (pipe != nullptr) {
      while (pipe->next < buffer + int64_t{room} * count) transform_next(*pipe);
      return;
    }
    for (int32_t m = 0; m < count; ++m) {
      int16_t* mcu = buffer + int64_t{room} * m;
      dequantize_planned(ctx, mcu);
      transform_mcu(ctx, mcu, false);
    }
  };
  if (!writer_takes_dc) transform_batch();
  if (batch_writer == nullptr || !batch_writer(ctx, col, row, count, buffer, room)) {
    if (writer_takes_dc) transform_batch();
    for (int32_t m = 0; m < count; ++m) output_one(ctx, buffer + int64_t{room} * m, col + m, row);
  }
}

int32_t interval_end(const ScanContext& ctx, int32_t row, int32_t col, int32_t end) {
  const int32_t interval = ctx.header->restart_interval;
  if (interval == 0) return end;
  const int64_t n = int64_t{row} * ctx.per_row + col;
  const int64_t left = interval - n % interval;
  return end - col > left ? col + static_cast<int32_t>(left) : end;
}

bool batches_apply(const ScanContext& ctx) {
  return ctx.plan_blocks != 0 && ctx.mcu_batch_decoder != nullptr && ctx.coef == nullptr &&
         ctx.props->interrupt_mode == 0 && !ctx.column_delay && !ctx.row_delay;
}

// The sequential decoder of a whole image, MCU after MCU. With `indexing`,
// the start of each row and its checkpoints are recorded
// on the way. With `stop` (an MCU's place in the scan, counted from 0),
// it returns once the MCUs before it are written, after the restart
// marker that follows them: a band of the image (see parallel_scan.cpp).
JpegStatus decode_scan_sequential(ScanContext& ctx, bool indexing, int64_t stop) {
  ScanHeader* scan = ctx.header;
  const bool coefficients = ctx.coef != nullptr && ctx.coef->mode == 0;
  // Where a read whose grey background waits stops writing.
  auto written = [&ctx](int32_t col, int32_t row, JpegStatus status) {
    ctx.props->written_until[0] = col;
    ctx.props->written_until[1] = row;
    return status;
  };
  // MCUs are decoded in batches into the MCU buffer, one after another,
  // and then written: the bit state stays in registers from one MCU to the
  // next. Where it can, each block is transformed while the decoder goes on
  // (a pipeline), else the batch once decoded; either way the transform
  // reads coefficients stored a while before, not ones the decoder has
  // just scattered (which the processor cannot hand on to a wide load until
  // they reach the cache).
  const bool batched = batches_apply(ctx);
  const BatchWriter batch_writer = batched ? batch_writer_for(ctx) : nullptr;
  const bool pipelined = batched && pipelines_apply(ctx);
  // How many MCUs a batch holds, as measured on photos: the buffer's room
  // in a pipeline, or for a writer of whole batches of a reduced size
  // (where an MCU gives a few pixels); else up to 32 MCUs of one block, or
  // one MCU of several blocks at a time.
  int32_t batch_limit = 0;
  if (batched) {
    const bool reduced_rows = ctx.scale != 1 && batch_writer != nullptr;
    batch_limit = reduced_rows || pipelined ? kMcuBufferBlocks / ctx.plan_blocks
                  : ctx.plan_blocks == 1    ? kMcuBufferBlocks / 2
                                            : 1;
  }
  const bool band = stop >= 0;
  for (int32_t row = scan->resume_row; row < ctx.rows; ++row) {
    const int32_t first_col = row == scan->resume_row ? scan->resume_col : 0;
    // The columns of this row the call decodes.
    int32_t row_end = ctx.per_row;
    if (band) {
      const int64_t left = stop - int64_t{row} * ctx.per_row;
      if (left <= first_col) return JpegSuccess;
      if (left < row_end) row_end = static_cast<int32_t>(left);
    }
    RowCheckpoints checkpoints = row_checkpoints(ctx, indexing, first_col);
    if (batched) {
      int16_t* const buffer = ctx.props->mcu_buffer;
      const int32_t room = 64 * ctx.plan_blocks;
      int32_t col = first_col;
      while (col < row_end) {
        // A batch is filled in runs that stop where an interval ends, and
        // written once full.
        const int32_t start = col;
        const int32_t full = col + batch_limit < row_end ? col + batch_limit : row_end;
        JpegStatus status = JpegSuccess;
        bool ended = false;
        BatchPipeline pipe;
        if (pipelined) pipeline_start(pipe, ctx, buffer);
        while (col < full) {
          int32_t end = interval_end(ctx, row, col, full);
          const int32_t good =
              decode_batch_indexed(ctx, col, row, end, buffer + int64_t{room} * (col - start),
                                   &status, pipelined ? &pipe : nullptr, checkpoints, indexing);
          col += good;
          if (status != JpegSuccess) break;
          ended = scan_data_ended(ctx);
          if (ended || col < end) break;
        }
        write_batch(ctx, batch_writer, start, row, col - start, buffer,
                    pipelined ? &pipe : nullptr);
        // An MCU that failed is not written.
        if (status != JpegSuccess) return written(col, row, status);
        // The data ended in the last MCU: what follows stays grey.
        if (ended) return written(col, row, JpegEofError);
      }
      continue;
    }
    for (int32_t col = first_col; col < row_end; ++col) {
      checkpoint_at(ctx, row, col, checkpoints, indexing);
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
  if (band) return JpegSuccess;
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
    status =
        region ? decode_scan_sequential_roi(ctx) : decode_scan_sequential_threads(ctx, indexing);
  }
  // Bits left after a finished scan are dropped; a pending marker stays
  // for the parser.
  if (status == JpegSuccess) p->stream.bit_count = 0;
  t->end_of_scan();
  return status;
}

}  // namespace jpegcodec
