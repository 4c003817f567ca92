// The steps of every scan decoder: a scan's set-up (grid, transforms,
// decoding plans, skip tables), the restart intervals, the decoding of one
// MCU and its reconstruction and output. Called by the decoders of scan.cpp,
// coefficient_store.cpp and region.cpp.

#include "jpeg/decode/scan.h"
#include "jpeg/decode/scan_context.h"

#include <stdlib.h>
#include <string.h>

namespace jpegcodec {

// Sampling where every component is 1x1 or 2x2 (and not all 1x1): a
// component of one block per MCU is then reconstructed one size larger.
bool simple_sampling(const FrameHeader& f) {
  if (f.max_h == 1 && f.max_v == 1) return false;
  for (int n = 0; n < f.component_count && n < 4; ++n) {
    const FrameComponent& fc = f.components[n];
    if (fc.h != fc.v || fc.h > 2) return false;
  }
  return true;
}

int32_t scale_of(int32_t io_type) {
  switch (io_type) {
    case IoReadHalfFile:
    case IoReadHalfBuffer:
      return 2;
    case IoReadQuarterFile:
    case IoReadQuarterBuffer:
      return 4;
    case IoReadEighthFile:
    case IoReadEighthBuffer:
      return 8;
    default:
      return 1;
  }
}

namespace {

// MCUs between checkpoints of this scan's grid: an entry takes at most 3 %
// of the pixel bytes it covers.
int32_t checkpoint_spacing(const JPEG_PROPERTIES* p, int32_t per_row, int32_t rows) {
  const int64_t mcus = int64_t{per_row} * (rows > 0 ? rows : 1);
  const int64_t bytes = int64_t{p->jpeg_width} * p->jpeg_height * p->frame.component_count;
  const int64_t per_mcu = mcus > 0 ? bytes / mcus : 1;
  const int64_t spacing =
      (int64_t{sizeof(RestartEntry)} * 33 + per_mcu - 1) / (per_mcu > 0 ? per_mcu : 1);
  return static_cast<int32_t>(spacing < 1 ? 1 : (spacing > 4096 ? 4096 : spacing));
}

// The skip and fast tables of the four table slots, with the build of each
// table they were made from.
struct DerivedTables {
  uint32_t skip_generation[4];
  uint32_t fast_generation[4];
  uint32_t fast_dc_generation[4];
  uint16_t skip[4][1 << kHuffSkipBits];
  uint32_t fast[4][1 << kHuffFastBits];
  uint16_t fast_dc[4][1 << kHuffFastBits];
};

// The table derived from `table`, one of the four `slots`, by `build` into
// the `entries` of the job's derived tables, made when first needed and
// again after the table was built anew; null when `table` is none of the
// slots, for images below `pixels` (building costs more than it saves
// there), for stored scans, or when its memory cannot be had (decoding goes
// on without).
template <typename Entry, size_t kSize>
const Entry* derived_table(JPEG_PROPERTIES* p, const HuffDecodeTable* slots,
                           const HuffDecodeTable* table, int64_t pixels,
                           uint32_t (DerivedTables::*generations)[4],
                           Entry (DerivedTables::*entries)[4][kSize],
                           void (*build)(const HuffDecodeTable*, Entry*)) {
  int slot = 0;
  while (slot < 4 && table != &slots[slot]) ++slot;
  if (slot == 4 || int64_t{p->jpeg_width} * p->jpeg_height < pixels || p->progressive_scans != 0) {
    return nullptr;
  }
  if (p->skip_tables == nullptr) p->skip_tables = codec_calloc(1, sizeof(DerivedTables));
  auto* tables = static_cast<DerivedTables*>(p->skip_tables);
  if (tables == nullptr) return nullptr;
  if ((tables->*generations)[slot] != table->generation) {
    build(table, (tables->*entries)[slot]);
    (tables->*generations)[slot] = table->generation;
  }
  return (tables->*entries)[slot];
}

// The fast tables of an AC table for blocks kept whole, and of a DC table.
const uint32_t* fast_table_for(JPEG_PROPERTIES* p, const HuffDecodeTable* table) {
  return derived_table(p, p->ac_tables, table, kFastTablePixels, &DerivedTables::fast_generation,
                       &DerivedTables::fast, huff_build_fast_table);
}
const uint16_t* fast_dc_table_for(JPEG_PROPERTIES* p, const HuffDecodeTable* table) {
  return derived_table(p, p->dc_tables, table, kFastTablePixels, &DerivedTables::fast_dc_generation,
                       &DerivedTables::fast_dc, huff_build_fast_dc_table);
}

}  // namespace

const uint16_t* skip_table_for(JPEG_PROPERTIES* p, const HuffDecodeTable* table) {
  return derived_table(p, p->ac_tables, table, kSkipTablePixels, &DerivedTables::skip_generation,
                       &DerivedTables::skip, huff_build_skip_table);
}

// The grid, scale and flags a scan of `p` is decoded and written with.
void set_up_scan(ScanContext& ctx, JPEG_PROPERTIES* p, ScanHeader* scan) {
  ctx.props = p;
  ctx.stream = &p->stream;
  ctx.header = scan;
  ctx.routines = p->routines;
  ctx.scale = scale_of(p->io_type);
  ctx.coef = static_cast<const JpegCoefOutput*>(p->coef_output);
  ctx.store = store_layout(p);
  ctx.progressive = progressive_decoders_for(ctx.routines);
  const FrameHeader& f = p->frame;
  ctx.enlarge_single_blocks = simple_sampling(f);
  const bool smoothing = ctx.scale == 1 && smoothing_applies(p);
  ctx.column_delay = smoothing && f.max_h == 2 && f.max_v <= 2 ? 1 : 0;
  ctx.row_delay = smoothing && f.max_h == 2 && f.max_v == 2 ? 1 : 0;
  if (scan->component_count == 1 && p->progressive_scans == 0) {
    const ScanComponent& sc = scan->components[0];
    const int32_t unit_w = (f.max_h * 8) / sc.h, unit_h = (f.max_v * 8) / sc.v;
    ctx.per_row = (p->jpeg_width + unit_w - 1) / unit_w;
    ctx.rows = (p->jpeg_height + unit_h - 1) / unit_h;
  } else {
    ctx.per_row = p->mcus_per_row;
    ctx.rows = p->mcu_rows;
  }
  ctx.checkpoint_spacing = checkpoint_spacing(p, ctx.per_row, ctx.rows);
  ctx.accurate = transform_family_for_tables(p) == 1;
  // Blocks read for their DC alone at 1/8 pass over their AC symbols
  // through skip tables (a region's few passed-over MCUs a row would not
  // pay for building them).
  for (int32_t i = 0; i < scan->component_count && i < 4; ++i) {
    const ScanComponent& sc = scan->components[i];
    ctx.dc_only[i] = component_uses_dc_only(p, sc.frame_index);
    ctx.skip[i] = ctx.dc_only[i] ? skip_table_for(p, sc.ac_table) : nullptr;
  }
  // The fast tables, the AC one only beside the DC one.
  const uint16_t* fast_dc[4] = {};
  const uint32_t* fast_ac[4] = {};
  for (int32_t i = 0; i < scan->component_count && i < 4; ++i) {
    const ScanComponent& sc = scan->components[i];
    fast_dc[i] = fast_dc_table_for(p, sc.dc_table);
    if (fast_dc[i] != nullptr && !ctx.dc_only[i]) fast_ac[i] = fast_table_for(p, sc.ac_table);
  }
  // The MCU's blocks: their count and, when they fit the lists (ten at
  // most, as interleaved scans have), each one's transform (the family is
  // chosen before) and decoding plan. The accurate family's dequantization
  // is done as a block is decoded (not in coefficient output, which keeps
  // what was decoded).
  ctx.mcu_decoder = mcu_decoder_for(ctx.routines);
  ctx.mcu_batch_decoder = mcu_batch_decoder_for(ctx.routines);
  const bool dequantize = ctx.accurate && (ctx.coef == nullptr || ctx.coef->mode != 0);
  const bool single_component = scan->component_count == 1;
  int32_t blocks = 0;
  for (int32_t i = 0; i < scan->component_count && i < 4; ++i) {
    const ScanComponent& sc = scan->components[i];
    const FrameComponent& fc = f.components[sc.frame_index];
    const int32_t n = single_component ? 1 : sc.h * sc.v;
    for (int32_t b = 0; b < n; ++b, ++blocks) {
      if (blocks >= 10) continue;
      ctx.block_transform[blocks] = transform_for(ctx, fc);
      ctx.plan[blocks] = {sc.dc_table,
                          sc.ac_table,
                          i,
                          !ctx.dc_only[i],
                          dequantize ? sc.quant_table->values : nullptr,
                          ctx.skip[i],
                          fast_ac[i],
                          fast_dc[i]};
    }
  }
  ctx.blocks_per_mcu = blocks;
  ctx.dc_samples_in_writer = ctx.accurate && ctx.scale == 8 && blocks <= 10;
  for (int32_t i = 0; i < scan->component_count && i < 4; ++i) {
    if (block_scale(ctx, f.components[scan->components[i].frame_index]) != 8) {
      ctx.dc_samples_in_writer = false;
    }
  }
  const bool listed = blocks <= 10;
  ctx.transform_blocks = listed ? blocks : 0;
  ctx.plan_blocks = listed && ctx.mcu_decoder != nullptr ? blocks : 0;
}

// After MCU (col, row) of a grid, at the end of an interval: the
// predictors restart and the data resume after the restart marker due
// there (RSTn, n counting the intervals mod 8), found past any bytes that
// stand before it. Damaged data are resynchronised as other decoders do: a
// marker one or two numbers ahead means intervals whose data are missing
// (it stays pending, and those intervals decode as empty until it is due);
// one behind, or a marker that is not a restart marker but not a valid one
// either, is passed over and the search goes on; any other restart marker
// is taken as the one due. A marker that ends the data (EOI, SOS, ...) is
// left for the parser and the scan stops. Not after the last MCU.
JpegStatus restart_check(ScanContext& ctx, int32_t per_row, int32_t rows, int32_t col,
                         int32_t row) {
  const int32_t interval = ctx.header->restart_interval;
  if (interval == 0) return JpegSuccess;
  const int64_t n = int64_t{col} + int64_t{row} * per_row + 1;
  if (n % interval != 0 || n >= int64_t{per_row} * rows) return JpegSuccess;
  for (int32_t& pred : ctx.header->dc_pred) pred = 0;
  InputStream* s = ctx.stream;
  s->bit_count = 0;
  const int32_t due = static_cast<int32_t>((n / interval - 1) & 7);
  int32_t code = s->pending_marker;
  s->pending_marker = 0;
  for (;;) {
    if (code == 0) {
      const JpegStatus status = next_marker(s, &code);
      // The data end where the restart marker should be: the intervals after
      // it are missing, wherever exactly the cut fell.
      if (status == JpegEofError || (status == JpegSuccess && code == 256)) {
        s->data_ended |= kDataEnded | kScanOver;
        return JpegEofError;
      }
      if (status != JpegSuccess) return status;
    }
    const bool restart = code >= 0xD0 && code <= 0xD7;
    const int32_t ahead = (code - 0xD0 - due) & 7;
    // Numbered too far off to tell: taken as the one due (the numbering is
    // wrong, no data are lost).
    if (restart && (ahead == 0 || (ahead >= 3 && ahead <= 5))) {
      s->data_ended &= ~kOutOfData;  // the next interval has data of its own
      return JpegSuccess;
    }
    s->data_ended |= kRestartDamaged;
    if (restart && (ahead == 1 || ahead == 2)) {
      s->pending_marker = static_cast<uint8_t>(code);  // intervals missing before it
      return JpegSuccess;
    }
    if (restart || code < 0xC0) {
      // An earlier restart marker again, or no marker a segment starts
      // with: passed over, and the search goes on.
      code = 0;
      continue;
    }
    s->pending_marker = static_cast<uint8_t>(code);  // the data end here
    s->data_ended |= kDataEnded | kScanOver;
    return JpegSuccess;
  }
}

// Whether the scan's data have ended: at their end, or, in a scan without
// restart intervals, wherever they were used up (with intervals, decoding
// resumes at the next restart marker).
bool scan_data_ended(const ScanContext& ctx) {
  InputStream* s = ctx.stream;
  if ((s->data_ended & kOutOfData) && ctx.header->restart_interval == 0) {
    s->data_ended |= kDataEnded | kScanOver;
  }
  return (s->data_ended & kScanOver) != 0;
}

// A restart point that could not be passed: data that ended are -11 like
// anywhere else, a file that cannot be read -23, anything else -25.
JpegStatus restart_failure(JpegStatus status) {
  return status == JpegEofError || status == JpegFileError ? status : JpegBadRstMarker;
}

// The block size a component's blocks are reconstructed at: 8 / scale, or
// one size larger for a component of one block per MCU under simple
// sampling, so that it already has the others' resolution.
int32_t block_scale(const ScanContext& ctx, const FrameComponent& component) {
  int32_t scale = ctx.scale;
  if (ctx.enlarge_single_blocks && scale > 1 && component.h * component.v == 1) scale /= 2;
  return scale;
}

IdctFn transform_for(const ScanContext& ctx, const FrameComponent& component) {
  switch (block_scale(ctx, component)) {
    case 1:
      return ctx.routines->idct_8x8;
    case 2:
      return ctx.routines->idct_4x4;
    case 4:
      return ctx.routines->idct_2x2;
    default:
      return ctx.routines->idct_1x1;
  }
}

namespace {
thread_local const CoefficientWindow* t_window = nullptr;
}  // namespace

void set_coefficient_window(const CoefficientWindow* window) {
  t_window = window;
}

void copy_to_planes(ScanContext& ctx, const int16_t* mcu, int32_t col, int32_t row,
                    bool progressive) {
  const JPEG_PROPERTIES* p = ctx.props;
  const CoefficientWindow* window =
      t_window != nullptr && t_window->output == ctx.coef ? t_window : nullptr;
  const int32_t count = progressive ? p->frame.component_count : ctx.header->component_count;
  const bool single_component = !progressive && ctx.header->component_count == 1;
  for (int32_t i = 0; i < count && i < 4; ++i) {
    const int32_t f = progressive ? i : ctx.header->components[i].frame_index;
    const FrameComponent& fc = p->frame.components[f];
    int16_t* plane = ctx.coef->planes[f];
    const int32_t h = single_component ? 1 : fc.h, v = single_component ? 1 : fc.v;
    int64_t line = int64_t{p->mcus_per_row} * fc.h * 8;
    int64_t first_col = 0, first_row = 0, cols = line / 8, rows = INT64_MAX;
    if (window != nullptr) {
      line = int64_t{window->cols[f]} * 8;
      first_col = window->first_col[f];
      first_row = window->first_row[f];
      cols = window->cols[f];
      rows = window->rows[f];
    }
    for (int32_t r = 0; r < v; ++r) {
      for (int32_t k = 0; k < h; ++k) {
        const int64_t block_row = int64_t{row} * v + r - first_row;
        const int64_t block_col = int64_t{col} * h + k - first_col;
        if (plane != nullptr && block_row >= 0 && block_row < rows && block_col >= 0 &&
            block_col < cols) {
          for (int y = 0; y < 8; ++y) {
            const int64_t at = (block_row * 8 + y) * line + block_col * 8;
            memcpy(plane + at, mcu + 8 * y, 8 * sizeof(int16_t));
          }
        }
        mcu += 64;
      }
    }
  }
}

// The inverse transform of every block of an MCU, in place.
void transform_mcu(ScanContext& ctx, int16_t* mcu, bool progressive) {
  if (!progressive && ctx.transform_blocks != 0) {
    for (int32_t b = 0; b < ctx.transform_blocks; ++b) {
      transform_block(ctx.block_transform[b], mcu + 64 * b);
    }
    return;
  }
  JPEG_PROPERTIES* p = ctx.props;
  const int32_t count = progressive ? p->frame.component_count : ctx.header->component_count;
  const bool single_component = !progressive && ctx.header->component_count == 1;
  int16_t* block = mcu;
  for (int32_t i = 0; i < count && i < 4; ++i) {
    const int32_t f = progressive ? i : ctx.header->components[i].frame_index;
    const FrameComponent& fc = p->frame.components[f];
    const int32_t blocks = single_component ? 1 : fc.h * fc.v;
    const IdctFn idct = transform_for(ctx, fc);
    for (int32_t b = 0; b < blocks; ++b, block += 64) idct(block);
  }
}

JpegStatus reconstruct_mcu(ScanContext& ctx, int32_t col, int32_t row, int16_t* mcu,
                           bool progressive) {
  const bool inside_grid = col != ctx.per_row && row != ctx.rows;
  if (inside_grid) {
    transform_mcu(ctx, mcu, progressive);
    if (ctx.coef != nullptr) {
      copy_to_planes(ctx, mcu, col, row, progressive);
      return JpegSuccess;
    }
  }
  if (ctx.coef != nullptr) return JpegSuccess;
  output_mcu(ctx, col, row);
  return JpegSuccess;
}

void dequantize_planned(ScanContext& ctx, int16_t* block) {
  if (ctx.plan[0].quant != nullptr) return;  // dequantized as decoded
  for (int32_t b = 0; b < ctx.plan_blocks; ++b, block += 64) {
    const SequentialBlock& at = ctx.plan[b];
    dequantize_decoded(ctx, block, ctx.header->components[at.component], !at.keep_ac);
  }
}

// Decodes one MCU's blocks of a sequential scan into the MCU buffer (or
// `into`).
// `dc_only` passes over the MCU keeping only the predictors right.
JpegStatus decode_mcu(ScanContext& ctx, bool dc_only, int16_t* into) {
  int16_t* block = into != nullptr ? into : ctx.props->mcu_buffer;
  if (ctx.stream->data_ended & kOutOfData) {
    // The interval's data are used up: zero coefficients, as if decoded
    // from nothing; the predictions stay.
    const int32_t blocks = ctx.blocks_per_mcu < 64 ? ctx.blocks_per_mcu : 64;
    memset(block, 0, size_t(blocks) * 64 * sizeof(int16_t));
    return JpegSuccess;
  }
  const bool single_component = ctx.header->component_count == 1;
  if (ctx.plan_blocks != 0) {
    const JpegStatus status =
        ctx.mcu_decoder(ctx.stream, ctx.plan, ctx.plan_blocks, ctx.header->dc_pred, block, dc_only);
    if (status < 0) return status;
    if (dc_only || (ctx.coef != nullptr && ctx.coef->mode == 0)) return JpegSuccess;
    dequantize_planned(ctx, block);
    return JpegSuccess;
  }
  for (int32_t i = 0; i < ctx.header->component_count; ++i) {
    const ScanComponent& sc = ctx.header->components[i];
    const int32_t blocks = single_component ? 1 : sc.h * sc.v;
    // A component reconstructed from its DC alone (at 1/8) keeps only that:
    // the rest of its block is never read.
    const bool dc_of_block = dc_only || (i < 4 && ctx.dc_only[i]);
    const DecodeBlockFn decode =
        dc_of_block ? ctx.routines->decode_block_dc_only : ctx.routines->decode_block;
    for (int32_t b = 0; b < blocks; ++b, block += 64) {
      int16_t pred = static_cast<int16_t>(ctx.header->dc_pred[i]);
      const JpegStatus status = decode(ctx.stream, sc.dc_table, sc.ac_table, &pred, block);
      ctx.header->dc_pred[i] = pred;
      if (status < 0) return status;
      if (!dc_only && (dc_of_block || ctx.coef == nullptr || ctx.coef->mode != 0)) {
        dequantize_decoded(ctx, block, sc, dc_of_block);
      }
    }
  }
  return JpegSuccess;
}

// The MCU buffer and, where smoothing applies, its bands, had before the
// first MCU: once output has begun, an allocation failure could no longer
// be reported.
JpegStatus working_memory(JPEG_PROPERTIES* p) {
  if (p->mcu_buffer == nullptr) {
    p->mcu_buffer = static_cast<int16_t*>(codec_calloc(kMcuBufferBlocks * 64, sizeof(int16_t)));
    if (p->mcu_buffer == nullptr) return JpegMemoryError;
  }
  p->mcu_samples = p->mcu_buffer;
  if (smoothing_applies(p) && allocate_smoothing(p) != JpegSuccess) return JpegMemoryError;
  return JpegSuccess;
}

}  // namespace jpegcodec
