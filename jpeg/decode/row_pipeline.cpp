// Threaded decoding by rows: takes the scan context of a whole-image read,
// gives the image as one thread gives it. Called by the threaded scan
// decoder (parallel_scan.cpp) and the coefficient store's output.
//
// A sequential scan without restart markers (most photographs) is a
// pipeline of MCU rows: the calling thread decodes the entropy-coded data
// row after row into a ring of rows, in the order and with the stops one
// thread has, and another thread transforms and writes them; the calling
// thread writes rows too whenever three wait, so that neither idles.
// Through the smoothing upsampler, which needs each row's neighbours, the
// other thread writes the rows strictly in order. A progressive image's
// rows, once its scans are decoded, are written by the threads in turn.

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "jpeg/cpu/guard.h"
#include "jpeg/decode/scan_context.h"
#include "jpeg/decode/threads.h"

namespace jpegcodec {

namespace {

constexpr int32_t kRingSlots = 8;

// Rows of coefficients between the decoding thread and the writing ones:
// row r sits in slot r % slots until it is written.
struct RowRing {
  int16_t* values;
  int64_t row_values;  // per_row MCUs of 64 x plan_blocks values
  int32_t slots;
  Signal signal;                   // guards the counts and slots below
  int32_t published = 0;           // rows decoded (in order), ready to write
  std::atomic<int32_t> ready{0};   // `published`, for a writer that waits without the lock
  int32_t claimed = 0;             // rows taken for writing (in order)
  bool finished = false;           // no more rows come
  bool faulted = false;            // writing a row met a fault
  bool busy[kRingSlots] = {};      // a slot holds a row not yet written
  int32_t count[kRingSlots] = {};  // MCUs of the row to write, from its first
  bool whole[kRingSlots] = {};     // the row was decoded to its end, nothing stopping it
};

// Writes MCUs of `row` from its slot, in batches the writers take.
void write_row(ScanContext& ctx, BatchWriter writer, RowRing& ring, int32_t row) {
  const int32_t slot = row % ring.slots;
  int16_t* const values = ring.values + ring.row_values * slot;
  const int32_t room = 64 * ctx.plan_blocks;
  const int32_t batch =
      kMcuBufferBlocks / ctx.plan_blocks > 0 ? kMcuBufferBlocks / ctx.plan_blocks : 1;
  const int32_t end = ring.count[slot];
  for (int32_t col = 0; col < end; col += batch) {
    const int32_t count = end - col < batch ? end - col : batch;
    write_batch(ctx, writer, col, row, count, values + int64_t{room} * col);
  }
  Held hold(ring.signal);
  ring.busy[slot] = false;
  ring.signal.notify();
}

// Takes the next row waiting to be written, if any (with `wait`, waits for
// one until no more come); -1 when none.
int32_t claim_row(RowRing& ring, bool wait) {
  Held hold(ring.signal);
  if (wait && ring.claimed >= ring.published && !ring.finished) {
    // A row takes tens of microseconds: waking a sleeping thread for each
    // would cost a good part of that. Watch for the next a while first.
    const int32_t seen = ring.claimed;
    ring.signal.unlock();
    for (int32_t spin = 0; spin < 4000 && ring.ready.load(std::memory_order_acquire) <= seen;
         ++spin) {
      std::this_thread::yield();
    }
    ring.signal.lock();
    while (ring.claimed >= ring.published && !ring.finished) ring.signal.wait();
  }
  if (ring.claimed >= ring.published) return -1;
  return ring.claimed++;
}

// write_row under a fault guard of the calling thread's own: a fault (a
// write through a bad image pointer) gives false, the slot freed.
bool write_row_guarded(ScanContext& ctx, BatchWriter writer, RowRing& ring, int32_t row) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    Held hold(ring.signal);
    ring.busy[row % ring.slots] = false;
    ring.faulted = true;
    ring.signal.notify();
    return false;
  }
  write_row(ctx, writer, ring, row);
  guard_pop(&frame);
  return true;
}

// The writing thread: rows as they come, on its own copy of the job's state.
void write_rows(ScanContext* ctx, BatchWriter writer, RowRing* ring) {
  for (int32_t row; (row = claim_row(*ring, true)) >= 0;) {
    write_row_guarded(*ctx, writer, *ring, row);
  }
}

// The writing thread of a scan through the smoothing upsampler: rows in
// order, MCU by MCU, as one thread reconstructs them (the upsampler keeps
// rows of samples and writes each MCU once the ones right of and below it
// are in), the column flush after each whole row. Under a fault guard: a
// fault leaves the rows to be taken and dropped, so that the decoding
// thread never waits.
void smooth_rows(ScanContext* ctx, RowRing* ring) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    {
      Held hold(ring->signal);
      ring->faulted = true;
      for (bool& busy : ring->busy) busy = false;
      ring->signal.notify();
    }
    for (int32_t row; (row = claim_row(*ring, true)) >= 0;) {
      Held hold(ring->signal);
      ring->busy[row % ring->slots] = false;
      ring->signal.notify();
    }
    return;
  }
  const int32_t room = 64 * ctx->blocks_per_mcu;
  for (int32_t row; (row = claim_row(*ring, true)) >= 0;) {
    const int32_t slot = row % ring->slots;
    int16_t* const values = ring->values + ring->row_values * slot;
    for (int32_t col = 0; col < ring->count[slot]; ++col) {
      int16_t* mcu = values + int64_t{room} * col;
      ctx->props->mcu_samples = mcu;
      reconstruct_mcu(*ctx, col, row, mcu, false);
    }
    ctx->props->mcu_samples = ctx->props->mcu_buffer;
    if (ring->whole[slot] && ctx->column_delay) {
      reconstruct_mcu(*ctx, ctx->per_row, row, ctx->props->mcu_buffer, false);
    }
    Held hold(ring->signal);
    ring->busy[slot] = false;
    ring->signal.notify();
  }
  guard_pop(&frame);
}

// The ring's rows (`room` values an MCU), and a copy of the job's state and
// a scan context on it for the writing thread; false, with nothing kept,
// when memory runs short.
bool set_up_ring(const ScanContext& ctx, int32_t room, RowRing& ring, JPEG_PROPERTIES*& copy,
                 ScanContext& writer_ctx) {
  ring.slots = kRingSlots;
  ring.row_values = int64_t{room} * ctx.per_row;
  ring.values = static_cast<int16_t*>(codec_malloc(sizeof(int16_t) * ring.row_values * ring.slots));
  copy = ring.values != nullptr ? copy_job_state(ctx, &writer_ctx) : nullptr;
  if (copy == nullptr) {
    free(ring.values);
    ring.values = nullptr;
    return false;
  }
  return true;
}

}  // namespace

// Whether a pipeline serves the read: a whole image decoded in batches
// (no smoothing, interrupt mode or coefficient output), every component in
// the scan, large enough to gain.
bool pipeline_applies(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  const ScanHeader* scan = ctx.header;
  return p->threads > 1 && batches_apply(ctx) && scan->resume_col == 0 && scan->resume_row == 0 &&
         scan->component_count == p->frame.component_count && ctx.rows >= 2 &&
         int64_t{p->jpeg_width} * p->jpeg_height >= kThreadPixels;
}

// Whether a pipeline through the smoothing upsampler serves the read: the
// same, with the upsampler's lag of a column and a row instead of batches.
bool smooth_pipeline_applies(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  const ScanHeader* scan = ctx.header;
  return p->threads > 1 && (ctx.column_delay || ctx.row_delay) && p->interrupt_mode == 0 &&
         ctx.coef == nullptr && ctx.blocks_per_mcu <= kMcuBufferBlocks && scan->resume_col == 0 &&
         scan->resume_row == 0 && scan->component_count == p->frame.component_count &&
         ctx.rows >= 2 && int64_t{p->jpeg_width} * p->jpeg_height >= kThreadPixels;
}

JpegStatus decode_scan_pipelined(ScanContext& ctx, bool indexing) {
  JPEG_PROPERTIES* p = ctx.props;
  const int32_t room = 64 * ctx.plan_blocks;
  RowRing ring;
  JPEG_PROPERTIES* copy = nullptr;
  ScanContext writer_ctx;
  if (!set_up_ring(ctx, room, ring, copy, writer_ctx)) return decode_scan_sequential(ctx, indexing);
  const BatchWriter writer = batch_writer_for(ctx);
  std::thread other;
  bool started = false;
  try {
    other = std::thread(write_rows, &writer_ctx, writer, &ring);
    started = true;
  } catch (...) {
    // No thread to be had: the calling thread writes every row.
  }

  ScanHeader* scan = ctx.header;
  JpegStatus result = JpegSuccess;
  for (int32_t row = 0; row < ctx.rows && result == JpegSuccess; ++row) {
    const int32_t slot = row % ring.slots;
    {
      // The slot's last row must be written first; the calling thread
      // writes rows itself while it waits.
      Held hold(ring.signal);
      while (ring.busy[slot]) {
        if (ring.claimed < ring.published) {
          const int32_t waiting = ring.claimed++;
          ring.signal.unlock();
          write_row_guarded(ctx, writer, ring, waiting);
          ring.signal.lock();
        } else {
          ring.signal.wait();
        }
      }
    }
    int16_t* const values = ring.values + ring.row_values * slot;
    // The row's MCUs, with the stops one thread makes: restart markers, a
    // failure, the data's end; the index's checkpoints recorded as it does.
    RowCheckpoints checkpoints = row_checkpoints(ctx, indexing, 0);
    int32_t col = 0;
    while (col < ctx.per_row) {
      int32_t end = interval_end(ctx, row, col, ctx.per_row);
      JpegStatus status;
      col += decode_batch_indexed(ctx, col, row, end, values + int64_t{room} * col, &status,
                                  nullptr, checkpoints, indexing);
      // An MCU that failed is not written; where the data ended, what
      // follows stays grey.
      if (status == JpegSuccess && scan_data_ended(ctx)) status = JpegEofError;
      if (status != JpegSuccess) {
        p->written_until[0] = col;
        p->written_until[1] = row;
        result = status;
        break;
      }
    }
    bool help = false;
    {
      Held hold(ring.signal);
      ring.busy[slot] = true;
      ring.count[slot] = col;
      ++ring.published;
      ring.ready.store(ring.published, std::memory_order_release);
      help = ring.published - ring.claimed >= 3;
      ring.signal.notify();
    }
    // Rows wait: the calling thread writes the oldest.
    if (help) {
      const int32_t waiting = claim_row(ring, false);
      if (waiting >= 0) write_row_guarded(ctx, writer, ring, waiting);
    }
  }
  {
    Held hold(ring.signal);
    ring.finished = true;
    ring.ready.store(ring.published + 1, std::memory_order_release);
    ring.signal.notify();
  }
  for (int32_t row; (row = claim_row(ring, false)) >= 0;) write_row_guarded(ctx, writer, ring, row);
  if (started) other.join();
  free(ring.values);
  free_job_state(copy);
  if (ring.faulted) return JpegExceptionDetected;
  if (result != JpegSuccess) return result;
  if (indexing && ctx.rows <= kIndexRows) p->restart_index->whole_scan = true;
  scan->resume_col = scan->resume_row = 0;
  return JpegSuccess;
}

// The scan through the smoothing upsampler as a pipeline: the calling
// thread decodes MCU by MCU (as one thread does when the upsampler lags)
// into a ring of rows, the other reconstructs and writes them in order.
JpegStatus decode_scan_smoothed(ScanContext& ctx, bool indexing) {
  JPEG_PROPERTIES* p = ctx.props;
  const int32_t room = 64 * ctx.blocks_per_mcu;
  RowRing ring;
  JPEG_PROPERTIES* copy = nullptr;
  ScanContext writer_ctx;
  if (!set_up_ring(ctx, room, ring, copy, writer_ctx)) return decode_scan_sequential(ctx, indexing);
  std::thread other;
  bool started = false;
  try {
    other = std::thread(smooth_rows, &writer_ctx, &ring);
    started = true;
  } catch (...) {
    // No thread to be had: one thread decodes the scan.
  }
  if (!started) {
    free(ring.values);
    free_job_state(copy);
    return decode_scan_sequential(ctx, indexing);
  }
  JpegStatus result = JpegSuccess;
  for (int32_t row = 0; row < ctx.rows && result == JpegSuccess; ++row) {
    const int32_t slot = row % ring.slots;
    {
      Held hold(ring.signal);
      while (ring.busy[slot]) ring.signal.wait();
    }
    int16_t* const values = ring.values + ring.row_values * slot;
    RowCheckpoints checkpoints = row_checkpoints(ctx, indexing, 0);
    int32_t col = 0;
    for (; col < ctx.per_row; ++col) {
      checkpoint_at(ctx, row, col, checkpoints, indexing);
      JpegStatus status = decode_mcu(ctx, false, values + int64_t{room} * col);
      if (status >= 0) status = restart_check(ctx, ctx.per_row, ctx.rows, col, row);
      if (status != JpegSuccess) {
        // Not written, as one thread leaves it.
        p->written_until[0] = col;
        p->written_until[1] = row;
        result = status;
        break;
      }
      // The data ended in this MCU: it is written, what follows stays grey.
      if (scan_data_ended(ctx)) {
        ++col;
        p->written_until[0] = col;
        p->written_until[1] = row;
        result = JpegEofError;
        break;
      }
    }
    Held hold(ring.signal);
    ring.busy[slot] = true;
    ring.count[slot] = col;
    ring.whole[slot] = result == JpegSuccess;
    ++ring.published;
    ring.ready.store(ring.published, std::memory_order_release);
    ring.signal.notify();
  }
  {
    Held hold(ring.signal);
    ring.finished = true;
    ring.ready.store(ring.published + 1, std::memory_order_release);
    ring.signal.notify();
  }
  other.join();
  const bool faulted = ring.faulted;
  if (result == JpegSuccess && !faulted) {
    // The upsampler's last row and column, as one thread flushes them.
    if (ctx.row_delay) {
      for (int32_t col = 0; col < ctx.per_row; ++col) {
        reconstruct_mcu(writer_ctx, col, ctx.rows, copy->mcu_buffer, false);
      }
      if (ctx.column_delay) {
        reconstruct_mcu(writer_ctx, ctx.per_row, ctx.rows, copy->mcu_buffer, false);
      }
    }
  }
  free(ring.values);
  free_job_state(copy);
  if (faulted) return JpegExceptionDetected;
  if (result != JpegSuccess) return result;
  if (indexing && ctx.rows <= kIndexRows) p->restart_index->whole_scan = true;
  ctx.header->resume_col = ctx.header->resume_row = 0;
  return JpegSuccess;
}

namespace {

struct RowTeam {
  ScanContext ctx;  // on the thread's own copy of the job's state
  JPEG_PROPERTIES* props;
  std::atomic<int32_t>* next_row;
  int32_t rows;
  void (*write)(ScanContext&, int32_t);
  bool faulted;
};

// Takes rows a few at a time until none are left, under a fault guard.
void write_team_rows(RowTeam* member) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    member->faulted = true;
    return;
  }
  constexpr int32_t kRowsAtOnce = 2;
  for (;;) {
    const int32_t first = member->next_row->fetch_add(kRowsAtOnce);
    if (first >= member->rows) break;
    const int32_t last = first + kRowsAtOnce < member->rows ? first + kRowsAtOnce : member->rows;
    for (int32_t row = first; row < last; ++row) member->write(member->ctx, row);
  }
  guard_pop(&frame);
}

}  // namespace

JpegStatus write_rows_on_threads(ScanContext& ctx, int32_t rows,
                                 void (*write)(ScanContext&, int32_t)) {
  const JPEG_PROPERTIES* p = ctx.props;
  int32_t threads = thread_pool(p->threads);
  if (threads > rows / 2) threads = rows / 2;
  const bool worth = int64_t{p->jpeg_width} * p->jpeg_height >= kThreadPixels;
  RowTeam* team = threads > 1 && worth
                      ? static_cast<RowTeam*>(codec_calloc(threads, sizeof(RowTeam)))
                      : nullptr;
  std::atomic<int32_t> next_row{0};
  int32_t ready = 0;
  for (; team != nullptr && ready < threads; ++ready) {
    RowTeam& member = team[ready];
    member.props = copy_job_state(ctx, &member.ctx);
    if (member.props == nullptr) break;
    member.next_row = &next_row;
    member.rows = rows;
    member.write = write;
  }
  if (ready < 2) {
    // One thread: the rows in order, on the job's own state.
    for (int32_t i = 0; i < ready; ++i) free_job_state(team[i].props);
    free(team);
    for (int32_t row = 0; row < rows; ++row) write(ctx, row);
    return JpegSuccess;
  }
  run_on_threads(ready, [team](int32_t i) { write_team_rows(&team[i]); });
  bool faulted = false;
  for (int32_t i = 0; i < ready; ++i) {
    faulted |= team[i].faulted;
    free_job_state(team[i].props);
  }
  free(team);
  return faulted ? JpegExceptionDetected : JpegSuccess;
}

}  // namespace jpegcodec
