// Runs of a sequential scan without restart markers, found by decoding from
// guessed places: takes the scan context of a whole-image read, gives
// where each run starts (its first MCU, bit and DC predictions) for the
// threaded scan decoder (parallel_scan.cpp), which decodes the runs side
// by side as it decodes runs of restart intervals.
//
// Huffman codes resynchronise: a decoder started at an arbitrary byte of
// the data, taking it for the start of an MCU, soon decodes the same codes
// at the same places as one that started at the beginning, and once both
// stand at the same bit at the start of an MCU they decode the same MCUs
// from there on (only the DC predictions differ, by a constant a
// component). So the data are cut into equal parts of bytes, and a scout
// for each part starts at its first byte and records where its first MCUs
// start. Every scout passes over its part for the DCs alone (AC symbols
// through skip tables) and goes on into the next part, looking at each
// MCU start for that place among the next scout's records; the first scout
// starts at the scan's start, so each meeting places the next part's
// records in the image, MCU count and DC predictions, one after another.
// Nothing is guessed: a part whose records no earlier scout meets within a
// few thousand MCUs is passed over by that scout, as one thread would
// have; where the chain of meetings breaks, there is no split. The
// threaded decoder still checks that each run ends where the next begins.

#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "jpeg/cpu/guard.h"
#include "jpeg/decode/scan_context.h"
#include "jpeg/decode/threads.h"

namespace jpegcodec {

namespace {

// Scans with fewer bytes a part than this are not split: a scout would be
// over before its thread had gained anything.
constexpr int64_t kPartBytes = int64_t{1} << 14;
// The MCUs a scout records from its first byte, and so how far into a part
// an earlier scout looks for one that agrees before it gives the part up.
constexpr int32_t kRecords = 4096;
// A scout this many bytes before the next part's first byte passes over an
// MCU at a time, so that it stops at every MCU start there.
constexpr int64_t kNearBytes = int64_t{1} << 12;
// MCUs a scout passes over at a time elsewhere.
constexpr int32_t kBatchMcus = 16;
// A guess that fails this often gives up its part.
constexpr int32_t kMostGuesses = 16;

// Where an MCU a scout met starts, and the DC predictions it had there.
struct McuRecord {
  int64_t bit;
  int16_t dc_pred[4];
};

struct Scouting;

struct Scout {
  Scouting* scouting;
  int32_t index;
  const uint8_t* start;  // its part's first byte
  JPEG_PROPERTIES* props;
  ScanContext ctx;
  ScanHeader header;
  SequentialBlock plan[10];  // the scan's, for DCs alone
  McuRecord records[kRecords];
  std::atomic<int32_t> published{0};  // records an earlier scout may read
  std::atomic<bool> running{false};   // more records may come
  std::atomic<bool> abandoned{false};
  int32_t guess_start = 0;  // the record the latest guess starts at
  int32_t guesses = 0;
  // Set (under the scouting's lock) by the scout that met this one's
  // records: the record met, the meeting scout and its MCU count there,
  // and the difference of their DC predictions.
  bool met = false;
  int32_t met_by = -1;
  int32_t met_record = 0;
  int64_t meeting_mcu = 0;
  int16_t dc_difference[4] = {};
  int32_t next = -1;  // the scout this one met in turn
  // Its place in the image: image MCU = own MCU count + offset.
  bool placed = false;
  int64_t offset = 0;
  int16_t dc_offset[4] = {};
};

struct Scouting {
  Scout* scouts;
  int32_t count;
  int64_t total;  // MCUs of the scan
  Signal signal;  // guards the meetings
};

enum class Look { kFar, kNear, kMet, kNothing };

// At the start of scout `me`'s MCU `mcu` (its own count): whether it is far
// from the part it looks for, near it, has met its records (the meeting
// recorded in that scout), or has no part left to look for.
Look look_for_next(Scouting& scouting, Scout& me, int32_t& target, int32_t& record, int64_t mcu) {
  const InputStream& s = *me.ctx.stream;
  while (target < scouting.count) {
    Scout& other = scouting.scouts[target];
    if (s.next + kNearBytes < other.start) return Look::kFar;
    if (other.abandoned.load(std::memory_order_acquire)) {
      ++target;
      record = 0;
      continue;
    }
    if (s.next < other.start) return Look::kNear;
    const int64_t here = stream_bit(&s);
    int32_t have = 0;
    for (;;) {
      have = other.published.load(std::memory_order_acquire);
      while (record < have && other.records[record].bit < here) ++record;
      if (record < have || !other.running.load(std::memory_order_acquire)) break;
      if (me.abandoned.load(std::memory_order_relaxed)) return Look::kNothing;
      sched_yield();
    }
    have = other.published.load(std::memory_order_acquire);
    while (record < have && other.records[record].bit < here) ++record;
    if (record < have && other.records[record].bit == here) {
      Held hold(scouting.signal);
      // A scout given up meets nothing: its MCUs are not the image's.
      if (me.abandoned.load(std::memory_order_relaxed)) return Look::kNothing;
      other.met = true;
      other.met_by = me.index;
      other.met_record = record;
      other.meeting_mcu = mcu;
      const int32_t* pred = me.ctx.header->dc_pred;
      for (int c = 0; c < 4; ++c) {
        other.dc_difference[c] = static_cast<int16_t>(pred[c] - other.records[record].dc_pred[c]);
      }
      me.next = target;
      return Look::kMet;
    }
    if (record < have || other.running.load(std::memory_order_acquire)) return Look::kNear;
    // No record agrees and none will come: the part is given up, and its
    // MCUs are this scout's to pass over.
    {
      Held hold(scouting.signal);
      if (!other.met && !me.abandoned.load(std::memory_order_relaxed)) {
        other.abandoned.store(true, std::memory_order_release);
      }
    }
    ++target;
    record = 0;
  }
  return Look::kNothing;
}

// One scout: from its part's first byte (the scan's start for the first),
// MCU after MCU for their DCs, recording the first; stops once it has met
// the next part, or has nothing left to look for, or fails.
void scout_part(Scout& me) {
  Scouting& scouting = *me.scouting;
  ScanContext& ctx = me.ctx;
  InputStream& s = *ctx.stream;
  int32_t* dc_pred = ctx.header->dc_pred;
  alignas(32) int16_t passed[64 * 10];  // what the batches decode, unused
  const bool records = me.index > 0;
  int32_t target = me.index + 1;
  int32_t record = 0;
  for (int64_t m = 0; m < scouting.total && !me.abandoned.load(std::memory_order_relaxed);) {
    int32_t batch = kBatchMcus;
    if (records && m < kRecords) {
      McuRecord& r = me.records[m];
      r.bit = stream_bit(&s);
      for (int c = 0; c < 4; ++c) r.dc_pred[c] = static_cast<int16_t>(dc_pred[c]);
      me.published.store(static_cast<int32_t>(m + 1), std::memory_order_release);
      batch = 1;
    } else if (records && m == kRecords) {
      me.running.store(false, std::memory_order_release);  // no more records come
    }
    const Look look = look_for_next(scouting, me, target, record, m);
    if (look == Look::kMet) break;
    // With nothing left to look for, a scout is done once it has recorded.
    if (look == Look::kNothing && !(records && m < kRecords)) break;
    if (look == Look::kNear) batch = 1;
    JpegStatus status;
    const int32_t decoded = ctx.mcu_batch_decoder(&s, me.plan, ctx.plan_blocks, dc_pred, passed, 0,
                                                  batch, &status, nullptr, nullptr);
    m += decoded;
    if (status == JpegSuccess && s.data_ended == 0 && s.pending_marker == 0) continue;
    // A guess that meets a code no table has tries again from the next
    // byte while it records; past that (or for the first scout) the part's
    // data are damaged, and at the data's end there is no more to scout.
    if (status == JpegSuccess || !records || m >= kRecords || ++me.guesses > kMostGuesses) break;
    if (decoded == 0) ++m;
    me.guess_start = static_cast<int32_t>(m);
    stream_to_bit(&s, ((stream_bit(&s) >> 3) + 1) << 3);
    s.data_ended = 0;
    for (int c = 0; c < 4; ++c) dc_pred[c] = 0;
  }
  Held hold(scouting.signal);
  me.running.store(false, std::memory_order_release);
}

void run_scout(Scout* me) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    me->running.store(false, std::memory_order_release);
    me->abandoned.store(true, std::memory_order_release);
    return;
  }
  scout_part(*me);
  guard_pop(&frame);
}

// Places every scout met by a placed one, in turn from the first.
void place_scouts(Scouting& scouting) {
  for (bool changed = true; changed;) {
    changed = false;
    for (int32_t k = 1; k < scouting.count; ++k) {
      Scout& scout = scouting.scouts[k];
      if (scout.placed || !scout.met || scout.abandoned.load()) continue;
      const Scout& finder = scouting.scouts[scout.met_by];
      if (!finder.placed) continue;
      scout.offset = finder.offset + scout.meeting_mcu - scout.met_record;
      for (int c = 0; c < 4; ++c) {
        scout.dc_offset[c] = static_cast<int16_t>(finder.dc_offset[c] + scout.dc_difference[c]);
      }
      scout.placed = true;
      changed = true;
    }
  }
}

}  // namespace

bool scouting_applies(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  if (!pipeline_applies(ctx) || ctx.header->restart_interval != 0 || file_input(p)) return false;
  const InputStream* s = ctx.stream;
  if (s->bit_count != 0 || s->pending_marker != 0 || s->data_ended != 0) return false;
  // On two cores a pipeline of rows (one thread decoding, the other
  // writing) does as well; the split pays from three on.
  const int32_t threads = thread_pool(p->threads);
  return threads >= 3 || (threads == 2 && split_forced());
}

int32_t scout_runs(const ScanContext& ctx, int32_t most, RunStart* runs) {
  const uint8_t* const begin = ctx.stream->next;
  // The data's end; restart markers in them are not this scan's to have.
  int32_t restarts = 0;
  const uint8_t* const end = entropy_data_end(begin, ctx.stream->data_end, &restarts);
  if (end == nullptr || restarts != 0) return 1;
  int32_t count = most;
  if ((end - begin) / count < kPartBytes) count = static_cast<int32_t>((end - begin) / kPartBytes);
  if (count < 2) return 1;

  Scouting scouting;
  scouting.count = count;
  scouting.total = int64_t{ctx.per_row} * ctx.rows;
  scouting.scouts = static_cast<Scout*>(codec_calloc(count, sizeof(Scout)));
  if (scouting.scouts == nullptr) return 1;
  bool ready = true;
  int32_t made = 0;
  for (; made < count; ++made) {
    Scout& scout = *new (&scouting.scouts[made]) Scout;
    scout.scouting = &scouting;
    scout.index = made;
    scout.props = copy_job_state(ctx, &scout.ctx);
    if (scout.props == nullptr) {
      ready = false;
      ++made;
      break;
    }
    scout.header = *ctx.header;
    scout.ctx.header = &scout.header;
    for (int32_t b = 0; b < ctx.plan_blocks; ++b) {
      scout.plan[b] = ctx.plan[b];
      scout.plan[b].keep_ac = false;
      scout.plan[b].quant = nullptr;
      if (scout.plan[b].skip == nullptr) {
        scout.plan[b].skip = skip_table_for(ctx.props, scout.plan[b].ac_table);
      }
    }
    const uint8_t* start = begin + (end - begin) * made / count;
    if (made > 0) {
      if (start[-1] == 0xFF) ++start;  // not on a stuffed zero
      stream_to_bit(&scout.props->stream, (start - ctx.stream->data_start) * int64_t{8});
      for (int32_t& pred : scout.header.dc_pred) pred = 0;
      scout.running.store(true);
    }
    scout.start = start;
  }
  int32_t found = 1;
  if (ready) {
    // A scout whose thread cannot be started is given up before the
    // others look for it (run_on_threads would run it after them).
    std::thread others[kMostThreads];
    for (int32_t k = 1; k < count; ++k) {
      try {
        others[k] = std::thread(run_scout, &scouting.scouts[k]);
      } catch (...) {
        scouting.scouts[k].running.store(false);
        scouting.scouts[k].abandoned.store(true);
      }
    }
    run_scout(&scouting.scouts[0]);
    for (int32_t k = 1; k < count; ++k) {
      if (others[k].joinable()) others[k].join();
    }
    Scout& first = scouting.scouts[0];
    first.placed = true;
    place_scouts(scouting);
    // The runs: the scan's start, then each part met in turn.
    runs[0].mcu = 0;
    runs[0].bit = stream_bit(ctx.stream);
    memcpy(runs[0].dc_pred, ctx.header->dc_pred, sizeof runs[0].dc_pred);
    for (int32_t k = first.next; k > 0 && found < most; k = scouting.scouts[k].next) {
      const Scout& scout = scouting.scouts[k];
      // A guess started again after the record met: its MCU count no
      // longer follows the image's (damaged data).
      if (!scout.placed || (scout.next >= 0 && scout.guess_start > scout.met_record)) break;
      const McuRecord& r = scout.records[scout.met_record];
      RunStart& run = runs[found];
      run.mcu = scout.offset + scout.met_record;
      if (run.mcu <= runs[found - 1].mcu || run.mcu >= scouting.total) break;
      run.bit = r.bit;
      for (int c = 0; c < 4; ++c)
        run.dc_pred[c] = static_cast<int16_t>(r.dc_pred[c] + scout.dc_offset[c]);
      ++found;
    }
  }
  for (int32_t k = 0; k < made; ++k) {
    free_job_state(scouting.scouts[k].props);
    scouting.scouts[k].~Scout();
  }
  free(scouting.scouts);
  return found;
}

}  // namespace jpegcodec
