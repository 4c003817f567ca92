// The scans of a progressive frame (T.81 G.1.2): DC first and refinement
// scans, AC first scans with end-of-band runs, AC refinement scans with
// their correction bits. Each scan is gone through twice by the same code:
// once counting the symbols it will write, for Huffman tables made for it,
// once writing.

#include <cstring>
#include <initializer_list>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg/encode/encoder.h"
#include "jpeg/stream/coding_tables.h"

namespace jpegcodec {

namespace {

// The longest end-of-band run a symbol can carry (EOB14 with 14 bits).
constexpr int32_t kLongestRun = 0x7FFF;
// Correction bits held back for an end-of-band run before it is cut short:
// they must fit what the writer keeps room for.
constexpr int32_t kMostHeldBits = 937;

// Where the symbols go: counted...
struct Counting {
  SymbolCounts dc[2], ac[2];
  void symbol(bool ac_table, int32_t table, int32_t value) {
    ++(ac_table ? ac : dc)[table].count[value];
  }
  void bits(uint32_t, int) {}
  bool room() { return true; }
  void restart(int32_t) {}
  void finish() {}
};

// ...or written.
struct Writing {
  OutputSink* sink;
  SinkWriteFn write;
  EntropyWriter w;
  const HuffEncodeTable* dc[2];
  const HuffEncodeTable* ac[2];
  void symbol(bool ac_table, int32_t table, int32_t value) {
    const HuffEncodeTable* t = (ac_table ? ac : dc)[table];
    put_bits(w, t->code[value], t->length[value]);
  }
  void bits(uint32_t value, int n) {
    if (n > 0) put_bits(w, value, n);
  }
  // Room for a block's symbols and the correction bits held back.
  bool room() {
    sink->next = w.next;
    const bool ok = sink_room(sink, kBlockBytesMost + 2 * (kMostHeldBits / 8 + 16), write);
    w.next = sink->next;
    return ok;
  }
  void restart(int32_t n) {
    pad_and_flush(w);
    *w.next++ = 0xFF;
    *w.next++ = static_cast<uint8_t>(0xD0 + (n & 7));
  }
  void finish() {
    pad_and_flush(w);
    sink->next = w.next;
  }
};

// The coefficient with its point transform: the magnitude shifted right by
// Al, the sign kept (T.81 G.1.2.2).
inline int32_t point_transformed(int32_t value, int32_t al) {
  return value < 0 ? -((-value) >> al) : value >> al;
}

// The traversal of one scan, for either kind of output.
template <typename Out>
class ScanCoder {
 public:
  ScanCoder(const EncodeFrame& frame, const CoefficientStore& store, const ScanPlan& scan, Out& out)
      : f_(frame), store_(store), scan_(scan), out_(out) {}

  bool run() {
    if (scan_.ss == 0) return scan_.count > 1 ? interleaved() : one_component();
    return one_component();
  }

 private:
  // DC scans of several components: MCU by MCU.
  bool interleaved() {
    const int64_t mcus = int64_t{f_.mcus_per_row} * f_.mcu_rows;
    for (int64_t mcu = 0; mcu < mcus; ++mcu) {
      if (!interval_step(mcu)) return false;
      for (int32_t i = 0; i < scan_.count; ++i) {
        const EncodeComponent& k = f_.comp[scan_.comp[i]];
        for (int32_t b = 0; b < k.h * k.v; ++b) dc_block(store_.block(mcu, k.first + b), i);
      }
    }
    end_of_scan();
    return true;
  }

  // Scans of one component: its own block grid, row by row.
  bool one_component() {
    const EncodeComponent& k = f_.comp[scan_.comp[0]];
    int64_t n = 0;
    for (int32_t by = 0; by < k.down; ++by) {
      for (int32_t bx = 0; bx < k.across; ++bx, ++n) {
        if (!interval_step(n)) return false;
        const int64_t mcu = int64_t{by / k.v} * f_.mcus_per_row + bx / k.h;
        const int32_t index = k.first + (by % k.v) * k.h + bx % k.h;
        const int16_t* block = store_.block(mcu, index);
        if (scan_.ss == 0) {
          dc_block(block, 0);
        } else if (scan_.ah == 0) {
          ac_first(block, store_.magnitude_masks(mcu, index), k.table);
        } else {
          ac_refine(block, store_.magnitude_masks(mcu, index), k.table);
        }
      }
    }
    end_of_scan();
    return true;
  }

  // Before unit n of the scan: room for it, and a restart marker when an
  // interval ends there.
  bool interval_step(int64_t n) {
    if (!out_.room()) return false;
    const int32_t interval = f_.restart_interval;
    if (interval != 0 && n != 0 && n % interval == 0) {
      flush_run();
      out_.restart(restarts_++);
      for (int32_t& p : pred_) p = 0;
    }
    return true;
  }

  void end_of_scan() {
    flush_run();
    out_.finish();
  }

  void dc_block(const int16_t* block, int32_t i) {
    if (scan_.ah != 0) {
      // Refinement: bit Al of the DC value as it is stored (two's complement).
      out_.bits(static_cast<uint32_t>(block[0] >> scan_.al) & 1, 1);
      return;
    }
    // First scan: the DC shifted right by Al (arithmetically), coded as a
    // difference from the last one (T.81 G.1.2.1).
    const int32_t value = block[0] >> scan_.al;
    const int32_t diff = value - pred_[i];
    pred_[i] = value;
    const int category = magnitude_category(diff);
    out_.symbol(false, f_.comp[scan_.comp[i]].table, category);
    out_.bits(magnitude_bits(diff, category), category);
  }

  // An end-of-band run of n blocks: EOBr with the low r bits of n after it,
  // r = floor(log2 n); then the correction bits held back for its blocks.
  void flush_run() {
    if (run_ > 0) {
      const int r = 31 - __builtin_clz(static_cast<uint32_t>(run_));
      out_.symbol(true, run_table_, r << 4);
      out_.bits(static_cast<uint32_t>(run_) & ((1u << r) - 1), r);
      run_ = 0;
    }
    for (int32_t i = 0; i < held_count_; ++i) out_.bits(held_[i], 1);
    held_count_ = 0;
  }

  // The band's zig-zag positions [ss, se] as mask bits.
  uint64_t band() const {
    const uint64_t to = scan_.se >= 63 ? ~uint64_t{0} : (uint64_t{2} << scan_.se) - 1;
    return to & (~uint64_t{0} << scan_.ss);
  }

  // The band's coefficients of magnitude at least 2^al, from the store's
  // masks where it has them.
  uint64_t at_least(const int16_t* block, const uint64_t* masks, int32_t al) const {
    if (al < CoefficientStore::kMagnitudeMasks) return masks[al] & band();
    const int32_t least = int32_t{1} << (al < 15 ? al : 15);
    uint64_t mask = 0;
    for (int k = scan_.ss; k <= scan_.se; ++k) {
      const int32_t value = block[natural_order[k]];
      mask |= static_cast<uint64_t>(value >= least || value <= -least) << k;
    }
    return mask;
  }

  void ac_first(const int16_t* block, const uint64_t* masks, int32_t table) {
    run_table_ = table;
    // The band's coefficients still non-zero after the point transform:
    // the runs of zeros between them are the distances between mask bits.
    uint64_t nonzero = at_least(block, masks, scan_.al);
    int last = scan_.ss - 1;
    for (; nonzero != 0; nonzero &= nonzero - 1) {
      const int k = __builtin_ctzll(nonzero);
      int zeros = k - last - 1;
      flush_run();
      for (; zeros > 15; zeros -= 16) out_.symbol(true, table, 0xF0);
      const int32_t value = point_transformed(block[natural_order[k]], scan_.al);
      const int category = magnitude_category(value);
      out_.symbol(true, table, zeros << 4 | category);
      out_.bits(magnitude_bits(value, category), category);
      last = k;
    }
    // The rest of the band is zero: this block joins the run.
    if (last < scan_.se && ++run_ == kLongestRun) flush_run();
  }

  // T.81 G.1.2.3: coefficients that become non-zero at this bit are coded
  // with a run of zeros (those still zero) and a sign bit; those non-zero
  // already get one correction bit each, sent after the next symbol (or
  // after the end-of-band run that covers them).
  void ac_refine(const int16_t* block, const uint64_t* masks, int32_t table) {
    run_table_ = table;
    // Coefficients that become non-zero here (magnitude 1 at this bit) and
    // those non-zero already, as mask bits.
    const uint64_t earlier = at_least(block, masks, scan_.al + 1);
    const uint64_t fresh = at_least(block, masks, scan_.al) & ~earlier;
    const int last_fresh = fresh != 0 ? 63 - __builtin_clzll(fresh) : 0;
    int zeros = 0, previous = scan_.ss - 1;
    uint8_t corrections[64];
    int32_t pending = 0;
    for (uint64_t nonzero = fresh | earlier; nonzero != 0; nonzero &= nonzero - 1) {
      const int k = __builtin_ctzll(nonzero);
      zeros += k - previous - 1;
      previous = k;
      // Sixteen zeros at a time, while a new coefficient follows (else the
      // end of band covers them).
      while (zeros > 15 && k <= last_fresh) {
        flush_run();
        out_.symbol(true, table, 0xF0);
        zeros -= 16;
        for (int32_t i = 0; i < pending; ++i) out_.bits(corrections[i], 1);
        pending = 0;
      }
      const int32_t value = block[natural_order[k]];
      if ((earlier >> k) & 1) {
        corrections[pending++] =
            static_cast<uint8_t>(((value < 0 ? -value : value) >> scan_.al) & 1);
        continue;
      }
      flush_run();
      out_.symbol(true, table, zeros << 4 | 1);
      out_.bits(value < 0 ? 0 : 1, 1);
      for (int32_t i = 0; i < pending; ++i) out_.bits(corrections[i], 1);
      pending = 0;
      zeros = 0;
    }
    zeros += scan_.se - previous;
    if (zeros > 0 || pending > 0) {
      ++run_;
      for (int32_t i = 0; i < pending; ++i) held_[held_count_++] = corrections[i];
      if (run_ == kLongestRun || held_count_ > kMostHeldBits) flush_run();
    }
  }

  const EncodeFrame& f_;
  const CoefficientStore& store_;
  const ScanPlan& scan_;
  Out& out_;
  int32_t pred_[4] = {};
  int32_t restarts_ = 0;
  int32_t run_ = 0;  // blocks in the end-of-band run so far
  int32_t run_table_ = 0;
  uint8_t held_[kMostHeldBits + 64] = {};  // correction bits of the run's blocks
  int32_t held_count_ = 0;
};

}  // namespace

namespace {

// The block's coefficients of magnitude at least t (1 to 2^14), as mask
// bits in natural order. With SSE2 (every x86-64 processor), sixteen
// compares at once; the same bits either way.
inline uint64_t natural_at_least(const int16_t* block, int32_t t) {
  uint64_t mask = 0;
#if defined(__SSE2__)
  const __m128i above = _mm_set1_epi16(static_cast<int16_t>(t - 1));
  const __m128i below = _mm_set1_epi16(static_cast<int16_t>(1 - t));
  auto compare = [&](const int16_t* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_or_si128(_mm_cmpgt_epi16(v, above), _mm_cmplt_epi16(v, below));
  };
  for (int i = 0; i < 64; i += 16) {
    const auto bits = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_packs_epi16(compare(block + i), compare(block + i + 8))));
    mask |= uint64_t{bits} << i;
  }
#else
  for (int i = 0; i < 64; ++i) {
    mask |= static_cast<uint64_t>(block[i] >= t || block[i] <= -t) << i;
  }
#endif
  return mask;
}

}  // namespace

void fill_magnitude_masks(const CoefficientStore& store) {
  const EncodeFrame& f = *store.frame;
  const int64_t blocks = int64_t{f.mcus_per_row} * f.mcu_rows * f.blocks_per_mcu;
  for (int64_t b = 0; b < blocks; ++b) {
    const int16_t* block = store.values + b * 64;
    // In natural order (the block as it lies), then turned into zig-zag
    // order; the DC is no AC coefficient.
    for (int i = 0; i < CoefficientStore::kMagnitudeMasks; ++i) {
      const uint64_t natural = natural_at_least(block, int32_t{1} << i) & ~uint64_t{1};
      store.magnitudes[b * CoefficientStore::kMagnitudeMasks + i] = zigzag_mask(natural);
    }
  }
}

int32_t progressive_script(const EncodeFrame& f, bool ycc, ScanPlan* scans) {
  int32_t n = 0;
  auto add = [&](std::initializer_list<int32_t> comps, int32_t ss, int32_t se, int32_t ah,
                 int32_t al) {
    ScanPlan& s = scans[n++];
    s = ScanPlan{};
    for (int32_t c : comps) s.comp[s.count++] = c;
    s.ss = ss;
    s.se = se;
    s.ah = ah;
    s.al = al;
  };
  auto all_dc = [&](int32_t ah, int32_t al) {
    ScanPlan& s = scans[n++];
    s = ScanPlan{};
    for (int32_t c = 0; c < f.count; ++c) s.comp[s.count++] = c;
    s.ah = ah;
    s.al = al;
  };
  if (ycc && f.count == 3) {
    // Luma's low frequencies early, chroma at half precision, then the
    // refinements.
    all_dc(0, 1);
    add({0}, 1, 5, 0, 2);
    add({2}, 1, 63, 0, 1);
    add({1}, 1, 63, 0, 1);
    add({0}, 6, 63, 0, 2);
    add({0}, 1, 63, 2, 1);
    all_dc(1, 0);
    add({2}, 1, 63, 1, 0);
    add({1}, 1, 63, 1, 0);
    add({0}, 1, 63, 1, 0);
    return n;
  }
  all_dc(0, 1);
  for (int32_t c = 0; c < f.count; ++c) add({c}, 1, 5, 0, 2);
  for (int32_t c = 0; c < f.count; ++c) add({c}, 6, 63, 0, 2);
  for (int32_t c = 0; c < f.count; ++c) add({c}, 1, 63, 2, 1);
  all_dc(1, 0);
  for (int32_t c = 0; c < f.count; ++c) add({c}, 1, 63, 1, 0);
  return n;
}

JpegStatus write_progressive_scan(const EncodeFrame& frame, const CoefficientStore& store,
                                  const ScanPlan& scan, OutputSink* sink, SinkWriteFn write) {
  // First the symbols the scan will write, and tables made for them.
  Counting counting{};
  ScanCoder<Counting>(frame, store, scan, counting).run();
  HuffDefinition definitions[4];
  const HuffDefinition* used[4];
  int32_t slots[4];
  int32_t tables = 0;
  HuffEncodeTable codes[2][2];
  const bool dc_scan = scan.ss == 0;
  bool done[2] = {false, false};
  for (int32_t i = 0; i < scan.count; ++i) {
    const int32_t table = frame.comp[scan.comp[i]].table;
    // A DC refinement sends bits alone.
    if (done[table] || (dc_scan && scan.ah != 0)) continue;
    done[table] = true;
    optimal_table(dc_scan ? counting.dc[table] : counting.ac[table], &definitions[tables]);
    build_encode_table(definitions[tables].counts, definitions[tables].symbols,
                       &codes[dc_scan ? 0 : 1][table]);
    used[tables] = &definitions[tables];
    slots[tables] = (dc_scan ? 0x00 : 0x10) | table;
    ++tables;
  }
  if (!sink_room(sink, 4096, write)) return sink->status;
  if (tables > 0) put_dht(sink, used, slots, tables);
  put_sos(sink, frame, scan);
  Writing writing{sink,
                  write,
                  EntropyWriter{0, 0, sink->next},
                  {&codes[0][0], &codes[0][1]},
                  {&codes[1][0], &codes[1][1]}};
  if (!ScanCoder<Writing>(frame, store, scan, writing).run()) return sink->status;
  return sink->status;
}

}  // namespace jpegcodec
