// One sequential scan decoded by several threads: takes the scan context of
// a whole-image read, gives the image and the stream's state after the scan
// exactly as decode_scan_sequential gives them. Called by decode_scan.
//
// Restart markers cut a scan's entropy-coded data into intervals that decode
// alone: each starts on a byte of its own, with zero predictions and no bits
// held. The markers are found by one pass over the bytes (the data's own
// 0xFF bytes are followed by a stuffed zero), and each thread takes a run of
// whole intervals (four runs a thread, taken in turn) and writes its MCUs
// into the caller's image, which no two threads share a pixel of. Nothing is guessed: where one
// thread's run ends, the state it leaves after reading the restart marker must be the state the
// next thread started from (the marker's place, nothing pending, no damage
// met). Otherwise (markers missing, out of order or damaged data), or when a
// thread fails, the scan is decoded again by the calling thread alone, whose
// pixels and status the read then gives.
//
// A scan without restart markers (most photographs) is a pipeline of MCU
// rows instead: the calling thread decodes the entropy-coded data row after
// row into a ring of rows, in the order and with the stops one thread has,
// and another thread transforms and writes them; the calling thread writes
// rows too whenever three wait, so that neither idles.
//
// A progressive image's rows, once its scans are decoded, are written by
// the threads in turn (write_rows_on_threads).

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "jpeg/cpu/guard.h"
#include "jpeg/decode/scan_context.h"

namespace jpegcodec {

namespace {

// Images below this size are decoded by one thread: starting others costs
// more than they save.
constexpr int64_t kThreadPixels = int64_t{1} << 19;
constexpr int32_t kMostThreads = 64;

// One thread's run of intervals and what it decodes them with: a copy of
// the job's state with a stream and an MCU buffer of its own.
struct Part {
  int64_t first_mcu;
  int64_t stop_mcu;
  const uint8_t* start;  // its first byte: the scan's start, or after a restart marker
  JPEG_PROPERTIES* props;
  ScanHeader header;
  ScanContext ctx;
  bool indexing;  // records its rows in the region index
  JpegStatus status;
};

// Threads for the job: its own count, no more than the machine has cores.
int32_t thread_pool(const JPEG_PROPERTIES* p) {
  const unsigned cores = std::thread::hardware_concurrency();
  const int32_t asked = p->threads < kMostThreads ? p->threads : kMostThreads;
  return cores != 0 && unsigned(asked) > cores ? static_cast<int32_t>(cores) : asked;
}

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
  int64_t runs = int64_t{4} * thread_pool(p);
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
  const JPEG_PROPERTIES* p = ctx.props;
  for (int32_t i = 0; i < count; ++i) {
    Part& part = parts[i];
    part.props = static_cast<JPEG_PROPERTIES*>(codec_malloc(sizeof(JPEG_PROPERTIES)));
    if (part.props == nullptr) return false;
    memcpy(part.props, p, sizeof(JPEG_PROPERTIES));
    part.props->mcu_buffer =
        static_cast<int16_t*>(codec_calloc(kMcuBufferBlocks * 64, sizeof(int16_t)));
    part.props->mcu_samples = part.props->mcu_buffer;
    if (part.props->mcu_buffer == nullptr) return false;
    part.header = *ctx.header;
    part.header.resume_col = static_cast<int32_t>(part.first_mcu % ctx.per_row);
    part.header.resume_row = static_cast<int32_t>(part.first_mcu / ctx.per_row);
    InputStream& s = part.props->stream;
    if (i > 0) {
      // Just after a restart marker: nothing held, nothing predicted.
      for (int32_t& pred : part.header.dc_pred) pred = 0;
      s.next = part.start;
      s.consumed = static_cast<int32_t>(part.start - s.data_start);
      s.available = s.data_size - s.consumed;
      s.bit_acc = 0;
      s.bit_count = 0;
      s.pending_marker = 0;
    }
    part.ctx = ctx;
    part.ctx.props = part.props;
    part.ctx.stream = &part.props->stream;
    part.ctx.header = &part.header;
    part.ctx.index_shared = true;
    part.status = JpegSuccess;
  }
  return true;
}

// Whether run i ended where run i + 1 began, as one thread would have gone on.
bool seam_holds(const Part& before, const Part& after, int32_t data_ended) {
  const InputStream& s = before.props->stream;
  return before.status == JpegSuccess && s.next == after.start && s.pending_marker == 0 &&
         s.bit_count == 0 && s.data_ended == data_ended;
}

}  // namespace

// ---- the pipeline of MCU rows ------------------------------------------------

namespace {

// A lock and a condition, of POSIX threads: the standard library's lock
// types would leave their own functions among the library's symbols.
struct Signal {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  void lock() { pthread_mutex_lock(&mutex); }
  void unlock() { pthread_mutex_unlock(&mutex); }
  void wait() { pthread_cond_wait(&changed, &mutex); }  // with the lock held
  void notify() { pthread_cond_broadcast(&changed); }
  ~Signal() {
    pthread_cond_destroy(&changed);
    pthread_mutex_destroy(&mutex);
  }
};

// The lock held while it lives.
struct Held {
  explicit Held(Signal& held) : signal(held) { signal.lock(); }
  ~Held() { signal.unlock(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  Signal& signal;
};

constexpr int32_t kRingSlots = 8;

// Rows of coefficients between the decoding thread and the writing ones:
// row r sits in slot r % slots until it is written.
struct RowRing {
  int16_t* values;
  int64_t row_values;  // per_row MCUs of 64 x plan_blocks values
  int32_t slots;
  Signal signal;                  // guards the counts and slots below
  int32_t published = 0;          // rows decoded (in order), ready to write
  std::atomic<int32_t> ready{0};  // `published`, for a writer that waits without the lock
  int32_t claimed = 0;            // rows taken for writing (in order)
  bool finished = false;          // no more rows come
  bool faulted = false;           // writing a row met a fault
  bool busy[kRingSlots] = {};     // a slot holds a row not yet written
  int32_t first_col[kRingSlots] = {}, count[kRingSlots] = {};
  bool whole[kRingSlots] = {};  // the row was decoded to its end, nothing stopping it
};

// Writes MCUs of `row` from its slot, in batches the writers take.
void write_row(ScanContext& ctx, BatchWriter writer, RowRing& ring, int32_t row) {
  const int32_t slot = row % ring.slots;
  int16_t* const values = ring.values + ring.row_values * slot;
  const int32_t room = 64 * ctx.plan_blocks;
  const int32_t batch =
      kMcuBufferBlocks / ctx.plan_blocks > 0 ? kMcuBufferBlocks / ctx.plan_blocks : 1;
  const int32_t end = ring.first_col[slot] + ring.count[slot];
  for (int32_t col = ring.first_col[slot]; col < end; col += batch) {
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

// The ring's rows (`room` values an MCU) and a copy of the job's state for
// the writing thread; false, with nothing kept, when memory runs short.
bool set_up_ring(const ScanContext& ctx, int32_t room, RowRing& ring, JPEG_PROPERTIES*& copy) {
  ring.slots = kRingSlots;
  ring.row_values = int64_t{room} * ctx.per_row;
  ring.values = static_cast<int16_t*>(codec_malloc(sizeof(int16_t) * ring.row_values * ring.slots));
  copy = static_cast<JPEG_PROPERTIES*>(codec_malloc(sizeof(JPEG_PROPERTIES)));
  if (ring.values == nullptr || copy == nullptr) {
    free(ring.values);
    free(copy);
    ring.values = nullptr;
    copy = nullptr;
    return false;
  }
  memcpy(copy, ctx.props, sizeof(JPEG_PROPERTIES));
  return true;
}

// Records where MCU `col` of `row` starts when it is the index's next
// checkpoint, as the one-thread decoder does; out of memory for it, the
// read goes on without the index.
void checkpoint_here(ScanContext& ctx, int32_t row, int32_t col, int32_t& checkpoint,
                     bool& indexing) {
  if (col != checkpoint) return;
  checkpoint += ctx.checkpoint_spacing;
  if (index_save(ctx, row, col / ctx.checkpoint_spacing) != JpegSuccess) {
    indexing = false;
    checkpoint = ctx.per_row;
  }
}

}  // namespace

JpegStatus decode_scan_pipelined(ScanContext& ctx, bool indexing) {
  JPEG_PROPERTIES* p = ctx.props;
  const int32_t room = 64 * ctx.plan_blocks;
  RowRing ring;
  JPEG_PROPERTIES* copy = nullptr;
  if (!set_up_ring(ctx, room, ring, copy)) return decode_scan_sequential(ctx, indexing);
  ScanContext writer_ctx = ctx;
  writer_ctx.props = copy;
  writer_ctx.stream = &copy->stream;
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
    // The row's MCUs, with the stops one thread makes: the index's
    // checkpoints, restart markers, a failure, the data's end.
    int32_t checkpoint = indexing ? 0 : ctx.per_row;
    int32_t col = 0;
    while (col < ctx.per_row) {
      checkpoint_here(ctx, row, col, checkpoint, indexing);
      int32_t end = ctx.per_row;
      if (indexing && end > checkpoint) end = checkpoint;
      end = interval_end(ctx, row, col, end);
      JpegStatus status;
      col += decode_batch(ctx, col, row, end, values + int64_t{room} * col, &status);
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
      ring.first_col[slot] = 0;
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
  free(copy);
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
  if (!set_up_ring(ctx, room, ring, copy)) return decode_scan_sequential(ctx, indexing);
  ScanContext writer_ctx = ctx;
  writer_ctx.props = copy;
  writer_ctx.stream = &copy->stream;
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
    free(copy);
    return decode_scan_sequential(ctx, indexing);
  }
  int16_t* const own_buffer = p->mcu_buffer;
  JpegStatus result = JpegSuccess;
  for (int32_t row = 0; row < ctx.rows && result == JpegSuccess; ++row) {
    const int32_t slot = row % ring.slots;
    {
      Held hold(ring.signal);
      while (ring.busy[slot]) ring.signal.wait();
    }
    int16_t* const values = ring.values + ring.row_values * slot;
    int32_t checkpoint = indexing ? 0 : ctx.per_row;
    int32_t col = 0;
    for (; col < ctx.per_row; ++col) {
      checkpoint_here(ctx, row, col, checkpoint, indexing);
      p->mcu_buffer = values + int64_t{room} * col;
      JpegStatus status = decode_mcu(ctx, false);
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
    p->mcu_buffer = own_buffer;
    Held hold(ring.signal);
    ring.busy[slot] = true;
    ring.first_col[slot] = 0;
    ring.count[slot] = col;
    ring.whole[slot] = result == JpegSuccess;
    ++ring.published;
    ring.ready.store(ring.published, std::memory_order_release);
    ring.signal.notify();
  }
  p->mcu_buffer = own_buffer;
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
  free(copy);
  if (faulted) return JpegExceptionDetected;
  if (result != JpegSuccess) return result;
  if (indexing && ctx.rows <= kIndexRows) p->restart_index->whole_scan = true;
  ctx.header->resume_col = ctx.header->resume_row = 0;
  return JpegSuccess;
}

JpegStatus decode_scan_sequential_threads(ScanContext& ctx, bool indexing) {
  const int32_t threads = split_runs(ctx);
  if (threads <= 1) {
    if (pipeline_applies(ctx)) return decode_scan_pipelined(ctx, indexing);
    if (smooth_pipeline_applies(ctx)) return decode_scan_smoothed(ctx, indexing);
    return decode_scan_sequential(ctx, indexing);
  }
  JPEG_PROPERTIES* p = ctx.props;
  const int64_t interval = ctx.header->restart_interval;
  const int64_t mcus = int64_t{ctx.per_row} * ctx.rows;
  const int64_t intervals = (mcus + interval - 1) / interval;

  // Runs of whole intervals, as even as they come.
  Part* parts = static_cast<Part*>(codec_calloc(threads, sizeof(Part)));
  if (parts == nullptr) return decode_scan_sequential(ctx, indexing);
  int64_t wanted[kMostThreads];
  const uint8_t* starts[kMostThreads];
  for (int32_t i = 0; i < threads; ++i) {
    const int64_t first = intervals * i / threads, stop = intervals * (i + 1) / threads;
    parts[i].first_mcu = first * interval;
    parts[i].stop_mcu = stop * interval < mcus ? stop * interval : mcus;
    parts[i].props = nullptr;
    if (i > 0) wanted[i - 1] = first;
  }
  parts[0].start = ctx.stream->next;
  bool split =
      ctx.stream->bit_count == 0 && ctx.stream->pending_marker == 0 &&
      find_restart_markers(ctx.stream->next, ctx.stream->data_end, wanted, threads - 1, starts);
  for (int32_t i = 1; split && i < threads; ++i) parts[i].start = starts[i - 1];
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
    const int32_t pool = thread_pool(p) < threads ? thread_pool(p) : threads;
    auto take_runs = [parts, threads, pool](int32_t first) {
      for (int32_t i = first; i < threads; i += pool) run_part(&parts[i]);
    };
    std::thread others[kMostThreads];
    bool started[kMostThreads] = {};
    for (int32_t t = 1; t < pool; ++t) {
      try {
        others[t] = std::thread(take_runs, t);
        started[t] = true;
      } catch (...) {
        // No thread to be had: the calling thread takes those runs too.
      }
    }
    take_runs(0);
    for (int32_t t = 1; t < pool; ++t) {
      if (started[t]) {
        others[t].join();
      } else {
        take_runs(t);
      }
    }
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
      free(parts[i].props->mcu_buffer);
      free(parts[i].props);
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
      if (parts[i].props == nullptr) continue;
      free(parts[i].props->mcu_buffer);
      free(parts[i].props);
    }
  }
  free(parts);
  // Markers not where they should be, a failure or damage: one thread, from
  // the scan's start (the job's own state was never touched).
  return decode_scan_sequential(ctx, indexing);
}

// ---- rows written on several threads ---------------------------------------

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
  const unsigned cores = std::thread::hardware_concurrency();
  int32_t threads = p->threads < kMostThreads ? p->threads : kMostThreads;
  if (cores != 0 && unsigned(threads) > cores) threads = int32_t(cores);
  if (threads > rows / 2) threads = rows / 2;
  const bool worth = int64_t{p->jpeg_width} * p->jpeg_height >= kThreadPixels;
  RowTeam* team = threads > 1 && worth
                      ? static_cast<RowTeam*>(codec_calloc(threads, sizeof(RowTeam)))
                      : nullptr;
  std::atomic<int32_t> next_row{0};
  int32_t ready = 0;
  for (; team != nullptr && ready < threads; ++ready) {
    RowTeam& member = team[ready];
    member.props = static_cast<JPEG_PROPERTIES*>(codec_malloc(sizeof(JPEG_PROPERTIES)));
    int16_t* buffer = static_cast<int16_t*>(codec_calloc(kMcuBufferBlocks * 64, sizeof(int16_t)));
    if (member.props == nullptr || buffer == nullptr) {
      free(member.props);
      free(buffer);
      break;
    }
    memcpy(member.props, p, sizeof(JPEG_PROPERTIES));
    member.props->mcu_buffer = member.props->mcu_samples = buffer;
    member.ctx = ctx;
    member.ctx.props = member.props;
    member.ctx.stream = &member.props->stream;
    member.next_row = &next_row;
    member.rows = rows;
    member.write = write;
  }
  if (ready < 2) {
    // One thread: the rows in order, on the job's own state.
    for (int32_t i = 0; i < ready; ++i) {
      free(team[i].props->mcu_buffer);
      free(team[i].props);
    }
    free(team);
    for (int32_t row = 0; row < rows; ++row) write(ctx, row);
    return JpegSuccess;
  }
  std::thread others[kMostThreads];
  bool started[kMostThreads] = {};
  for (int32_t i = 1; i < ready; ++i) {
    try {
      others[i] = std::thread(write_team_rows, &team[i]);
      started[i] = true;
    } catch (...) {
      // Fewer threads: the others take its rows.
    }
  }
  write_team_rows(&team[0]);
  bool faulted = false;
  for (int32_t i = 0; i < ready; ++i) {
    if (i > 0 && started[i]) others[i].join();
    faulted |= team[i].faulted;
    free(team[i].props->mcu_buffer);
    free(team[i].props);
  }
  free(team);
  return faulted ? JpegExceptionDetected : JpegSuccess;
}

}  // namespace jpegcodec
