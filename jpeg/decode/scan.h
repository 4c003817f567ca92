// Decoding one scan.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// A window of the coefficient planes: what a coefficient output of
// `output` (mode 0) holds when the library's own caller (a lossless
// transform of a region) wants only part of them. Component c's planes then
// hold blocks [first_col, first_col + cols) x [first_row, first_row + rows)
// of its block grid, cols * 8 values a line; blocks outside are not
// written. Set for the calling thread, for the reads it makes until it is
// cleared (null); coefficient output is written by the calling thread.
struct CoefficientWindow {
  const void* output;
  int32_t first_col[4], first_row[4];
  int32_t cols[4], rows[4];
};
void set_coefficient_window(const CoefficientWindow* window);

// The scans of a progressive frame decoded by several threads at once
// (scan_team.cpp). scan_team_fits says whether a whole-image read of memory
// data, at its first scan, may use them: the job asks for threads, the
// image is large enough, and what follows in the data is scans and their
// tables alone, up to the end of the image. The read driver then hands each
// scan to the team (scan_team_take; false when it cannot take it, and the
// read must start again with one thread) in place of decoding it, passes
// over its data, and calls scan_team_finish before anything reads the
// coefficients: true when every scan decoded as one thread would have
// (otherwise the read starts again from the first scan, with one thread).
struct ScanTeam;
bool scan_team_fits(const JPEG_PROPERTIES* properties, const ScanHeader* scan);
ScanTeam* scan_team_start(const JPEG_PROPERTIES* properties);
bool scan_team_take(ScanTeam* team, JPEG_PROPERTIES* properties, const ScanHeader* scan);
bool scan_team_finish(ScanTeam* team);
// At the image's end, before scan_team_finish: the team writes the image's
// rows as its scans finish them (the job's output set up now). False when
// the output is left for the end (a region, rows written in order, tables
// that choose other transforms).
bool scan_team_output(ScanTeam* team, JPEG_PROPERTIES* properties);

// Decodes the scan in properties->saved_scan. Returns 0, 1 (interrupted), 2
// (region done) or a negative status; *marker receives the marker at which
// the scan stopped (0 if none).
JpegStatus decode_scan(JPEG_PROPERTIES* properties, ScanHeader* scan, int32_t* marker);

// Writes a progressive frame's image (or the region of a region read) from
// the coefficients decoded so far, when no scan has written it: at the end
// of a region read's data, when data ended early, or when the scans never
// complete every component. 0, or -5 when its working memory cannot be had.
JpegStatus output_whole_progressive_image(JPEG_PROPERTIES* properties);

// Whether the restart index of the properties knows where MCU row `row`
// starts (false when there is no index yet).
bool restart_index_knows(const JPEG_PROPERTIES* properties, int32_t row);

// Forgets every row the restart index knows (new data, or a new frame).
void reset_restart_index(JPEG_PROPERTIES* properties);
// Whether a whole-image read recorded the index for every row of the scan
// it decoded: a region read of the same data may then take that scan up.
bool restart_index_covers_scan(const JPEG_PROPERTIES* properties);
void free_restart_index(JPEG_PROPERTIES* properties);

// Whether the caller asked for a region (any of its edges set).
bool region_requested(const JPEG_PROPERTIES* properties);

// Closes the region's open edges (a right or bottom edge of 0 is the image's
// edge) once the frame is known; -8 when nothing of the image is left in it.
JpegStatus settle_region(JPEG_PROPERTIES* properties);

// Whether the region asked for, once settled, is a region of the frame
// known from the last read rather than the whole image.
bool region_would_be_active(const JPEG_PROPERTIES* properties);
// Whether this read is at 1/8 size, where most components use each
// block's DC coefficient alone.
bool reads_dc_only(const JPEG_PROPERTIES* properties);
// Whether this read uses only the DC coefficients of frame component
// `frame_index`: a progressive frame's AC scans of it are then passed over.
bool component_uses_dc_only(const JPEG_PROPERTIES* properties, int32_t frame_index);

// The coefficient store of a progressive frame (or of a sequential one whose
// components come in several scans): first the whole blocks (64 values)
// of the components whose AC coefficients the read uses, MCU after MCU;
// then the DC values alone of the others (the components a 1/8 read of a
// progressive frame reconstructs from their DC), MCU after MCU; then one
// mask of non-zero coefficients for each whole block.
struct StoreLayout {
  int32_t whole_per_mcu;  // whole blocks per MCU
  int32_t dc_per_mcu;     // DC values kept alone per MCU
  int32_t offset[4];      // each frame component's first block in its part of the MCU
  bool dc_alone[4];
  int64_t mcus;
};
// The layout of the store for this read, or with every block whole.
StoreLayout store_layout(const JPEG_PROPERTIES* properties, bool whole_blocks = false);
// Bytes of the store's coefficients (without the masks).
uint64_t coefficient_store_bytes(const StoreLayout& layout);

// The image (or region) written again from a store an earlier read of the
// same data completed, every block whole: 0, or -5.
JpegStatus output_stored_image_again(JPEG_PROPERTIES* properties);
// The caller's whole image in grey (128): what no scan writes stays grey.
void prefill_grey(const JPEG_PROPERTIES* properties);
// Whether the grey background can wait for the end of the read: a whole
// image, outside interrupt mode, whose scan `scan` (or the frame's store)
// writes every pixel of the caller's image.
bool grey_can_wait(const JPEG_PROPERTIES* properties, const ScanHeader* scan);
// At the end of a read whose background waited: grey where nothing was
// written.
void paint_unwritten_grey(JPEG_PROPERTIES* properties);

}  // namespace jpegcodec
