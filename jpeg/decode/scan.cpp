// Scan decoding (T.81 Annex E, F.2 and G.2): walks the MCUs of a scan, has
// each block decoded, handles restart intervals, stores coefficients (one
// MCU at a time for sequential scans, the whole image for progressive ones),
// dequantizes them and hands each finished MCU to block reconstruction.
//
// Four decoders: sequential and progressive, each for the whole image or a
// region of interest. The region decoders of sequential scans keep a
// restart index (one entry per MCU row: byte position and bit state) so
// that a later region further down the same image is reached by a seek.

#include "jpeg/decode/scan.h"
#include "jpeg/cpu/memory.h"

#include <stdlib.h>
#include <string.h>

#include "jpeg/cpu/file_io.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/image_output.h"
#include "jpeg/decode/smooth_output.h"
#include "jpeg/stream/huffman_table.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/tables.h"

namespace jpegcodec {

struct RestartEntry {
  int64_t position;  // file offset, or address of the next byte; -1 = unknown
  uint64_t bit_acc;
  int16_t dc_pred[4];  // the predictors wrap at 16 bits
  int8_t bit_count;    // at most 64
  uint8_t pending_marker;
  bool out_of_data;  // the row starts inside an interval whose data are used up
};

}  // namespace jpegcodec

// One entry per MCU row. Rows past the last entry are reached by decoding
// forward from the last entry known below them. Within a row, checkpoints
// every few MCUs let a region start next to its left edge: a row's are
// allocated when the row is first passed over, so they grow with the data
// decoded, and they are spaced so that they take at most 3 % of the bytes
// of the pixels they cover (one channel per component).
struct RestartIndex {
  jpegcodec::RestartEntry entries[8192];
  jpegcodec::RestartEntry* within[8192];  // slots 1.. of each row, or null
  int32_t within_slots;                   // checkpoints a row holds, its start included
  int32_t checkpoint_mcus;                // MCUs between checkpoints
  int32_t rows_touched;                   // entries and rows of checkpoints below this may be set
  bool whole_scan;                        // a whole-image read recorded every row of the scan
};

namespace jpegcodec {

namespace {

constexpr int32_t kIndexRows = 8192;
// Whole-image reads of images from this size on record the region index.
constexpr int64_t kIndexedPixels = int64_t{1} << 20;
// Images from this size on pass over AC symbols through skip tables
// (building one takes some 45 microseconds).
constexpr int64_t kSkipTablePixels = int64_t{1} << 20;

// What a scan is decoded with: the job's state, its stream and routine
// table, the scan's header, and what set_up_scan derives from them.
struct ScanContext {
  JPEG_PROPERTIES* props;
  InputStream* stream;
  ScanHeader* header;
  RoutineTable* routines;
  int32_t scale;
  int32_t per_row;  // MCUs per row of this scan's grid
  int32_t rows;     // MCU rows of this scan's grid
  int32_t blocks_per_mcu;
  // Every component 1x1 or 2x2: a component of one block per MCU is
  // reconstructed one size larger (see simple_sampling).
  bool enlarge_single_blocks;
  int32_t column_delay;
  int32_t row_delay;
  int32_t checkpoint_spacing;  // MCUs between the region index's checkpoints
  const JpegCoefOutput* coef;  // null unless coefficient or sample output
  StoreLayout store;           // the coefficient store's layout, for stored scans
  bool accurate;               // the accurate transform family
  bool dc_only[4];             // scan components whose AC coefficients this read never uses
  const uint16_t* skip[4];     // the skip table of each scan component's AC table, or null
  // The MCU's blocks for the block decoders taken together (when the
  // table holds decoders with an MCU form), or 0 blocks.
  SequentialBlock plan[10];
  int32_t plan_blocks;
  McuDecodeFn mcu_decoder;
  ProgressiveDecoders progressive;  // the progressive scans' decoders
  // The inverse transform of each block of this scan's MCU (0 blocks when
  // the MCU has more than the list holds).
  IdctFn block_transform[10];
  int32_t transform_blocks;
};

bool region_active(const JPEG_PROPERTIES* p) {
  return (p->roi_right != 0 && p->roi_right < p->jpeg_width) ||
         (p->roi_bottom != 0 && p->roi_bottom < p->jpeg_height) || p->roi_top > 0 ||
         p->roi_left > 0;
}

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

bool file_input(const JPEG_PROPERTIES* p) {
  return p->stream.file != nullptr;
}

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

IdctFn transform_for(const ScanContext& ctx, const FrameComponent& component);

// The skip tables of the four AC table slots, with the build of each table
// they were made from.
struct SkipTables {
  uint32_t generation[4];
  uint16_t entries[4][1 << kHuffSkipBits];
};

// The skip table of `table` (one of the properties' AC tables) for blocks
// read for their DC alone, built when first needed; null for small images
// (building costs more than it saves there), for stored scans, or when its
// memory cannot be had (decoding goes on without).
const uint16_t* skip_table_for(JPEG_PROPERTIES* p, const HuffDecodeTable* table) {
  if (int64_t{p->jpeg_width} * p->jpeg_height < kSkipTablePixels || p->progressive_scans != 0 ||
      table == nullptr) {
    return nullptr;
  }
  int slot = 0;
  while (slot < 4 && table != &p->ac_tables[slot]) ++slot;
  if (slot == 4) return nullptr;
  if (p->skip_tables == nullptr) {
    p->skip_tables = codec_calloc(1, sizeof(SkipTables));
    if (p->skip_tables == nullptr) return nullptr;
  }
  auto* tables = static_cast<SkipTables*>(p->skip_tables);
  if (tables->generation[slot] != table->generation) {
    huff_build_skip_table(table, tables->entries[slot]);
    tables->generation[slot] = table->generation;
  }
  return tables->entries[slot];
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
  // The MCU's blocks: their count and, when they fit the lists (ten at
  // most, as interleaved scans have), each one's transform (the family is
  // chosen before) and decoding plan. The accurate family's dequantization
  // is done as a block is decoded (not in coefficient output, which keeps
  // what was decoded).
  ctx.mcu_decoder = mcu_decoder_for(ctx.routines);
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
                          ctx.skip[i]};
    }
  }
  ctx.blocks_per_mcu = blocks;
  const bool listed = blocks <= 10;
  ctx.transform_blocks = listed ? blocks : 0;
  ctx.plan_blocks = listed && ctx.mcu_decoder != nullptr ? blocks : 0;
}

// ---- restart intervals -----------------------------------------------------

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

// ---- reconstruction ------------------------------------------------------

// The block size a component's blocks are reconstructed at: 8 / scale, or
// one size larger for a component of one block per MCU under simple
// sampling, so that it already has the others' resolution.
IdctFn transform_for(const ScanContext& ctx, const FrameComponent& component) {
  int32_t scale = ctx.scale;
  if (ctx.enlarge_single_blocks && scale > 1 && component.h * component.v == 1) scale /= 2;
  switch (scale) {
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

void copy_to_planes(ScanContext& ctx, const int16_t* mcu, int32_t col, int32_t row,
                    bool progressive) {
  const JPEG_PROPERTIES* p = ctx.props;
  const int32_t count = progressive ? p->frame.component_count : ctx.header->component_count;
  const bool single_component = !progressive && ctx.header->component_count == 1;
  for (int32_t i = 0; i < count && i < 4; ++i) {
    const int32_t f = progressive ? i : ctx.header->components[i].frame_index;
    const FrameComponent& fc = p->frame.components[f];
    int16_t* plane = ctx.coef->planes[f];
    const int32_t h = single_component ? 1 : fc.h, v = single_component ? 1 : fc.v;
    const int32_t line = p->mcus_per_row * fc.h * 8;
    for (int32_t r = 0; r < v; ++r) {
      for (int32_t k = 0; k < h; ++k) {
        if (plane != nullptr) {
          for (int y = 0; y < 8; ++y) {
            const int64_t at = ((int64_t{row} * v + r) * 8 + y) * line + (int64_t{col} * h + k) * 8;
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
    for (int32_t b = 0; b < ctx.transform_blocks; ++b) ctx.block_transform[b](mcu + 64 * b);
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

// Writes the samples the writers read as MCU (col, row) of the image.
void output_mcu(ScanContext& ctx, int32_t col, int32_t row) {
  JPEG_PROPERTIES* p = ctx.props;
  // An MCU outside the region comes back as -8: not an error of the decode.
  if (ctx.scale == 1) {
    if (p->routines->mcu_output != nullptr) p->routines->mcu_output(p, col, row);
  } else {
    output_scaled(p, col, row, 8 / ctx.scale, ctx.enlarge_single_blocks);
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

// The interrupt step after MCU (col, row): 1 with the completed MCU
// reported in roi_left..roi_bottom, 0 when the scan is finished, or -100
// (internal: go on).
constexpr JpegStatus kGoOn = -100;
JpegStatus interrupt_step(ScanContext& ctx, int32_t col, int32_t row, bool apply_skip_rules) {
  JPEG_PROPERTIES* p = ctx.props;
  if (p->interrupt_mode == 0) return kGoOn;
  if (apply_skip_rules && ((ctx.column_delay && col == 0) || (ctx.row_delay && row == 0)))
    return kGoOn;
  ScanHeader* scan = ctx.header;
  scan->resume_col = (col + 1) % (ctx.per_row + ctx.column_delay);
  if (scan->resume_col != 0) {
    scan->resume_row = row;
  } else if (row + 1 == ctx.rows + ctx.row_delay) {
    scan->resume_row = 0;
    return JpegSuccess;
  } else {
    scan->resume_row = row + 1;
  }
  p->roi_left = p->roi_right = col - ctx.column_delay;
  p->roi_top = p->roi_bottom = row - ctx.row_delay;
  return JpegInterruptSuccess;
}

// Dequantizes a decoded block: whole, or its DC alone for a block read for
// that alone.
void dequantize_decoded(ScanContext& ctx, int16_t* block, const ScanComponent& sc, bool dc_alone) {
  const int16_t* quant = sc.quant_table->values;
  if (dc_alone) {
    block[0] = dequantize_value(block[0], quant[0], ctx.accurate);
  } else {
    ctx.routines->dequantize_block(block, quant);
  }
}

// Decodes one MCU's blocks of a sequential scan into the MCU buffer (or
// into `block`). `dc_only` passes over the MCU keeping only the predictors
// right.
JpegStatus decode_mcu(ScanContext& ctx, bool dc_only, int16_t* block = nullptr) {
  if (block == nullptr) block = ctx.props->mcu_buffer;
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
    if (ctx.plan[0].quant != nullptr) return JpegSuccess;  // dequantized as decoded
    for (int32_t b = 0; b < ctx.plan_blocks; ++b, block += 64) {
      const SequentialBlock& at = ctx.plan[b];
      dequantize_decoded(ctx, block, ctx.header->components[at.component], !at.keep_ac);
    }
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

// ---- restart index ------------------------------------------------------------

// The entry for the start of MCU (row, slot * checkpoint spacing), or null
// when the index cannot hold it; with `create`, a row's checkpoints are
// allocated (*failed set when that fails).
RestartEntry* index_entry(ScanContext& ctx, int32_t row, int32_t slot, bool create,
                          bool* failed = nullptr) {
  RestartIndex* index = ctx.props->restart_index;
  if (row < 0 || row >= kIndexRows || slot < 0) return nullptr;
  if (slot == 0) return &index->entries[row];
  const int32_t spacing = ctx.checkpoint_spacing;
  const int32_t slots = (ctx.per_row + spacing - 1) / spacing;
  if (slot >= slots) return nullptr;
  if (index->within_slots != slots || index->checkpoint_mcus != spacing) {
    // Another scan's grid: its checkpoints do not apply.
    for (RestartEntry*& r : index->within) {
      free(r);
      r = nullptr;
    }
    index->within_slots = slots;
    index->checkpoint_mcus = spacing;
  }
  RestartEntry*& within = index->within[row];
  if (within == nullptr) {
    if (!create) return nullptr;
    within = static_cast<RestartEntry*>(codec_malloc(sizeof(RestartEntry) * (slots - 1)));
    if (within == nullptr) {
      if (failed != nullptr) *failed = true;
      return nullptr;
    }
    for (int32_t i = 0; i < slots - 1; ++i) within[i].position = -1;
  }
  return &within[slot - 1];
}

bool index_known(ScanContext& ctx, int32_t row, int32_t slot = 0) {
  const RestartEntry* e = index_entry(ctx, row, slot, false);
  return e != nullptr && e->position >= 0;
}

// Records where MCU (row, slot * checkpoint spacing) starts: 0, or -5 when the
// row's checkpoints cannot be allocated.
JpegStatus index_save(ScanContext& ctx, int32_t row, int32_t slot = 0) {
  bool failed = false;
  RestartEntry* e = index_entry(ctx, row, slot, true, &failed);
  if (e == nullptr) return failed ? JpegMemoryError : JpegSuccess;
  RestartIndex* index = ctx.props->restart_index;
  if (row >= index->rows_touched) index->rows_touched = row + 1;
  e->position = file_input(ctx.props)
                    ? int64_t{ctx.stream->consumed}
                    : static_cast<int64_t>(reinterpret_cast<intptr_t>(ctx.stream->next));
  for (int i = 0; i < 4; ++i) e->dc_pred[i] = static_cast<int16_t>(ctx.header->dc_pred[i]);
  e->bit_acc = ctx.stream->bit_acc;
  e->bit_count = static_cast<int8_t>(ctx.stream->bit_count);
  e->pending_marker = ctx.stream->pending_marker;
  e->out_of_data = (ctx.stream->data_ended & kOutOfData) != 0;
  return JpegSuccess;
}

JpegStatus index_restore(ScanContext& ctx, int32_t row, int32_t slot = 0) {
  const RestartEntry& e = *index_entry(ctx, row, slot, false);
  InputStream* s = ctx.stream;
  for (int i = 0; i < 4; ++i) ctx.header->dc_pred[i] = e.dc_pred[i];
  s->bit_acc = e.bit_acc;
  s->bit_count = e.bit_count;
  s->pending_marker = e.pending_marker;
  s->data_ended = e.out_of_data ? s->data_ended | kOutOfData : s->data_ended & ~kOutOfData;
  if (file_input(ctx.props)) {
    s->consumed = static_cast<int32_t>(e.position);
    if (file_seek(s->file, e.position, 0) == 0) return JpegFileError;
    s->end_of_file = 0;
    s->available = 0;
    s->next = s->data_end;
    // A position at the end of the file is the end of the data there, not
    // a failure to read them.
    return stream_refill(s) == JpegFileError ? JpegFileError : JpegSuccess;
  }
  s->next = reinterpret_cast<const uint8_t*>(static_cast<intptr_t>(e.position));
  s->consumed = static_cast<int32_t>(s->next - s->data_start);
  s->available = s->data_size - s->consumed;
  return JpegSuccess;
}

// ---- sequential, whole image ------------------------------------------------------

// With `indexing`, the start of each row and its checkpoints are recorded
// on the way.
JpegStatus decode_scan_sequential(ScanContext& ctx, bool indexing) {
  ScanHeader* scan = ctx.header;
  const bool coefficients = ctx.coef != nullptr && ctx.coef->mode == 0;
  // Where a read whose grey background waits stops writing.
  auto written = [&ctx](int32_t col, int32_t row, JpegStatus status) {
    ctx.props->written_until[0] = col;
    ctx.props->written_until[1] = row;
    return status;
  };
  const int32_t spacing = ctx.checkpoint_spacing;
  // MCUs of one block are decoded into the buffer's first two blocks in
  // turn, and each is transformed and written only once the next has been
  // decoded: the transform then reads coefficients stored a block's
  // decoding before, not ones the decoder has just scattered (which the
  // processor cannot hand on to a wide load until they reach the cache).
  const bool staggered = ctx.plan_blocks == 1 && ctx.coef == nullptr &&
                         ctx.props->interrupt_mode == 0 && !ctx.column_delay && !ctx.row_delay;
  for (int32_t row = scan->resume_row; row < ctx.rows; ++row) {
    const int32_t first_col = row == scan->resume_row ? scan->resume_col : 0;
    // The next column whose start the index records.
    int32_t checkpoint = indexing ? (first_col + spacing - 1) / spacing * spacing : ctx.per_row;
    auto index_here = [&](int32_t col) {
      if (col != checkpoint) return;
      checkpoint += spacing;
      // Out of memory for it, the read goes on without the index.
      if (index_save(ctx, row, col / spacing) != JpegSuccess) {
        indexing = false;
        checkpoint = ctx.per_row;
      }
    };
    if (staggered) {
      int32_t held = -1;  // the column decoded but not yet written
      auto write_held = [&]() {
        if (held < 0) return;
        int16_t* block = ctx.props->mcu_buffer + 64 * (held & 1);
        transform_mcu(ctx, block, false);
        ctx.props->mcu_samples = block;
        output_mcu(ctx, held, row);
        ctx.props->mcu_samples = ctx.props->mcu_buffer;
        held = -1;
      };
      for (int32_t col = first_col; col < ctx.per_row; ++col) {
        index_here(col);
        JpegStatus status = decode_mcu(ctx, false, ctx.props->mcu_buffer + 64 * (col & 1));
        if (status == JpegSuccess) status = restart_check(ctx, ctx.per_row, ctx.rows, col, row);
        write_held();
        if (status != JpegSuccess) return written(col, row, status);
        held = col;
        // The data ended in this MCU: what follows stays grey.
        if (scan_data_ended(ctx)) {
          write_held();
          return written(col + 1, row, JpegEofError);
        }
      }
      write_held();
      continue;
    }
    for (int32_t col = first_col; col < ctx.per_row; ++col) {
      index_here(col);
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

// ---- progressive ----------------------------------------------------------------

// The mask of non-zero coefficients of a block of the store, kept after
// the coefficients.
uint64_t* nonzero_mask(const JPEG_PROPERTIES* p, const int16_t* block) {
  auto* masks =
      reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(p->coef_buffer) + p->coef_buffer_bytes);
  return masks + (block - p->coef_buffer) / 64;
}

// The first block of frame component `f` in MCU `index` of the store (its
// DC value, when the store keeps that alone), and the values from one of
// the component's blocks to the next.
int16_t* stored_block(const ScanContext& ctx, int64_t index, int32_t f) {
  const StoreLayout& l = ctx.store;
  if (l.dc_alone[f])
    return ctx.props->coef_buffer + l.mcus * l.whole_per_mcu * 64 + index * l.dc_per_mcu +
           l.offset[f];
  return ctx.props->coef_buffer + (index * l.whole_per_mcu + l.offset[f]) * 64;
}
int32_t block_step(const ScanContext& ctx, int32_t f) {
  return ctx.store.dc_alone[f] ? 1 : 64;
}
int64_t mcu_step(const ScanContext& ctx, int32_t f) {
  return ctx.store.dc_alone[f] ? ctx.store.dc_per_mcu : int64_t{ctx.store.whole_per_mcu} * 64;
}

// Copies MCU (col, row) from the coefficient store, dequantizes it and
// reconstructs it (or copies it to the planes).
void output_progressive_mcu(ScanContext& ctx, int32_t col, int32_t row) {
  JPEG_PROPERTIES* p = ctx.props;
  const int64_t index = int64_t{col} + int64_t{row} * p->mcus_per_row;
  const bool planes = ctx.coef != nullptr && ctx.coef->mode == 0;
  int16_t* block = p->mcu_buffer;
  for (int32_t f = 0; f < p->frame.component_count && f < 4; ++f) {
    const FrameComponent& fc = p->frame.components[f];
    const int16_t* from = stored_block(ctx, index, f);
    const int16_t* quant = component_quant_values(p, f, ctx.accurate ? 1 : 0);
    for (int32_t b = 0; b < fc.h * fc.v; ++b, block += 64) {
      if (ctx.store.dc_alone[f]) {
        // Reconstructed from its DC alone (a store of coefficients for the
        // planes keeps every block whole).
        block[0] = dequantize_value(from[b], quant[0], ctx.accurate);
      } else {
        memcpy(block, from + 64 * b, 64 * sizeof(int16_t));
        if (!planes) ctx.routines->dequantize_block(block, quant);
      }
    }
  }
  if (planes) {
    copy_to_planes(ctx, p->mcu_buffer, col, row, true);
    return;
  }
  reconstruct_mcu(ctx, col, row, p->mcu_buffer, true);
  p->image_output_done = 1;
}

// Region limits in MCUs for output: [first, last) columns and rows.
struct Region {
  int32_t first_col = 0, last_col = 0, first_row = 0, last_row = 0;
};

// Interrupt mode in a scan that goes to the coefficient store: a return
// after each MCU row, reporting it; none after the last (the scan then ends
// with 0). Nothing is written before the store is complete, so the report
// tells how far decoding has come.
JpegStatus stored_row_done(ScanContext& ctx, int32_t row) {
  JPEG_PROPERTIES* p = ctx.props;
  if (p->interrupt_mode == 0 || row + 1 >= p->mcu_rows) return kGoOn;
  ctx.header->resume_col = 0;
  ctx.header->resume_row = row + 1;
  p->roi_left = p->roi_right = p->mcus_per_row - 1;
  p->roi_top = p->roi_bottom = row;
  return JpegInterruptSuccess;
}

// Decodes a scan into the coefficient store: a scan of a progressive frame,
// or one of a sequential frame whose components come in several scans. The
// image is written once, from the complete store, when the data end.
JpegStatus decode_scan_stored(ScanContext& ctx) {
  JPEG_PROPERTIES* p = ctx.props;
  ScanHeader* scan = ctx.header;
  // The scans of a sequential frame in the store carry the whole band.
  const bool whole_band = !p->progressive_frame;
  if (scan->ss == 0 && scan->component_count > 1) {
    // Interleaved scans (DC, or the whole band): MCU by MCU.
    for (int32_t row = scan->resume_row; row < p->mcu_rows; ++row) {
      // The DC scans of a progressive frame keep the bit state in registers
      // from MCU to MCU, between restart markers.
      // (An MCU of more blocks than a frame may have goes block by block.)
      DcBlock plan[10];
      int32_t plan_blocks = 0;
      for (int32_t i = 0; i < scan->component_count; ++i) {
        plan_blocks += scan->components[i].h * scan->components[i].v;
      }
      if (whole_band || plan_blocks > 10) plan_blocks = 0;
      for (int32_t i = 0, n = 0; n < plan_blocks; ++i) {
        const ScanComponent& sc = scan->components[i];
        const int32_t step = block_step(ctx, sc.frame_index);
        int16_t* first = stored_block(ctx, int64_t{row} * p->mcus_per_row, sc.frame_index);
        for (int32_t b = 0; b < sc.h * sc.v; ++b, first += step) {
          plan[n++] = DcBlock{first, step == 64 ? nonzero_mask(p, first) : nullptr,
                              mcu_step(ctx, sc.frame_index), sc.dc_table, i};
        }
      }
      for (int32_t col = 0; col < p->mcus_per_row; ++col) {
        const int64_t index = int64_t{col} + int64_t{row} * p->mcus_per_row;
        if (plan_blocks > 0 && (ctx.stream->data_ended & kOutOfData) == 0) {
          // As far as the next restart marker, or the row's end.
          int32_t to = p->mcus_per_row;
          if (scan->restart_interval != 0) {
            const int64_t left = scan->restart_interval - index % scan->restart_interval;
            if (left < to - col) to = col + static_cast<int32_t>(left);
          }
          col += ctx.progressive.dc_mcus(ctx.stream, plan, plan_blocks, col, to, scan->dc_pred,
                                         scan->ah, scan->al) -
                 1;
          const JpegStatus restart = restart_check(ctx, p->mcus_per_row, p->mcu_rows, col, row);
          if (restart != JpegSuccess) return restart_failure(restart);
          if (scan_data_ended(ctx)) return JpegEofError;
          continue;
        }
        // An MCU of an interval whose data are used up keeps what it has.
        const int32_t components =
            (ctx.stream->data_ended & kOutOfData) ? 0 : scan->component_count;
        for (int32_t i = 0; i < components; ++i) {
          const ScanComponent& sc = scan->components[i];
          const int32_t step = block_step(ctx, sc.frame_index);
          int16_t* block = stored_block(ctx, index, sc.frame_index);
          for (int32_t b = 0; b < sc.h * sc.v; ++b, block += step) {
            // A block decoder's failure leaves the block as decoded so far.
            if (whole_band) {
              int16_t pred = static_cast<int16_t>(scan->dc_pred[i]);
              ctx.routines->decode_block(ctx.stream, sc.dc_table, sc.ac_table, &pred, block);
              scan->dc_pred[i] = pred;
            } else if (scan->ah == 0) {
              if (step == 64) {
                zero_block(block);
                *nonzero_mask(p, block) = 0;  // the block starts anew
              }
              int16_t pred = static_cast<int16_t>(scan->dc_pred[i]);
              decode_dc_first(ctx.stream, sc.dc_table, block, &pred, scan->al);
              scan->dc_pred[i] = pred;
            } else {
              decode_dc_refine(ctx.stream, block, scan->al);
            }
          }
        }
        const JpegStatus restart = restart_check(ctx, p->mcus_per_row, p->mcu_rows, col, row);
        if (restart != JpegSuccess) return restart_failure(restart);
        // The data ended: the blocks keep what earlier scans gave them.
        if (scan_data_ended(ctx)) return JpegEofError;
      }
      const JpegStatus status = stored_row_done(ctx, row);
      if (status != kGoOn) return status;
    }
    scan->resume_col = scan->resume_row = 0;
    return JpegSuccess;
  }

  // Scans of one component (every AC scan, DC scans of one component, the
  // whole band of one component of a sequential frame):
  // the component's own block grid, row by row across the image (T.81
  // A.2.2), which for a subsampled component is not the MCU order.
  const ScanComponent& sc = scan->components[0];
  const int32_t h = sc.h, v = sc.v;
  const int32_t unit_w = (p->frame.max_h * 8) / h, unit_h = (p->frame.max_v * 8) / v;
  const int32_t grid_cols = (p->jpeg_width + unit_w - 1) / unit_w;
  const int32_t grid_rows = (p->jpeg_height + unit_h - 1) / unit_h;
  const int32_t step = block_step(ctx, sc.frame_index);
  const int64_t mcu_values = mcu_step(ctx, sc.frame_index);
  // A component kept as DC values alone has no AC band to decode (such
  // scans are passed over before they get here).
  if (step == 1 && (whole_band || scan->ss != 0)) return JpegSuccess;
  // AC bands of a progressive frame go through the decoder that keeps the
  // bit state in registers from block to block, between restart markers.
  const bool band_decoder = !whole_band && scan->ss != 0;
  const BandScan band_scan{sc.ac_table, scan->ss, scan->se, scan->ah, scan->al};
  for (int32_t y = scan->resume_row; y < p->mcu_rows; ++y) {
    for (int32_t r = 0; r < v && (y * v + r) < grid_rows; ++r) {
      int16_t* const row_start =
          stored_block(ctx, int64_t{y} * p->mcus_per_row, sc.frame_index) + step * r * h;
      const BandRow band_row{row_start, step == 64 ? nonzero_mask(p, row_start) : nullptr, h,
                             ctx.store.whole_per_mcu};
      const int32_t grid_row = y * v + r;
      for (int32_t gx = 0; gx < grid_cols; ++gx) {
        int16_t* block = row_start + int64_t{gx / h} * mcu_values + step * (gx % h);
        int32_t decoded = 0;
        if (band_decoder && (ctx.stream->data_ended & kOutOfData) == 0) {
          // As far as the next restart marker, or the row's end.
          int32_t to = grid_cols;
          if (scan->restart_interval != 0) {
            const int64_t n = int64_t{gx} + int64_t{grid_row} * grid_cols;
            const int64_t left = scan->restart_interval - n % scan->restart_interval;
            if (left < to - gx) to = gx + static_cast<int32_t>(left);
          }
          decoded = ctx.progressive.ac_band(ctx.stream, band_row, band_scan, gx, to);
        }
        if (decoded > 0) {
          gx += decoded - 1;  // the checks below are for the last of them
        } else if (ctx.stream->data_ended & kOutOfData) {
          // An interval whose data are used up: the block keeps what it has.
        } else if (whole_band) {
          int16_t pred = static_cast<int16_t>(scan->dc_pred[0]);
          ctx.routines->decode_block(ctx.stream, sc.dc_table, sc.ac_table, &pred, block);
          scan->dc_pred[0] = pred;
        } else if (scan->ss == 0) {
          if (scan->ah == 0) {
            if (step == 64) {
              zero_block(block);
              *nonzero_mask(p, block) = 0;  // the block starts anew
            }
            int16_t pred = static_cast<int16_t>(scan->dc_pred[0]);
            decode_dc_first(ctx.stream, sc.dc_table, block, &pred, scan->al);
            scan->dc_pred[0] = pred;
          } else {
            decode_dc_refine(ctx.stream, block, scan->al);
          }
        }
        if (scan->restart_interval != 0) {
          const JpegStatus restart = restart_check(ctx, grid_cols, grid_rows, gx, grid_row);
          if (restart != JpegSuccess) return restart_failure(restart);
        }
        if (scan_data_ended(ctx)) return JpegEofError;
      }
    }
    const JpegStatus status = stored_row_done(ctx, y);
    if (status != kGoOn) return status;
  }
  scan->resume_col = scan->resume_row = 0;
  return JpegSuccess;
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

// Passes over MCUs [from, to) of a row with the DC-only decoder.
// Checkpoints met on the way are recorded.
JpegStatus pass_over(ScanContext& ctx, int32_t row, int32_t from, int32_t to) {
  const int32_t spacing = ctx.props->restart_index != nullptr ? ctx.checkpoint_spacing : 0;
  for (int32_t col = from; col < to; ++col) {
    if (spacing != 0 && col % spacing == 0 && col > 0 && !index_known(ctx, row, col / spacing)) {
      const JpegStatus status = index_save(ctx, row, col / spacing);
      if (status != JpegSuccess) return status;
    }
    if (decode_mcu(ctx, true) < 0) return JpegDataError;
    const JpegStatus restart = restart_check(ctx, ctx.per_row, ctx.rows, col, row);
    if (restart != JpegSuccess) return restart_failure(restart);
    if (scan_data_ended(ctx)) return JpegEofError;
  }
  return JpegSuccess;
}

// ---- sequential, region of interest ---------------------------------------------

// Puts the stream at the start of MCU (row, col), from the nearest point the
// index knows: a checkpoint of that row at or before col; else the row's
// start, reached from where the stream stands (the start of MCU (at_row,
// at_col) of the row above, when at_row says so) or from the nearest row
// start known above. Rows and checkpoints passed on the way are recorded.
JpegStatus seek_to(ScanContext& ctx, int32_t row, int32_t col, int32_t at_row, int32_t at_col) {
  const int32_t spacing = ctx.checkpoint_spacing;
  for (int32_t slot = col / spacing; slot >= 0; --slot) {
    if (index_known(ctx, row, slot)) {
      if (index_restore(ctx, row, slot) != JpegSuccess) return JpegFileError;
      return pass_over(ctx, row, slot * spacing, col);
    }
  }
  int32_t from_row;
  if (at_row == row - 1 && at_row >= 0) {
    // The rest of the row above.
    const JpegStatus status = pass_over(ctx, at_row, at_col, ctx.per_row);
    if (status != JpegSuccess) return status;
    from_row = row;
  } else {
    from_row = row < kIndexRows ? row : kIndexRows - 1;
    while (!index_known(ctx, from_row)) --from_row;
    if (index_restore(ctx, from_row) != JpegSuccess) return JpegFileError;
  }
  for (int32_t r = from_row; r < row; ++r) {
    JpegStatus status = pass_over(ctx, r, 0, ctx.per_row);
    if (status == JpegSuccess) status = index_save(ctx, r + 1);
    if (status != JpegSuccess) return status;
  }
  if (from_row == row && !index_known(ctx, row)) {
    const JpegStatus status = index_save(ctx, row);
    if (status != JpegSuccess) return status;
  }
  return pass_over(ctx, row, 0, col);
}

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

// The region index, allocated on first use with every entry unknown.
bool have_restart_index(JPEG_PROPERTIES* p) {
  if (p->restart_index != nullptr) return true;
  auto* index = static_cast<RestartIndex*>(codec_calloc(1, sizeof(RestartIndex)));
  if (index == nullptr) return false;
  for (RestartEntry& e : index->entries) e.position = -1;
  p->restart_index = index;
  return true;
}

// Whether a whole-image read records the region index as it goes, so that
// a region read of the same data on the same job seeks to its rows instead
// of decoding its way down to them: for large single-scan images, where
// that pays for the index's memory, and never for coefficient output.
bool indexes_whole_image(const JPEG_PROPERTIES* p, const ScanContext& ctx) {
  return p->progressive_scans == 0 && ctx.coef == nullptr &&
         int64_t{p->jpeg_width} * p->jpeg_height >= kIndexedPixels;
}

// The MCU buffer and, where smoothing applies, its bands, had before the
// first MCU: once output has begun, an allocation failure could no longer
// be reported.
JpegStatus working_memory(JPEG_PROPERTIES* p) {
  if (p->mcu_buffer == nullptr) {
    p->mcu_buffer = static_cast<int16_t*>(codec_calloc(4 * 16 * 64, sizeof(int16_t)));
    if (p->mcu_buffer == nullptr) return JpegMemoryError;
  }
  p->mcu_samples = p->mcu_buffer;
  if (smoothing_applies(p) && allocate_smoothing(p) != JpegSuccess) return JpegMemoryError;
  return JpegSuccess;
}

}  // namespace

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
    status = region ? decode_scan_sequential_roi(ctx) : decode_scan_sequential(ctx, indexing);
  }
  // Bits left after a finished scan are dropped; a pending marker stays
  // for the parser.
  if (status == JpegSuccess) p->stream.bit_count = 0;
  t->end_of_scan();
  return status;
}

namespace {

// Writes the image from a store of the given layout.
JpegStatus output_stored_image(JPEG_PROPERTIES* p, const StoreLayout& layout) {
  if (p->progressive_scans == 0 || p->coef_buffer == nullptr || p->image_output_done) {
    return JpegSuccess;
  }
  // The whole image once its scans are decoded, the region of a region
  // read, or what the scans so far hold when the data ended early.
  ScanHeader scan{};
  ScanContext ctx{};
  set_up_scan(ctx, p, &scan);
  ctx.store = layout;
  const int32_t family = transform_family_for_tables(p);
  select_transform_family(ctx.routines, family);
  match_quant_tables_to_family(p, family);
  const JpegStatus memory = working_memory(p);
  if (memory != JpegSuccess) return memory;
  if (region_active(p)) {
    // The region's MCUs; with smoothing one more around them (the filter
    // reads the neighbouring MCUs, and the output lags one MCU behind),
    // and the flush calls where the region reaches the image's edge.
    const int32_t block = 8 / ctx.scale;
    Region r = region_in_mcus(ctx, block * p->frame.max_h, block * p->frame.max_v);
    const int32_t cd = ctx.column_delay, rd = ctx.row_delay;
    if (cd && r.first_col > 0) --r.first_col;
    if (cd && r.last_col < p->mcus_per_row) ++r.last_col;
    if (rd && r.first_row > 0) --r.first_row;
    if (rd && r.last_row < p->mcu_rows) ++r.last_row;
    const bool right_edge = cd && r.last_col == p->mcus_per_row;
    for (int32_t row = r.first_row; row < r.last_row; ++row) {
      for (int32_t col = r.first_col; col < r.last_col; ++col)
        output_progressive_mcu(ctx, col, row);
      if (right_edge) reconstruct_mcu(ctx, p->mcus_per_row, row, p->mcu_buffer, true);
    }
    if (rd && r.last_row == p->mcu_rows) {
      for (int32_t col = r.first_col; col < r.last_col; ++col) {
        reconstruct_mcu(ctx, col, p->mcu_rows, p->mcu_buffer, true);
      }
      if (right_edge) reconstruct_mcu(ctx, p->mcus_per_row, p->mcu_rows, p->mcu_buffer, true);
    }
    p->image_output_done = 1;
    ctx.routines->end_of_scan();
    return JpegSuccess;
  }
  for (int32_t row = 0; row < p->mcu_rows; ++row) {
    for (int32_t col = 0; col < p->mcus_per_row; ++col) output_progressive_mcu(ctx, col, row);
    reconstruct_mcu(ctx, p->mcus_per_row, row, p->mcu_buffer, true);  // flush (smoothing)
  }
  for (int32_t col = 0; col <= p->mcus_per_row; ++col) {
    reconstruct_mcu(ctx, col, p->mcu_rows, p->mcu_buffer, true);
  }
  p->image_output_done = 1;
  ctx.routines->end_of_scan();
  return JpegSuccess;
}

}  // namespace

JpegStatus output_whole_progressive_image(JPEG_PROPERTIES* p) {
  return output_stored_image(p, store_layout(p));
}

JpegStatus output_stored_image_again(JPEG_PROPERTIES* p) {
  p->image_output_done = 0;
  // The earlier read kept every block whole, whatever this one reads.
  return output_stored_image(p, store_layout(p, true));
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

bool reads_dc_only(const JPEG_PROPERTIES* p) {
  return scale_of(p->io_type) == 8 && p->coef_output == nullptr;
}

bool component_uses_dc_only(const JPEG_PROPERTIES* p, int32_t frame_index) {
  if (!reads_dc_only(p) || frame_index < 0 || frame_index >= p->frame.component_count) return false;
  const FrameComponent& fc = p->frame.components[frame_index];
  // One size larger (2x2, from AC frequencies too) under simple sampling.
  return !(simple_sampling(p->frame) && fc.h * fc.v == 1);
}

StoreLayout store_layout(const JPEG_PROPERTIES* p, bool whole_blocks) {
  StoreLayout l{};
  l.mcus = int64_t{p->mcus_per_row} * p->mcu_rows;
  for (int32_t f = 0; f < p->frame.component_count && f < 4; ++f) {
    const FrameComponent& fc = p->frame.components[f];
    // AC scans of such a component are passed over: its DC is all there is.
    l.dc_alone[f] = !whole_blocks && p->progressive_frame && component_uses_dc_only(p, f);
    int32_t& count = l.dc_alone[f] ? l.dc_per_mcu : l.whole_per_mcu;
    l.offset[f] = count;
    count += fc.h * fc.v;
  }
  return l;
}

uint64_t coefficient_store_bytes(const StoreLayout& l) {
  return (uint64_t{static_cast<uint32_t>(l.whole_per_mcu)} * 64 +
          static_cast<uint32_t>(l.dc_per_mcu)) *
         2 * static_cast<uint64_t>(l.mcus);
}

bool region_would_be_active(const JPEG_PROPERTIES* p) {
  if (!region_requested(p)) return false;
  JPEG_PROPERTIES settled = *p;
  return settle_region(&settled) == JpegSuccess && region_active(&settled);
}

bool restart_index_knows(const JPEG_PROPERTIES* p, int32_t row) {
  return p->restart_index != nullptr && row >= 0 && row < kIndexRows &&
         p->restart_index->entries[row].position >= 0;
}

void reset_restart_index(JPEG_PROPERTIES* p) {
  RestartIndex* index = p->restart_index;
  if (index == nullptr) return;
  // Only rows a read has recorded: a job that reads many small images
  // after a large one does not sweep the whole index each time.
  for (int32_t row = 0; row < index->rows_touched; ++row) {
    index->entries[row].position = -1;
    free(index->within[row]);
    index->within[row] = nullptr;
  }
  index->rows_touched = 0;
  index->whole_scan = false;
}

bool restart_index_covers_scan(const JPEG_PROPERTIES* p) {
  return p->restart_index != nullptr && p->restart_index->whole_scan;
}

void free_restart_index(JPEG_PROPERTIES* p) {
  reset_restart_index(p);
  free(p->restart_index);
  p->restart_index = nullptr;
}

}  // namespace jpegcodec
