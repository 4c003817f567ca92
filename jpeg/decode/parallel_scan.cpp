// One sequential scan decoded by several threads: takes the scan context of
// a whole-image read, gives the image and the stream's state after the scan
// exactly as decode_scan_sequential gives them, choosing how: runs of
// restart intervals, or runs found by scouting data without restart
// markers (speculative_scan.cpp), each decoded here by a thread; a
// pipeline of MCU rows (row_pipeline.cpp); or one thread. Called by
// decode_scan.
//
// Restart markers cut a scan's entropy-coded data into intervals that decode
// alone: each starts on a byte of its own, with zero predictions and no bits
// held. The markers are found by one pass over the bytes (the data's own
// 0xFF bytes are followed by a stuffed zero), and each thread takes a run of
// whole intervals (four runs a thread, taken in turn) and writes its MCUs
// into the caller's image, which no two threads share a pixel of. Nothing is
// guessed: where one thread's run ends, the state it leaves after reading
// the restart marker must be the state the next thread started from (the
// marker's place, nothing pending, no damage met; for scouted runs, the bit
// and the DC predictions the scouts found there). Otherwise (markers
// missing, out of order or damaged data), or when a thread fails, the scan
// is decoded again by the calling thread alone, whose pixels and status the
// read then gives.

#include <stdlib.h>
#include <string.h>

#include <thread>

#include "jpeg/cpu/guard.h"
#include "jpeg/decode/scan_context.h"
#include "jpeg/decode/threads.h"

namespace jpegcodec {

namespace {

// One thread's run of intervals and what it decodes them with: a copy of
// the job's state with a stream and an MCU buffer of its own.
struct Part {
  int64_t first_mcu;
  int64_t stop_mcu;
  const uint8_t* start;  // its first byte: the scan's start, or after a restart marker
  // A run found by scouting: the bit it starts at and its DC predictions
  // (start_bit -1 for a run of restart intervals).
  int64_t start_bit;
  int32_t start_pred[4];
  JPEG_PROPERTIES* props;
  ScanHeader header;
  ScanContext ctx;
  bool indexing;  // records its rows in the region index
  JpegStatus status;
};

// How many runs the scan is split into: 1 when it may not be split (not a
// whole image of buffer data with every component in the scan and restart
// markers, or something that carries state from one MCU to the next beyond
// them: smoothing, interrupt mode, coefficient output; or too small to
// gain). Four runs a thread, as the intervals allow: the threads take
// them in turn, so that one whose runs hold more detail does not keep the
// other waiting.
int32_t split_runs(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  const ScanHeader* scan = ctx.header;
  if (p->threads <= 1 || scan->restart_interval == 0 || file_input(p)) return 1;
  if (p->interrupt_mode != 0 || ctx.coef != nullptr || ctx.column_delay || ctx.row_delay) return 1;
  if (scan->resume_col != 0 || scan->resume_row != 0) return 1;
  if (scan->component_count != p->frame.component_count) return 1;
  if (int64_t{p->jpeg_width} * p->jpeg_height < kThreadPixels) return 1;
  const int64_t mcus = int64_t{ctx.per_row} * ctx.rows;
  const int64_t intervals = (mcus + scan->restart_interval - 1) / scan->restart_interval;
  int64_t runs = int64_t{4} * thread_pool(p->threads);
  if (runs > kMostThreads) runs = kMostThreads;
  if (runs > intervals) runs = intervals;
  return static_cast<int32_t>(runs);
}

// The byte after restart marker number wanted[i] (counted from 1 in the
// scan's data) for each i, wanted ascending; false when the data end, or
// another marker comes, before the last of them.
bool find_restart_markers(const uint8_t* from, const uint8_t* end, const int64_t* wanted,
                          int32_t count, const uint8_t** starts) {
  int64_t seen = 0;
  int32_t found = 0;
  const uint8_t* q = from;
  while (found < count) {
    q = static_cast<const uint8_t*>(memchr(q, 0xFF, static_cast<size_t>(end - q)));
    if (q == nullptr || end - q < 2) return false;
    const uint8_t code = q[1];
    if (code == 0x00) {  // a stuffed data byte
      q += 2;
    } else if (code == 0xFF) {  // fill before a marker
      q += 1;
    } else if (code >= 0xD0 && code <= 0xD7) {
      q += 2;
      if (++seen == wanted[found]) starts[found++] = q;
    } else {
      return false;  // the scan's data end here
    }
  }
  return true;
}

// A thread's run, under a fault guard of its own: a fault (a write through a
// bad image pointer) ends the run with -1 instead of the process.
void run_part(Part* part) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    part->status = JpegExceptionDetected;
    return;
  }
  part->status = decode_scan_sequential(part->ctx, part->indexing, part->stop_mcu);
  guard_pop(&frame);
}

// Each run's state, set up; false when memory runs short.
bool set_up_parts(const ScanContext& ctx, Part* parts, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    Part& part = parts[i];
    part.props = copy_job_state(ctx, &part.ctx);
    if (part.props == nullptr) return false;
    part.header = *ctx.header;
    part.header.resume_col = static_cast<int32_t>(part.first_mcu % ctx.per_row);
    part.header.resume_row = static_cast<int32_t>(part.first_mcu / ctx.per_row);
    InputStream& s = part.props->stream;
    if (i > 0 && part.start_bit >= 0) {
      memcpy(part.header.dc_pred, part.start_pred, sizeof part.header.dc_pred);
      stream_to_bit(&s, part.start_bit);
    } else if (i > 0) {
      // Just after a restart marker: nothing held, nothing predicted.
      for (int32_t& pred : part.header.dc_pred) pred = 0;
      s.next = part.start;
      s.consumed = static_cast<int32_t>(part.start - s.data_start);
      s.available = s.data_size - s.consumed;
      s.bit_acc = 0;
      s.bit_count = 0;
      s.pending_marker = 0;
    }
    part.ctx.header = &part.header;
    part.ctx.index_shared = true;
    part.status = JpegSuccess;
  }
  return true;
}

// Whether run i ended where run i + 1 began, as one thread would have gone on.
bool seam_holds(const Part& before, const Part& after, int32_t data_ended) {
  const InputStream& s = before.props->stream;
  if (before.status != JpegSuccess || s.pending_marker != 0 || s.data_ended != data_ended) {
    return false;
  }
  if (after.start_bit < 0) return s.next == after.start && s.bit_count == 0;
  for (int c = 0; c < 4; ++c) {
    if (static_cast<int16_t>(before.header.dc_pred[c]) !=
        static_cast<int16_t>(after.start_pred[c])) {
      return false;
    }
  }
  return stream_bit(&s) == after.start_bit;
}

}  // namespace

JpegStatus decode_scan_sequential_threads(ScanContext& ctx, bool indexing) {
  int32_t threads = split_runs(ctx);
  // Without restart markers, runs found by scouting the data.
  RunStart scouted[kMostThreads];
  bool scouting = false;
  if (threads <= 1 && scouting_applies(ctx)) {
    const int32_t runs = scout_runs(ctx, thread_pool(ctx.props->threads), scouted);
    scouting = runs > 1;
    if (scouting) threads = runs;
  }
  if (threads <= 1) {
    if (pipeline_applies(ctx)) return decode_scan_pipelined(ctx, indexing);
    if (smooth_pipeline_applies(ctx)) return decode_scan_smoothed(ctx, indexing);
    return decode_scan_sequential(ctx, indexing);
  }
  JPEG_PROPERTIES* p = ctx.props;
  const int64_t interval = ctx.header->restart_interval;
  const int64_t mcus = int64_t{ctx.per_row} * ctx.rows;

  Part* parts = static_cast<Part*>(codec_calloc(threads, sizeof(Part)));
  if (parts == nullptr) return decode_scan_sequential(ctx, indexing);
  bool split = true;
  parts[0].start = ctx.stream->next;
  if (scouting) {
    for (int32_t i = 0; i < threads; ++i) {
      parts[i].first_mcu = scouted[i].mcu;
      parts[i].stop_mcu = i + 1 < threads ? scouted[i + 1].mcu : mcus;
      parts[i].start_bit = i > 0 ? scouted[i].bit : -1;
      memcpy(parts[i].start_pred, scouted[i].dc_pred, sizeof parts[i].start_pred);
    }
  } else {
    // Runs of whole intervals, as even as they come.
    const int64_t intervals = (mcus + interval - 1) / interval;
    int64_t wanted[kMostThreads];
    const uint8_t* starts[kMostThreads];
    for (int32_t i = 0; i < threads; ++i) {
      const int64_t first = intervals * i / threads, stop = intervals * (i + 1) / threads;
      parts[i].first_mcu = first * interval;
      parts[i].stop_mcu = stop * interval < mcus ? stop * interval : mcus;
      parts[i].start_bit = -1;
      if (i > 0) wanted[i - 1] = first;
    }
    split =
        ctx.stream->bit_count == 0 && ctx.stream->pending_marker == 0 &&
        find_restart_markers(ctx.stream->next, ctx.stream->data_end, wanted, threads - 1, starts);
    for (int32_t i = 1; split && i < threads; ++i) parts[i].start = starts[i - 1];
  }
  if (split) split = set_up_parts(ctx, parts, threads);
  if (split && indexing) {
    // The index's grid of checkpoints settled, and the checkpoints of rows
    // that two runs share allocated, before the runs record rows.
    index_known(ctx, 0, 1);
    for (int32_t i = 1; i < threads; ++i) {
      const int64_t row = parts[i].first_mcu / ctx.per_row;
      if (parts[i].first_mcu % ctx.per_row != 0 && row < kIndexRows &&
          !index_prepare_row(ctx, static_cast<int32_t>(row))) {
        indexing = false;  // out of memory for it: the read goes on without the index
      }
    }
  }
  for (int32_t i = 0; split && i < threads; ++i) parts[i].indexing = indexing;

  bool whole = false;
  if (split) {
    // The runs go to as many threads as the machine runs at once (more
    // would only take turns): thread t takes runs t, t + n, t + 2n...
    const int32_t pool = thread_pool(p->threads < threads ? p->threads : threads);
    auto take_runs = [parts, threads, pool](int32_t first) {
      for (int32_t i = first; i < threads; i += pool) run_part(&parts[i]);
    };
    run_on_threads(pool, take_runs);
    bool faulted = false;
    for (int32_t i = 0; i < threads; ++i) faulted |= parts[i].status == JpegExceptionDetected;
    whole = parts[threads - 1].status == JpegSuccess;
    for (int32_t i = 0; whole && i + 1 < threads; ++i) {
      whole = seam_holds(parts[i], parts[i + 1], ctx.stream->data_ended);
    }
    if (whole) {
      // The stream and predictions stand where one thread would leave them.
      const Part& last = parts[threads - 1];
      p->stream = last.props->stream;
      memcpy(ctx.header->dc_pred, last.header.dc_pred, sizeof ctx.header->dc_pred);
      ctx.header->resume_col = ctx.header->resume_row = 0;
      if (indexing) {
        // Every row the runs recorded: the index covers the scan as one
        // thread's would.
        RestartIndex* index = p->restart_index;
        const int32_t rows = ctx.rows < kIndexRows ? ctx.rows : kIndexRows;
        if (index->rows_touched < rows) index->rows_touched = rows;
        bool every_row = ctx.rows <= kIndexRows;
        for (int32_t row = 0; every_row && row < rows; ++row) every_row = index_known(ctx, row);
        index->whole_scan = every_row;
      }
    }
    for (int32_t i = 0; i < threads; ++i) {
      free_job_state(parts[i].props);
      parts[i].props = nullptr;
    }
    if (faulted || whole) {
      free(parts);
      return faulted ? JpegExceptionDetected : JpegSuccess;
    }
    // Written over by the runs: grey again where one thread would leave it
    // so (a background painted at the end covers only what is unwritten),
    // and the index as the scan's start left it.
    if (!p->prefill_deferred) prefill_grey(p);
    if (indexing) {
      RestartIndex* index = p->restart_index;
      index->rows_touched = ctx.rows < kIndexRows ? ctx.rows : kIndexRows;
      reset_restart_index(p);
      index_save(ctx, 0);
      for (int16_t& pred : index->entries[0].dc_pred) pred = 0;
    }
  } else {
    for (int32_t i = 0; i < threads; ++i) {
      free_job_state(parts[i].props);
    }
  }
  free(parts);
  // Markers not where they should be, a failure or damage: one thread, from
  // the scan's start (the job's own state was never touched).
  return decode_scan_sequential(ctx, indexing);
}

}  // namespace jpegcodec
