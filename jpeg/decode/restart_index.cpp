// The restart index: where each MCU row (and checkpoints within it) starts
// in the data, recorded by whole-image and region reads of a sequential
// scan, and the seek that takes a later region read there. Called by the
// sequential decoders and the read driver.

#include "jpeg/decode/scan_context.h"

#include <stdlib.h>
#include <string.h>

namespace jpegcodec {

bool file_input(const JPEG_PROPERTIES* p) {
  return p->stream.file != nullptr;
}

namespace {

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

}  // namespace

bool index_prepare_row(ScanContext& ctx, int32_t row) {
  bool failed = false;
  index_entry(ctx, row, 1, true, &failed);
  return !failed;
}

bool index_known(ScanContext& ctx, int32_t row, int32_t slot) {
  const RestartEntry* e = index_entry(ctx, row, slot, false);
  return e != nullptr && e->position >= 0;
}

// Records where MCU (row, slot * checkpoint spacing) starts: 0, or -5 when the
// row's checkpoints cannot be allocated.
JpegStatus index_save(ScanContext& ctx, int32_t row, int32_t slot) {
  const InputStream* s = ctx.stream;
  BatchMark here{s->next,
                 s->consumed,
                 s->bit_count,
                 s->bit_acc,
                 {},
                 s->pending_marker,
                 (s->data_ended & kOutOfData) != 0};
  for (int i = 0; i < 4; ++i) here.dc_pred[i] = ctx.header->dc_pred[i];
  return index_save_marks(ctx, row, slot, &here, 1);
}

JpegStatus index_save_marks(ScanContext& ctx, int32_t row, int32_t slot, const BatchMark* marks,
                            int32_t count) {
  if (count <= 0) return JpegSuccess;
  bool failed = false;
  RestartEntry* e = index_entry(ctx, row, slot, true, &failed);
  if (e == nullptr) return failed ? JpegMemoryError : JpegSuccess;
  // Slots 1.. of a row lie one after another; slot 0 is the row's entry.
  const int32_t spacing = ctx.checkpoint_spacing;
  const int32_t slots = slot == 0 ? 1 : (ctx.per_row + spacing - 1) / spacing;
  if (count > slots - slot) count = slot == 0 ? 1 : slots - slot;
  RestartIndex* index = ctx.props->restart_index;
  if (!ctx.index_shared && row >= index->rows_touched) index->rows_touched = row + 1;
  // A file's offset is the bytes consumed; in a buffer, where the next
  // byte lies (the count may leave out bytes a header read put back).
  const bool file = file_input(ctx.props);
  const uint8_t* const start = ctx.stream->data_start;
  for (int32_t k = 0; k < count; ++k, ++e) {
    const BatchMark& mark = marks[k];
    e->position = file ? mark.consumed : static_cast<int32_t>(mark.next - start);
    for (int i = 0; i < 4; ++i) e->dc_pred[i] = static_cast<int16_t>(mark.dc_pred[i]);
    e->bit_acc = mark.bit_acc;
    e->bit_count = static_cast<int8_t>(mark.bit_count);
    e->pending_marker = mark.pending_marker;
    e->out_of_data = mark.out_of_data;
  }
  return JpegSuccess;
}

JpegStatus index_restore(ScanContext& ctx, int32_t row, int32_t slot) {
  const RestartEntry& e = *index_entry(ctx, row, slot, false);
  InputStream* s = ctx.stream;
  for (int i = 0; i < 4; ++i) ctx.header->dc_pred[i] = e.dc_pred[i];
  s->bit_acc = e.bit_acc;
  s->bit_count = e.bit_count;
  s->pending_marker = e.pending_marker;
  s->data_ended = e.out_of_data ? s->data_ended | kOutOfData : s->data_ended & ~kOutOfData;
  if (file_input(ctx.props)) {
    s->consumed = e.position;
    if (file_seek(s->file, e.position, 0) == 0) return JpegFileError;
    s->end_of_file = 0;
    s->available = 0;
    s->next = s->data_end;
    // A position at the end of the file is the end of the data there, not
    // a failure to read them.
    return stream_refill(s) == JpegFileError ? JpegFileError : JpegSuccess;
  }
  s->next = s->data_start + e.position;
  s->consumed = e.position;
  s->available = s->data_size - s->consumed;
  return JpegSuccess;
}

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
