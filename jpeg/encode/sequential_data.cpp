// The scans' entropy-coded data: takes the write's state (and the store of
// quantized blocks, when a first pass made one), gives a sequential scan's
// bytes, or a progressive frame's scans, to the sink; also fills the store
// and counts its symbols. Called by the write's driver (encoder.cpp).
//
// With the job's threads, the MCUs are cut into bands: each band is
// quantized and coded into a buffer of its own, its first DC differences
// taken from the quantized DCs of the MCU before it (computed again
// there), and the calling thread, which codes its own bands straight into
// the sink, appends the others' bits where the band before ended: the bytes
// are those of one thread. With restart markers the bands end at restart
// markers, and are joined whole. A progressive frame's scans depend on the
// store alone: they are made apart, into memory, and handed on in order.

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <thread>

#include "jpeg/cpu/guard.h"
#include "jpeg/cpu/memory.h"
#include "jpeg/cpu/threads.h"
#include "jpeg/encode/encoder_state.h"

namespace jpegcodec {

namespace {

// Where a band's bytes go: the sink, or a buffer that grows.
struct SinkRoom {
  OutputSink* sink;
  SinkWriteFn write;
  bool ensure(EntropyWriter& w, size_t bytes) {
    sink->next = w.next;
    if (!sink_room(sink, bytes, write)) return false;
    w.next = sink->next;
    return true;
  }
};

struct BufferRoom {
  uint8_t* start = nullptr;
  uint8_t* end = nullptr;
  bool ensure(EntropyWriter& w, size_t bytes) {
    if (start != nullptr && static_cast<size_t>(end - w.next) >= bytes) return true;
    const size_t used = start == nullptr ? 0 : static_cast<size_t>(w.next - start);
    const size_t size = start == nullptr ? 0 : static_cast<size_t>(end - start);
    size_t grown = size < (size_t{1} << 16) ? size_t{1} << 16 : 2 * size;
    while (grown - used < bytes) grown *= 2;
    uint8_t* larger = static_cast<uint8_t*>(codec_malloc(grown));
    if (larger == nullptr) return false;
    if (used != 0) memcpy(larger, start, used);
    free(start);
    start = larger;
    end = larger + grown;
    w.next = larger + used;
    return true;
  }
};

// MCUs [first, last) into `room` through `w`, with the predictions in
// `pred`: as the single-thread loop codes them, restart markers included.
// False when the room could not be had. From the caller's image, the next
// MCU is made while this one is coded: its samples first, then a block
// transformed and quantized after each block coded. Coding a block is a
// run of branches on its values, many mispredicted; the transform, placed
// before the next block's branches, runs beside them and is not thrown away
// with their mispredicted paths.
template <typename Room>
bool code_mcus(Encoder& e, const CoefficientStore* store, int64_t first, int64_t last,
               EntropyWriter& w, int16_t* pred, Room& room) {
  const EncodeFrame& f = e.frame;
  alignas(32) int16_t blocks[2][10 * 64];
  auto place = [&f](int64_t mcu, int32_t* col, int32_t* row) {
    *col = static_cast<int32_t>(mcu % f.mcus_per_row);
    *row = static_cast<int32_t>(mcu / f.mcus_per_row);
  };
  if (store == nullptr && first < last) {
    int32_t col, row;
    place(first, &col, &row);
    quantized_mcu(e, col, row, blocks[0]);
  }
  // The MCU's blocks, and the bits held from before it.
  const size_t mcu_room = static_cast<size_t>(f.blocks_per_mcu) * kBlockBytesMost + 32;
  for (int64_t mcu = first; mcu < last; ++mcu) {
    if (f.restart_interval != 0 && mcu != 0 && mcu % f.restart_interval == 0) {
      pad_and_flush(w);
      if (!room.ensure(w, 2)) return false;
      const int64_t restarts = mcu / f.restart_interval - 1;
      *w.next++ = 0xFF;
      *w.next++ = static_cast<uint8_t>(0xD0 + (restarts & 7));
      for (int32_t c = 0; c < 4; ++c) pred[c] = 0;
    }
    const int16_t* mcu_blocks = blocks[(mcu - first) & 1];
    int16_t* next = nullptr;
    if (store != nullptr) {
      mcu_blocks = store->block(mcu, 0);
    } else if (mcu + 1 < last) {
      next = blocks[(mcu + 1 - first) & 1];
      int32_t col, row;
      place(mcu + 1, &col, &row);
      mcu_samples(e, col, row, next);
    }
    if (!room.ensure(w, mcu_room)) return false;
    for (int32_t c = 0; c < f.count; ++c) {
      const EncodeComponent& k = f.comp[c];
      const HuffEncodeTable* dc = &e.codes[0][k.table];
      const HuffEncodeTable* ac = &e.codes[1][k.table];
      for (int32_t b = k.first; b < k.first + k.h * k.v; ++b) {
        e.t->enc_block(&w, mcu_blocks + 64 * b, &pred[c], dc, ac);
        // The next MCU's blocks two at a time, after every second block
        // coded (the last alone when their count is odd).
        if (next == nullptr) continue;
        if (b % 2 == 1) {
          quantized_blocks(e, next, b - 1, 2);
        } else if (b == f.blocks_per_mcu - 1) {
          quantized_blocks(e, next, b, 1);
        }
      }
    }
  }
  return true;
}

// One band coded by a thread of its own.
struct Band {
  Encoder e;  // its own: quantized_mcu writes e.source
  const CoefficientStore* store;
  int64_t first, last;
  EntropyWriter w;  // the band's bytes from room.start; bits held at the end
  int16_t pred[4];
  BufferRoom room;
  bool ok;
  bool faulted;
  std::atomic<bool> done;
};

void code_band(Band* band) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) {
    band->faulted = true;
    band->ok = false;
    band->done.store(true, std::memory_order_release);
    return;
  }
  const EncodeFrame& f = band->e.frame;
  memset(band->pred, 0, sizeof band->pred);
  const bool restarts_here = f.restart_interval != 0 && band->first % f.restart_interval == 0;
  if (!restarts_here) {
    // The predictions the band starts from: the last DCs of the MCU before.
    alignas(32) int16_t blocks[10 * 64];
    const int64_t before = band->first - 1;
    const int16_t* mcu_blocks = blocks;
    if (band->store != nullptr) {
      mcu_blocks = band->store->block(before, 0);
    } else {
      quantized_mcu(band->e, static_cast<int32_t>(before % f.mcus_per_row),
                    static_cast<int32_t>(before / f.mcus_per_row), blocks);
    }
    for (int32_t c = 0; c < f.count; ++c) {
      const EncodeComponent& k = f.comp[c];
      band->pred[c] = mcu_blocks[64 * (k.first + k.h * k.v - 1)];
    }
  }
  band->w = EntropyWriter{0, 0, nullptr};
  band->ok =
      band->room.ensure(band->w, 1) &&
      code_mcus(band->e, band->store, band->first, band->last, band->w, band->pred, band->room);
  guard_pop(&frame);
  band->done.store(true, std::memory_order_release);
}

// A worker's bands: `first`, first + step, ... below `count`, in order.
void code_bands(Band* bands, int32_t first, int32_t step, int32_t count) {
  for (int32_t i = first; i < count; i += step) code_band(&bands[i]);
}

// Appends `value`'s low `n` bits (n up to 63) to the sink's writer.
void put_wide(EntropyWriter& w, uint64_t value, int32_t n) {
  if (n > 32) {
    put_bits(w, static_cast<uint32_t>(value >> 32) & ((1u << (n - 32)) - 1), n - 32);
    n = 32;
  }
  if (n > 0) put_bits(w, static_cast<uint32_t>(value) & (n == 32 ? ~0u : (1u << n) - 1), n);
}

// A band's bits after the sink's, then the bits it held at its end. A band
// that starts on a byte (after a restart marker) is copied as it is; any
// other has its stuffing taken out and its bits put in where the sink's
// end, stuffed again. False when the sink fails.
bool append_band(const Band& band, bool on_a_byte, EntropyWriter& w, SinkRoom& room) {
  constexpr size_t kChunk = 4096;
  const uint8_t* q = band.room.start;
  const uint8_t* const end = band.w.next;
  while (q < end) {
    const uint8_t* const stop = static_cast<size_t>(end - q) > kChunk ? q + kChunk : end;
    if (!room.ensure(w, 2 * kChunk + 64)) return false;
    if (on_a_byte) {
      memcpy(w.next, q, static_cast<size_t>(stop - q));
      w.next += stop - q;
      q = stop;
      continue;
    }
    while (q < stop) {
      if (stop - q >= 8) {
        uint64_t word;
        memcpy(&word, q, 8);
        const uint64_t inverted = ~word;
        if (((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) == 0) {
          const uint64_t bits = __builtin_bswap64(word);
          put_bits(w, static_cast<uint32_t>(bits >> 32), 32);
          put_bits(w, static_cast<uint32_t>(bits), 32);
          q += 8;
          continue;
        }
      }
      const uint8_t byte = *q++;
      if (byte == 0xFF) ++q;  // its stuffed zero
      put_bits(w, byte, 8);
    }
  }
  put_wide(w, band.w.bits, band.w.count);
  return true;
}

// code_mcus on the calling thread, under a fault guard of its own, so that
// a fault (a read through a bad image pointer) never leaves other threads
// running: -1 then, 0, or 1 when the sink failed.
int32_t code_in_turn(Encoder& e, const CoefficientStore* store, int64_t first, int64_t last,
                     EntropyWriter& w, int16_t* pred, SinkRoom& room) {
  GuardFrame frame;
  guard_push(&frame);
  if (sigsetjmp(frame.env, 1) != 0) return -1;
  const bool ok = code_mcus(e, store, first, last, w, pred, room);
  guard_pop(&frame);
  return ok ? 0 : 1;
}

// How many bands: the job's threads, of whole restart intervals when there
// are any; 1 for a small image.
int32_t band_count(const Encoder& e) {
  const EncodeFrame& f = e.frame;
  if (e.p->threads <= 1 || int64_t{f.width} * f.height < kThreadPixels) return 1;
  int64_t bands = e.p->threads < kMostThreads ? e.p->threads : kMostThreads;
  const int64_t mcus = int64_t{f.mcus_per_row} * f.mcu_rows;
  const int64_t units =
      f.restart_interval != 0 ? (mcus + f.restart_interval - 1) / f.restart_interval : mcus / 64;
  if (bands > units) bands = units;
  // More bands than cores: a whole number of them a core, so that each
  // codes as much.
  const int32_t pool = thread_pool(static_cast<int32_t>(bands));
  if (bands > pool) bands -= bands % pool;
  return bands < 1 ? 1 : static_cast<int32_t>(bands);
}

// Even bands of the MCUs for the job's threads: their count, and edges.
int32_t even_bands(const Encoder& e, int64_t* edges) {
  const EncodeFrame& f = e.frame;
  const int64_t mcus = int64_t{f.mcus_per_row} * f.mcu_rows;
  const int32_t count = band_count(e);
  const int64_t unit = f.restart_interval != 0 ? f.restart_interval : 1;
  const int64_t units = (mcus + unit - 1) / unit;
  for (int32_t i = 0; i <= count; ++i) {
    const int64_t at = units * i / count * unit;
    edges[i] = at < mcus ? at : mcus;
  }
  return count;
}

}  // namespace

JpegStatus write_sequential_data(Encoder& e, const CoefficientStore* store) {
  const EncodeFrame& f = e.frame;
  OutputSink* sink = e.sink;
  SinkRoom room{sink, writer_of(e)};
  EntropyWriter w{0, 0, sink->next};
  int16_t pred[4] = {};
  int64_t edges[kMostThreads + 1];
  const int32_t count = even_bands(e, edges);
  Band* bands = count > 1 ? new (std::nothrow) Band[count]() : nullptr;
  if (bands == nullptr) {
    // One band: the calling thread, straight into the sink.
    if (!code_mcus(e, store, 0, edges[count], w, pred, room)) return sink->status;
    pad_and_flush(w);
    sink->next = w.next;
    return sink->status;
  }
  // Band i goes to thread i % pool: the calling thread codes its bands
  // straight into the sink, in their turn; the others code theirs apart,
  // in order, and the calling thread appends each when it comes to it.
  const int32_t pool = thread_pool(count);
  for (int32_t i = 1; i < count; ++i) {
    bands[i].e = e;
    bands[i].store = store;
    bands[i].first = edges[i];
    bands[i].last = edges[i + 1];
  }
  std::thread others[kMostThreads];
  bool started[kMostThreads] = {};
  for (int32_t t = 1; t < pool; ++t) {
    try {
      others[t] = std::thread(code_bands, bands, t, pool, count);
      started[t] = true;
    } catch (...) {
      // No thread to be had: the calling thread codes those bands in turn.
    }
  }
  int32_t result = code_in_turn(e, store, 0, edges[1], w, pred, room);
  for (int32_t i = 1; i < count && result == 0; ++i) {
    if (i % pool == 0 || !started[i % pool]) {
      result = code_in_turn(e, store, edges[i], edges[i + 1], w, pred, room);
      continue;
    }
    // Bands take about as long as one another: the one before it has just
    // been coded here, so this one is done or nearly.
    while (!bands[i].done.load(std::memory_order_acquire)) std::this_thread::yield();
    if (bands[i].faulted) {
      result = -1;
    } else if (!bands[i].ok) {
      // Its buffer could not grow: coded here, in order.
      result = code_in_turn(e, store, edges[i], edges[i + 1], w, pred, room);
    } else {
      // A band that starts at a restart marker starts on a byte: the bits
      // before it are padded, as one thread pads them before the marker.
      const bool on_a_byte = f.restart_interval != 0 && edges[i] % f.restart_interval == 0;
      if (on_a_byte) pad_and_flush(w);
      result = append_band(bands[i], on_a_byte, w, room) ? 0 : 1;
      memcpy(pred, bands[i].pred, sizeof pred);
    }
  }
  for (int32_t t = 1; t < pool; ++t) {
    if (started[t]) others[t].join();
  }
  bool faulted = result < 0;
  for (int32_t i = 1; i < count; ++i) faulted = faulted || bands[i].faulted;
  const bool ok = result == 0;
  for (int32_t i = 1; i < count; ++i) free(bands[i].room.start);
  delete[] bands;
  if (faulted) return JpegExceptionDetected;
  if (!ok) return sink->status != JpegSuccess ? sink->status : JpegMemoryError;
  pad_and_flush(w);
  sink->next = w.next;
  return sink->status;
}

namespace {

// Runs work(encoder, first, last, band) for `count` bands of the MCUs on
// the machine's cores (band i on thread i % pool, the calling thread
// among them), each thread with an Encoder of its own and a fault guard.
// False when a fault met.
template <typename Work>
bool on_bands(const Encoder& e, int32_t count, const int64_t* edges, Work work) {
  const int32_t pool = thread_pool(count);
  std::atomic<bool> faulted{false};
  auto run = [&](int32_t first) {
    Encoder own = e;
    GuardFrame frame;
    guard_push(&frame);
    if (sigsetjmp(frame.env, 1) != 0) {
      faulted.store(true);
      return;
    }
    for (int32_t i = first; i < count; i += pool) work(own, edges[i], edges[i + 1], i);
    guard_pop(&frame);
  };
  run_on_threads(pool, run);
  return !faulted.load();
}

}  // namespace

JpegStatus quantize_into_store(Encoder& e, const CoefficientStore& store) {
  int64_t edges[kMostThreads + 1];
  const int32_t count = even_bands(e, edges);
  const int32_t blocks = e.frame.blocks_per_mcu;
  const int32_t per_row = e.frame.mcus_per_row;
  const bool ok =
      on_bands(e, count, edges, [&](Encoder& own, int64_t first, int64_t last, int32_t) {
        for (int64_t mcu = first; mcu < last; ++mcu) {
          quantized_mcu(own, static_cast<int32_t>(mcu % per_row),
                        static_cast<int32_t>(mcu / per_row), store.values + mcu * blocks * 64);
        }
      });
  return ok ? JpegSuccess : JpegExceptionDetected;
}

void count_store_symbols(const Encoder& e, const CoefficientStore& store,
                         SymbolCounts (*counts)[2]) {
  int64_t edges[kMostThreads + 1];
  const int32_t count = even_bands(e, edges);
  const EncodeFrame& f = e.frame;
  // Each band's counts apart, added up after: the same sums.
  SymbolCounts* parts = new (std::nothrow) SymbolCounts[size_t(count) * 4]();
  if (parts == nullptr) {
    // No room to count apart: counted in one go.
    edges[1] = edges[count];
  }
  const int32_t bands = parts == nullptr ? 1 : count;
  on_bands(e, bands, edges, [&](Encoder&, int64_t first, int64_t last, int32_t band) {
    SymbolCounts* own = parts != nullptr ? parts + 4 * band : nullptr;
    auto counted = [&](int32_t table_class, int32_t table) {
      return own != nullptr ? &own[2 * table_class + table] : &counts[table_class][table];
    };
    int16_t pred[4] = {};
    if (first != 0 && !(f.restart_interval != 0 && first % f.restart_interval == 0)) {
      // The last DCs of the MCU before the band.
      for (int32_t c = 0; c < f.count; ++c) {
        const EncodeComponent& k = f.comp[c];
        pred[c] = store.block(first - 1, k.first + k.h * k.v - 1)[0];
      }
    }
    for (int64_t mcu = first; mcu < last; ++mcu) {
      if (f.restart_interval != 0 && mcu != 0 && mcu % f.restart_interval == 0) {
        for (int16_t& p : pred) p = 0;
      }
      for (int32_t c = 0; c < f.count; ++c) {
        const EncodeComponent& k = f.comp[c];
        for (int32_t b = 0; b < k.h * k.v; ++b) {
          count_block_symbols(store.block(mcu, k.first + b), &pred[c], counted(0, k.table),
                              counted(1, k.table));
        }
      }
    }
  });
  if (parts == nullptr) return;
  for (int32_t band = 0; band < count; ++band) {
    for (int32_t which = 0; which < 4; ++which) {
      const SymbolCounts& part = parts[4 * band + which];
      SymbolCounts& sum = counts[which / 2][which % 2];
      for (int32_t symbol = 0; symbol < 256; ++symbol) sum.count[symbol] += part.count[symbol];
    }
  }
  delete[] parts;
}

namespace {

// A sink into memory that grows: where a progressive scan's bytes wait for
// their turn.
JpegStatus append_to_memory(OutputSink* sink, const uint8_t* bytes, size_t count) {
  if (static_cast<int64_t>(count) > sink->capacity - sink->written) {
    int64_t grown = sink->capacity < (int64_t{1} << 16) ? int64_t{1} << 16 : 2 * sink->capacity;
    while (grown - sink->written < static_cast<int64_t>(count)) grown *= 2;
    uint8_t* larger = static_cast<uint8_t*>(codec_malloc(static_cast<size_t>(grown)));
    if (larger == nullptr) return JpegMemoryError;
    if (sink->written > 0) memcpy(larger, sink->buffer, static_cast<size_t>(sink->written));
    free(sink->buffer);
    sink->buffer = larger;
    sink->capacity = grown;
  }
  memcpy(sink->buffer + sink->written, bytes, count);
  sink->written += static_cast<int64_t>(count);
  return JpegSuccess;
}

struct ScanBytes {
  OutputSink sink;  // into memory
  JpegStatus status;
};

}  // namespace

JpegStatus write_progressive_scans(Encoder& e, const CoefficientStore& store, const ScanPlan* scans,
                                   int32_t count) {
  OutputSink* sink = e.sink;
  const SinkWriteFn write = writer_of(e);
  const EncodeFrame& f = e.frame;
  int32_t pool = int64_t{f.width} * f.height < kThreadPixels ? 1 : thread_pool(e.p->threads);
  if (pool > count) pool = count;
  ScanBytes* held = pool > 1 ? new (std::nothrow) ScanBytes[count]() : nullptr;
  if (held == nullptr) {
    JpegStatus status = JpegSuccess;
    for (int32_t i = 0; i < count && status == JpegSuccess; ++i) {
      status = write_progressive_scan(f, store, scans[i], sink, write);
    }
    return status;
  }
  // Each scan depends on the store alone: the threads take them in turn,
  // each into memory of its own, and the calling thread hands them on in
  // order once all are made.
  std::atomic<int32_t> next{0};
  for (int32_t i = 0; i < count; ++i) held[i].status = JpegMemoryError;  // not made yet
  auto make = [&]() {
    uint8_t* staging = static_cast<uint8_t*>(codec_malloc(kStagingBytes));
    if (staging == nullptr) return;  // the scans are left to the others
    for (int32_t i; (i = next.fetch_add(1)) < count;) {
      OutputSink& own = held[i].sink;
      own.staging = own.next = staging;
      own.end = staging + kStagingBytes;
      own.status = JpegSuccess;
      held[i].status = write_progressive_scan(f, store, scans[i], &own, append_to_memory);
      if (held[i].status == JpegSuccess) held[i].status = sink_flush(&own, append_to_memory);
      own.staging = own.next = own.end = nullptr;
    }
    free(staging);
  };
  run_on_threads(pool, [&make](int32_t) { make(); });
  JpegStatus status = JpegSuccess;
  for (int32_t i = 0; i < count && status == JpegSuccess; ++i) {
    if (held[i].status == JpegSuccess) {
      status = sink_flush(sink, write);
      if (status == JpegSuccess && held[i].sink.written > 0) {
        status = sink->status =
            write(sink, held[i].sink.buffer, static_cast<size_t>(held[i].sink.written));
      }
    } else {
      // Out of memory for it apart: made here, in its turn.
      status = write_progressive_scan(f, store, scans[i], sink, write);
    }
  }
  for (int32_t i = 0; i < count; ++i) free(held[i].sink.buffer);
  delete[] held;
  return status;
}

}  // namespace jpegcodec
