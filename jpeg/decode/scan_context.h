// What the scan decoders share: the scan context (the job's state, the
// scan's header and what its set-up derives from them), the restart index's
// entries, and the steps each decoder takes per MCU. Internal to decode/:
// scan.cpp, scan_mcu.cpp, coefficient_store.cpp, region.cpp,
// restart_index.cpp, parallel_scan.cpp and row_pipeline.cpp include it.
#pragma once

#include "jpeg/cpu/memory.h"

#include <stdlib.h>
#include <string.h>

#include "jpeg/cpu/file_io.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/image_output.h"
#include "jpeg/decode/scan.h"
#include "jpeg/decode/smooth_output.h"
#include "jpeg/stream/huffman_table.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/tables.h"

namespace jpegcodec {

struct RestartEntry {
  uint64_t bit_acc;
  // The file offset, or the next byte's offset in the caller's buffer;
  // -1 = unknown.
  int32_t position;
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

constexpr int32_t kIndexRows = 8192;
// Blocks the MCU buffer holds.
constexpr int32_t kMcuBufferBlocks = 4 * 16;
// Whole-image reads of images from this size on record the region index.
constexpr int64_t kIndexedPixels = int64_t{1} << 20;
// Images from this size on pass over AC symbols through skip tables
// (building one takes some 45 microseconds).
constexpr int64_t kSkipTablePixels = int64_t{1} << 20;
// Images from this size on decode through fast tables (building one takes
// a few microseconds).
constexpr int64_t kFastTablePixels = int64_t{1} << 16;

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
  // Every block of the MCU reconstructed from its DC alone at 1/8 in the
  // accurate family: a batch writer can take the DCs as decoded and give
  // each its sample itself (accurate_dc_sample), the transform passed over.
  bool dc_samples_in_writer;
  int32_t column_delay;
  int32_t row_delay;
  int32_t checkpoint_spacing;  // MCUs between the region index's checkpoints
  // One of several threads recording rows of the index at once: the count
  // of rows touched is left to the thread that started them.
  bool index_shared;
  const JpegCoefOutput* coef;  // null unless coefficient or sample output
  // A scan decoded beside others (scan_team.cpp): before each MCU row it
  // waits for the earlier scans it shares coefficients with to have done
  // that row, and after it says it has. Null for one thread.
  struct ScanGate* gate;
  StoreLayout store;        // the coefficient store's layout, for stored scans
  bool accurate;            // the accurate transform family
  bool dc_only[4];          // scan components whose AC coefficients this read never uses
  const uint16_t* skip[4];  // the skip table of each scan component's AC table, or null
  // The MCU's blocks for the block decoders taken together (when the
  // table holds decoders with an MCU form), or 0 blocks.
  SequentialBlock plan[10];
  int32_t plan_blocks;
  McuDecodeFn mcu_decoder;
  McuBatchFn mcu_batch_decoder;     // its batch form
  ProgressiveDecoders progressive;  // the progressive scans' decoders
  // The inverse transform of each block of this scan's MCU (0 blocks when
  // the MCU has more than the list holds).
  IdctFn block_transform[10];
  int32_t transform_blocks;
};

// Region limits in MCUs for output: [first, last) columns and rows.
struct Region {
  int32_t first_col = 0, last_col = 0, first_row = 0, last_row = 0;
};

// The interrupt step after MCU (col, row): 1 with the completed MCU
// reported in roi_left..roi_bottom, 0 when the scan is finished, or -100
// (internal: go on).
constexpr JpegStatus kGoOn = -100;

// ---- set-up, restart intervals, reconstruction (scan_mcu.cpp) ----------------------

// Sampling where every component is 1x1 or 2x2 (and not all 1x1): a
// component of one block per MCU is then reconstructed one size larger.
bool simple_sampling(const FrameHeader& f);
// Coefficient or sample output: the MCU's blocks into the caller's planes.
void copy_to_planes(ScanContext& ctx, const int16_t* mcu, int32_t col, int32_t row,
                    bool progressive);
// The scale of a read type: 1, 2, 4 or 8.
int32_t scale_of(int32_t io_type);
// The grid, scale and flags a scan of `p` is decoded and written with.
void set_up_scan(ScanContext& ctx, JPEG_PROPERTIES* p, ScanHeader* scan);
// After MCU (col, row) of a grid, at the end of an interval: the restart
// marker due there (see scan_mcu.cpp).
JpegStatus restart_check(ScanContext& ctx, int32_t per_row, int32_t rows, int32_t col, int32_t row);
bool scan_data_ended(const ScanContext& ctx);
JpegStatus restart_failure(JpegStatus status);
IdctFn transform_for(const ScanContext& ctx, const FrameComponent& component);
// The scale a component's blocks are reconstructed at: the read's, or one
// size larger for a single block under simple sampling.
int32_t block_scale(const ScanContext& ctx, const FrameComponent& component);
void transform_mcu(ScanContext& ctx, int16_t* mcu, bool progressive);
JpegStatus reconstruct_mcu(ScanContext& ctx, int32_t col, int32_t row, int16_t* mcu,
                           bool progressive);
// Decodes one MCU of the scan into mcu_buffer (or `into`): 0, or a
// negative status.
JpegStatus decode_mcu(ScanContext& ctx, bool dc_only, int16_t* into = nullptr);
// Dequantizes the MCU's blocks at `block` that the plan's decoding left as
// decoded (the fast family's).
void dequantize_planned(ScanContext& ctx, int16_t* block);
// The MCU buffer and the smoothing bands a scan's output needs: 0 or -5.
JpegStatus working_memory(JPEG_PROPERTIES* p);

// ---- the restart index and seeking (restart_index.cpp) ----------------------------

bool file_input(const JPEG_PROPERTIES* p);
void gate_wait(const ScanGate* gate, int32_t row);
void gate_done(ScanGate* gate, int32_t row);
bool index_known(ScanContext& ctx, int32_t row, int32_t slot = 0);
// A row's checkpoints allocated now (false when memory runs short), so that
// two threads recording parts of the row never both allocate them.
bool index_prepare_row(ScanContext& ctx, int32_t row);
JpegStatus index_save(ScanContext& ctx, int32_t row, int32_t slot = 0);
// The same for `count` starts a batch decoder marked in passing, of slots
// slot, slot + 1, ... of a row (those past its last slot dropped).
JpegStatus index_save_marks(ScanContext& ctx, int32_t row, int32_t slot, const BatchMark* marks,
                            int32_t count);
JpegStatus index_restore(ScanContext& ctx, int32_t row, int32_t slot = 0);
JpegStatus seek_to(ScanContext& ctx, int32_t row, int32_t col, int32_t at_row, int32_t at_col);
bool have_restart_index(JPEG_PROPERTIES* p);
bool indexes_whole_image(const JPEG_PROPERTIES* p, const ScanContext& ctx);

// ---- the decoders (scan.cpp, coefficient_store.cpp, region.cpp) -------------------

// Batches of sequential MCUs (scan.cpp): whether the read takes them; the
// writer that takes a whole batch (null: MCU by MCU); MCUs col..end-1 of
// `row` decoded into `buffer` (64 x plan_blocks values an MCU), with the
// restart marker after the last, giving how many may be written and the
// status; and `count` MCUs of a buffer transformed and written.
using BatchWriter = bool (*)(const ScanContext&, int32_t, int32_t, int32_t, const int16_t*,
                             int32_t);
bool batches_apply(const ScanContext& ctx);
// `end`, or the end of the restart interval MCU (col, row) lies in when
// that comes first: a batch never runs past a restart marker.
int32_t interval_end(const ScanContext& ctx, int32_t row, int32_t col, int32_t end);
// The skip table of `table` (one of the job's AC tables) for blocks read
// for their DC alone, made when first needed; null when building it would
// not pay (a small or progressive image) or its memory cannot be had.
const uint16_t* skip_table_for(JPEG_PROPERTIES* p, const HuffDecodeTable* table);
BatchWriter batch_writer_for(const ScanContext& ctx);
// A batch transformed while it is decoded (see BatchStep), each block one
// behind the decoder; what is left when the batch ends is transformed by
// write_batch.
using BatchPipeline = BatchStep;
// Whether a batch of this read is transformed as it is decoded: blocks
// dequantized as decoded, each with a transform of its own, and the DCs
// not left to the batch writer.
bool pipelines_apply(const ScanContext& ctx);
void pipeline_start(BatchPipeline& pipe, ScanContext& ctx, int16_t* buffer);
int32_t decode_batch(ScanContext& ctx, int32_t col, int32_t row, int32_t end, int16_t* buffer,
                     JpegStatus* status, BatchPipeline* pipe = nullptr,
                     BatchMarks* marks = nullptr);
// Checkpoints a batch decoder marks at most in one run.
constexpr int32_t kRunMarks = 32;
// Sets `marks` up to mark, in a run from MCU `col` to `end`, MCUs `first`,
// `first + step`, ... into `room` (kRunMarks of them), bringing `end` in
// where they would not all fit; null when none lies in the run.
BatchMarks* run_marks(BatchMarks& marks, BatchMark* room, int32_t col, int32_t first, int32_t step,
                      int32_t& end);
// Where a whole-image read records the index's entries in a row: the
// row's start and the checkpoints after it, or at a reduced size the start
// alone. A reduced read does a fraction of the work an MCU, and recording
// checkpoints (new memory every few MCUs) would be a large share of it; a
// region read after it records them as it passes over the row.
struct RowCheckpoints {
  int32_t next;  // the next MCU whose start is recorded; none past the row
  int32_t step;  // MCUs from one to the next
};
RowCheckpoints row_checkpoints(const ScanContext& ctx, bool indexing, int32_t first_col);
// Records the start of MCU `col` of the row when it is the next; out of
// memory for it, `indexing` goes false and the read goes on without.
void checkpoint_at(ScanContext& ctx, int32_t row, int32_t col, RowCheckpoints& c, bool& indexing);
// decode_batch, with the checkpoints among MCUs col..end-1 recorded: the
// one at col, the others marked by the decoder in passing (stopping the
// run there would cost a run's start each). `end` comes back earlier when
// the marks' room ends the run.
int32_t decode_batch_indexed(ScanContext& ctx, int32_t col, int32_t row, int32_t& end,
                             int16_t* buffer, JpegStatus* status, BatchPipeline* pipe,
                             RowCheckpoints& c, bool& indexing);
// With `pipe`, what it has not done yet.
void write_batch(ScanContext& ctx, BatchWriter batch_writer, int32_t col, int32_t row,
                 int32_t count, int16_t* buffer, BatchPipeline* pipe = nullptr);

JpegStatus decode_scan_sequential(ScanContext& ctx, bool indexing, int64_t stop = -1);
// The same by several threads where the job asks for them and the scan can
// be split (parallel_scan.cpp); else decode_scan_sequential.
JpegStatus decode_scan_sequential_threads(ScanContext& ctx, bool indexing);
// A scan as a pipeline of MCU rows (row_pipeline.cpp): one thread decodes,
// others transform and write; through the smoothing upsampler, one other
// writes the rows in order. Each applies to a whole image of the job's
// threads, large enough to gain.
bool pipeline_applies(const ScanContext& ctx);
JpegStatus decode_scan_pipelined(ScanContext& ctx, bool indexing);
bool smooth_pipeline_applies(const ScanContext& ctx);
JpegStatus decode_scan_smoothed(ScanContext& ctx, bool indexing);
// Where a run of a split scan starts: its first MCU, the bit of the data
// it starts at (counted from the data's start, stuffed bytes included) and
// the DC predictions there.
struct RunStart {
  int64_t mcu;
  int64_t bit;
  int32_t dc_pred[4];
};
// A scan without restart markers cut into runs at places found by
// decoding from guessed bytes (speculative_scan.cpp): whether the read
// takes it, and up to `most` runs' starts (the first the scan's own);
// gives how many were found, 1 when none agreed.
bool scouting_applies(const ScanContext& ctx);
int32_t scout_runs(const ScanContext& ctx, int32_t most, RunStart* runs);
// Rows 0..rows-1 given to `write` on up to the job's threads
// (row_pipeline.cpp), each on a copy of the job's state (rows in any order: none may need another's
// output); 0, or -1 when writing met a fault.
JpegStatus write_rows_on_threads(ScanContext& ctx, int32_t rows,
                                 void (*write)(ScanContext&, int32_t));
JpegStatus decode_scan_stored(ScanContext& ctx);
JpegStatus decode_scan_sequential_roi(ScanContext& ctx);

// ---- the coefficient store (coefficient_store.cpp) --------------------------------

uint64_t* nonzero_mask(const JPEG_PROPERTIES* p, const int16_t* block);
int16_t* stored_block(const ScanContext& ctx, int64_t index, int32_t f);
int32_t block_step(const ScanContext& ctx, int32_t f);
int64_t mcu_step(const ScanContext& ctx, int32_t f);
void output_progressive_mcu(ScanContext& ctx, int32_t col, int32_t row);
JpegStatus stored_row_done(ScanContext& ctx, int32_t row);
// Writes the image from a store of the given layout.
JpegStatus output_stored_image(JPEG_PROPERTIES* p, const StoreLayout& layout);
// Its steps: the set-up on the job, `ctx` on `scan` (false when there is
// nothing to write, or with the status that stops it); whether rows may be written in any
// order, on several threads; a row; and the end (the image written).
bool stored_output_begin(JPEG_PROPERTIES* p, const StoreLayout& layout, ScanHeader& scan,
                         ScanContext& ctx, JpegStatus* status);
bool stored_rows_apart(const ScanContext& ctx);
void write_stored_row(ScanContext& ctx, int32_t row);
void stored_output_end(ScanContext& ctx);

// ---- regions (region.cpp) -------------------------------------------------------

bool region_active(const JPEG_PROPERTIES* p);
Region region_in_mcus(const ScanContext& ctx, int32_t uw, int32_t uh);
JpegStatus pass_over(ScanContext& ctx, int32_t row, int32_t from, int32_t to);

// The per-MCU steps the decoders' loops take, inline there.

// Writes the samples the writers read as MCU (col, row) of the image.
inline void output_mcu(ScanContext& ctx, int32_t col, int32_t row) {
  JPEG_PROPERTIES* p = ctx.props;
  // An MCU outside the region comes back as -8: not an error of the decode.
  if (ctx.scale == 1) {
    if (p->routines->mcu_output != nullptr) p->routines->mcu_output(p, col, row);
  } else {
    output_scaled(p, col, row, 8 / ctx.scale, ctx.enlarge_single_blocks);
  }
}

inline JpegStatus interrupt_step(ScanContext& ctx, int32_t col, int32_t row,
                                 bool apply_skip_rules) {
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
inline void dequantize_decoded(ScanContext& ctx, int16_t* block, const ScanComponent& sc,
                               bool dc_alone) {
  const int16_t* quant = sc.quant_table->values;
  if (dc_alone) {
    block[0] = dequantize_value(block[0], quant[0], ctx.accurate);
  } else {
    ctx.routines->dequantize_block(block, quant);
  }
}

}  // namespace jpegcodec
