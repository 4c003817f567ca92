// The scans of a progressive frame decoded by several threads at once. The
// parser reads the file as one thread would and hands each scan, with a
// copy of the job's state as it stood there (tables, the stream at the
// scan's data), to the team instead of decoding it; the parser passes over
// the scan's data to the next marker and goes on. A scan waits only for
// the earlier scans whose coefficients it shares, and for them row by row:
// it decodes an MCU row once they have done that row (a scan of other
// components, or a DC refinement beside an AC band, goes at once), so that
// the scans of one component follow each other down the image. Nothing
// is guessed: a scan that does not end as one thread would have decoded it
// (its data damaged, cut short, its restart markers out of order) makes the
// read start again from the first scan with one thread. Called by the read
// driver.

#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <climits>
#include <thread>

#include "jpeg/cpu/guard.h"
#include "jpeg/decode/scan.h"
#include "jpeg/decode/scan_context.h"
#include "jpeg/decode/threads.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/tables.h"

namespace jpegcodec {

namespace {

// More scans than a progressive script has: the team stops taking scans
// there, and the later ones are decoded as they come, once the team is done.
constexpr int32_t kMostScans = 64;

enum class ScanKind { DcFirst, DcRefine, Ac };

struct ScanTask {
  JPEG_PROPERTIES* state;  // the job's state as the scan began, an MCU buffer of its own
  ScanHeader header;
  ScanComponent components[4];
  uint32_t component_bits;
  int32_t blocks;  // of an MCU, in the scan's components
  ScanKind kind;
  uint64_t after;  // the earlier scans it follows (bit i: scan i)
  JpegStatus status;
  int32_t data_ended;
  bool started;
};

// Whether a scan must wait for an earlier one: both touch a component, and
// not as a DC refinement (the DC coefficient alone) beside an AC band
// (the others, and the block's mask of non-zero coefficients).
bool waits_for(const ScanTask& later, const ScanTask& earlier) {
  if ((later.component_bits & earlier.component_bits) == 0) return false;
  const bool apart = (later.kind == ScanKind::DcRefine && earlier.kind == ScanKind::Ac) ||
                     (later.kind == ScanKind::Ac && earlier.kind == ScanKind::DcRefine);
  return !apart;
}

// A pointer into the job's state, moved onto the copy.
template <typename T>
T* moved_onto(T* pointer, const JPEG_PROPERTIES* from, JPEG_PROPERTIES* to) {
  const auto at = reinterpret_cast<uintptr_t>(pointer);
  const auto start = reinterpret_cast<uintptr_t>(from);
  if (at < start || at >= start + sizeof(JPEG_PROPERTIES)) return pointer;
  return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(to) + (at - start));
}

}  // namespace

// What a scan that follows others watches: their rows done.
struct ScanGate {
  std::atomic<int32_t>* rows_done;  // the team's, by scan
  int32_t index;
  uint64_t after;
};

void gate_wait(const ScanGate* gate, int32_t row) {
  for (uint64_t left = gate->after; left != 0; left &= left - 1) {
    const std::atomic<int32_t>& done = gate->rows_done[__builtin_ctzll(left)];
    // A row is some tens of microseconds: the wait is short, and yields.
    for (int32_t spins = 0; done.load(std::memory_order_acquire) <= row; ++spins) {
      if (spins < 64) continue;
      std::this_thread::yield();
    }
  }
}

void gate_done(ScanGate* gate, int32_t row) {
  gate->rows_done[gate->index].store(row + 1, std::memory_order_release);
}

namespace {

// Decodes a task's scan into the store, under a fault guard of its own;
// when it ends, however it ends, the scans that follow it go on.
void run_task(ScanTask* task, ScanGate* gate) {
  JPEG_PROPERTIES* q = task->state;
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    task->status = JpegExceptionDetected;
    return;
  }
  q->stream.data_ended &= ~kScanBits;
  q->stream.bit_count = 0;
  ScanContext ctx{};
  set_up_scan(ctx, q, &task->header);
  ctx.gate = gate;
  task->status = decode_scan_stored(ctx);
  task->data_ended = q->stream.data_ended;
  guard_pop(&frame);
}

// The image's rows written by the team once the image's end is reached:
// each as soon as every scan has done it (rows that may go in any order).
struct TeamOutput {
  ScanHeader scan;
  ScanContext ctx;  // on the job, for the calling thread
  ScanContext copy_ctx[kMostThreads];
  JPEG_PROPERTIES* copies[kMostThreads] = {};
  int32_t rows = 0;
  int32_t next = 0;     // rows taken
  int32_t written = 0;  // rows written (or met a fault)
  bool faulted = false;
};

// A row of the image under a fault guard of the calling thread's own:
// false when writing it met a fault.
bool write_row_guarded(ScanContext& ctx, int32_t row) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) return false;
  write_stored_row(ctx, row);
  guard_pop(&frame);
  return true;
}

}  // namespace

struct ScanTeam {
  Signal signal;
  ScanTask tasks[kMostScans];
  std::atomic<int32_t> rows_done[kMostScans];
  uint64_t started_scans = 0;
  int32_t count = 0;
  int32_t family = 0;  // the transforms chosen for the scans
  uint64_t done = 0;
  bool closed = false;  // every scan handed on
  std::thread workers[kMostThreads];
  bool started[kMostThreads] = {};
  int32_t workers_count = 0;
  TeamOutput* output = nullptr;
  void* store = nullptr;  // the coefficient store, and its bytes of coefficients
  uint64_t store_bytes = 0;
  int32_t mcu_rows = 0;

  // Whether every scan has done `row` (the lock held, every scan handed on).
  bool row_ready(int32_t row) const {
    for (int32_t i = 0; i < count; ++i) {
      if (rows_done[i].load(std::memory_order_acquire) <= row) return false;
    }
    return true;
  }

  // The task to run now, marked started; null if none may. A scan may
  // start once those it follows have started: the earliest running scan
  // never waits for one that is not, so the team always gets on. Of those
  // that may, the one most later scans follow (the chain of a component's
  // bands is what the read waits for), then the one of more blocks, then
  // the earliest.
  ScanTask* next_runnable(int32_t* index) {
    int32_t best = -1, best_followers = -1, best_blocks = -1;
    for (int32_t i = 0; i < count; ++i) {
      const ScanTask& t = tasks[i];
      if (t.started || (t.after & ~started_scans) != 0) continue;
      uint64_t followers = 0;
      for (int32_t j = i + 1; j < count; ++j) {
        if ((tasks[j].after & (followers | uint64_t{1} << i)) != 0) followers |= uint64_t{1} << j;
      }
      const int32_t n = __builtin_popcountll(followers);
      if (n > best_followers || (n == best_followers && t.blocks > best_blocks)) {
        best = i;
        best_followers = n;
        best_blocks = t.blocks;
      }
    }
    if (best < 0) return nullptr;
    ScanTask& t = tasks[best];
    t.started = true;
    started_scans |= uint64_t{1} << best;
    *index = best;
    return &t;
  }

  // Runs tasks, and writes rows once there is an output, until every one
  // is done and no more will come. Thread `slot` (0 the calling one)
  // writes on its own copy of the job's state.
  void work(int32_t slot) {
    signal.lock();
    for (;;) {
      int32_t index = 0;
      if (ScanTask* task = next_runnable(&index)) {
        signal.unlock();
        ScanGate gate{rows_done, index, task->after};
        run_task(task, &gate);
        rows_done[index].store(INT_MAX, std::memory_order_release);
        signal.lock();
        done |= uint64_t{1} << index;
        signal.notify();
        continue;
      }
      const uint64_t all = count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
      TeamOutput* out = output;
      ScanContext* own = out == nullptr ? nullptr : slot == 0 ? &out->ctx : &out->copy_ctx[slot];
      if (own != nullptr && (slot == 0 || out->copies[slot] != nullptr) && !out->faulted &&
          out->next < out->rows) {
        const int32_t row = out->next;
        if (row_ready(row)) {
          ++out->next;
          signal.unlock();
          const bool written = write_row_guarded(*own, row);
          signal.lock();
          if (!written) out->faulted = true;
          ++out->written;
          signal.notify();
          continue;
        }
        if (done != all) {
          // The scans have not done the row yet: a row is some tens of
          // microseconds, so the wait is short.
          signal.unlock();
          std::this_thread::yield();
          signal.lock();
          continue;
        }
      }
      const bool rows_over =
          out == nullptr || out->written == (out->faulted ? out->next : out->rows);
      if (closed && done == all && rows_over) break;
      signal.wait();
    }
    signal.unlock();
  }
};

bool scan_team_fits(const JPEG_PROPERTIES* p, const ScanHeader* scan) {
  if (!p->progressive_frame || p->progressive_scans != 1 || p->threads <= 1) return false;
  if (thread_pool(p->threads) < 2 || file_input(p) || region_requested(p)) return false;
  if (p->interrupt_mode != 0 || p->coef_output != nullptr) return false;
  if (int64_t{p->jpeg_width} * p->jpeg_height < kThreadPixels) return false;
  if (scan->resume_col != 0 || scan->resume_row != 0) return false;
  // What follows must be scans and their tables up to the end of the
  // image: anything else (metadata, another frame, damage that shows in
  // the markers) is read by one thread.
  const uint8_t* q = p->stream.next;
  const uint8_t* end = p->stream.data_end;
  if (q == nullptr || end == nullptr || p->stream.pending_marker != 0) return false;
  for (int32_t scans = 1; scans <= kMostScans;) {
    // The entropy-coded data up to the next marker.
    int32_t restarts = 0;
    q = entropy_data_end(q, end, &restarts);
    if (q == nullptr) return false;
    const uint8_t code = q[1];
    if (code == 0xD9) return true;  // the end of the image
    if (code != 0xC4 && code != 0xDB && code != 0xDD && code != 0xDA) return false;
    if (end - q < 4) return false;
    const int32_t length = q[2] << 8 | q[3];
    if (length < 2 || end - q - 2 < length) return false;
    q += 2 + length;
    if (code == 0xDA) ++scans;
  }
  return false;
}

ScanTeam* scan_team_start(const JPEG_PROPERTIES* p) {
  auto* team = new (std::nothrow) ScanTeam;
  if (team == nullptr) return nullptr;
  team->workers_count = thread_pool(p->threads) - 1;
  for (int32_t t = 0; t < team->workers_count; ++t) {
    try {
      team->workers[t] = std::thread([team, t] { team->work(t + 1); });
      team->started[t] = true;
    } catch (...) {
      // No thread to be had: the calling thread does its share at the end.
    }
  }
  return team;
}

bool scan_team_take(ScanTeam* team, JPEG_PROPERTIES* p, const ScanHeader* scan) {
  if (team->count == kMostScans || scan->component_count < 1 || scan->component_count > 4) {
    return false;
  }
  // What decode_scan would have set up on the job first. The routine
  // table is the threads' too: its transforms are chosen before the first
  // scan is handed on, and a later scan that would choose others goes to
  // one thread.
  const int32_t family = transform_family_for_tables(p);
  if (team->count == 0) {
    select_transform_family(p->routines, family);
    team->family = family;
  } else if (family != team->family) {
    return false;
  }
  match_quant_tables_to_family(p, family);
  p->interrupt_region[0] = p->roi_left;
  p->interrupt_region[1] = p->roi_top;
  p->interrupt_region[2] = p->roi_right;
  p->interrupt_region[3] = p->roi_bottom;
  JPEG_PROPERTIES* state = copy_job_properties(p);
  if (state == nullptr) return false;

  ScanTask task{};
  task.state = state;
  task.header = *scan;
  for (int32_t i = 0; i < scan->component_count; ++i) {
    ScanComponent c = scan->components[i];
    c.dc_table = moved_onto(c.dc_table, p, state);
    c.ac_table = moved_onto(c.ac_table, p, state);
    c.quant_table = moved_onto(c.quant_table, p, state);
    task.components[i] = c;
    task.component_bits |= 1u << (c.frame_index & 31);
    task.blocks += c.h * c.v;
  }
  task.kind =
      scan->ss != 0 ? ScanKind::Ac : (scan->ah == 0 ? ScanKind::DcFirst : ScanKind::DcRefine);
  Held held(team->signal);
  for (int32_t i = 0; i < team->count; ++i) {
    if (waits_for(task, team->tasks[i])) task.after |= uint64_t{1} << i;
  }
  team->rows_done[team->count].store(0, std::memory_order_relaxed);
  if (team->count == 0) {
    team->store = p->coef_buffer;
    team->store_bytes = static_cast<uint64_t>(p->coef_buffer_bytes);
    team->mcu_rows = p->mcu_rows;
  }
  ScanTask& taken = team->tasks[team->count++];
  taken = task;
  taken.header.components = taken.components;
  team->signal.notify();
  // The parser passes over the scan's data; the bits one thread would have
  // left are none.
  p->stream.data_ended &= ~kScanBits;
  p->stream.bit_count = 0;
  return true;
}

namespace {

// The coefficient store is first touched by the first scan, row after row,
// and each page it meets is backed with memory then (some 40 % of that
// scan's time on a large photo). The calling thread, done with parsing,
// backs the pages from the store's end towards the rows the scans have
// reached, so that the two share it.
void populate_store(ScanTeam* team) {
  constexpr uint64_t kChunk = uint64_t{2} << 20;
  if (team->store == nullptr || team->mcu_rows <= 0) return;
  for (uint64_t end = team->store_bytes; end > kChunk;) {
    int32_t reached = 0;
    for (int32_t i = 0; i < team->count; ++i) {
      const int32_t row = team->rows_done[i].load(std::memory_order_relaxed);
      if (row != INT_MAX && row > reached) reached = row;
    }
    const uint64_t front = team->store_bytes * static_cast<uint64_t>(reached + 2) /
                           static_cast<uint64_t>(team->mcu_rows);
    if (end - kChunk <= front) return;
    if (!codec_populate_large(team->store, end - kChunk, kChunk)) return;
    end -= kChunk;
  }
}

}  // namespace

bool scan_team_output(ScanTeam* team, JPEG_PROPERTIES* p) {
  // The routine table is the scans' too: the output's transforms must be
  // the ones already chosen.
  if (team == nullptr || transform_family_for_tables(p) != team->family) return false;
  {
    // Rows in any order only (nothing is set up on the job otherwise).
    ScanHeader scan{};
    ScanContext probe{};
    set_up_scan(probe, p, &scan);
    if (!stored_rows_apart(probe)) return false;
  }
  auto* out = new (std::nothrow) TeamOutput;
  if (out == nullptr) return false;
  JpegStatus status;
  if (!stored_output_begin(p, store_layout(p), out->scan, out->ctx, &status) ||
      !stored_rows_apart(out->ctx)) {
    delete out;
    return false;
  }
  out->rows = p->mcu_rows;
  // A worker without a copy writes no rows.
  for (int32_t t = 0; t < team->workers_count; ++t) {
    if (team->started[t]) out->copies[t + 1] = copy_job_state(out->ctx, &out->copy_ctx[t + 1]);
  }
  Held held(team->signal);
  team->closed = true;
  team->output = out;
  team->signal.notify();
  return true;
}

bool scan_team_finish(ScanTeam* team) {
  if (team == nullptr) return true;
  {
    Held held(team->signal);
    team->closed = true;
    team->signal.notify();
  }
  populate_store(team);
  team->work(0);
  for (int32_t t = 0; t < team->workers_count; ++t) {
    if (team->started[t]) team->workers[t].join();
  }
  bool as_one_thread = true;
  for (int32_t i = 0; i < team->count; ++i) {
    const ScanTask& task = team->tasks[i];
    if (task.status != JpegSuccess || task.data_ended != 0) as_one_thread = false;
    free_job_state(task.state);
  }
  if (TeamOutput* out = team->output) {
    // Written by the team, the image is done; a fault left it for the
    // output at the image's end, which meets it again and says so.
    if (as_one_thread && !out->faulted && out->written == out->rows) stored_output_end(out->ctx);
    for (JPEG_PROPERTIES* copy : out->copies) free_job_state(copy);
    delete out;
  }
  delete team;
  return as_one_thread;
}

}  // namespace jpegcodec
