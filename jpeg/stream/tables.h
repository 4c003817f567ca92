// The tables the segments define, as the job holds them: quantization
// tables kept as read and prepared for a transform family, the tables a
// caller supplies or a tables read leaves for later reads, and each
// component's table as of its first scan. Called by the segment reader, the
// read driver and the scan decoders.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// Takes tables a caller supplied through the table exchange into the
// decoder's tables, for an image read. Returns 0 or -6.
JpegStatus load_caller_tables(JPEG_PROPERTIES* properties);

// Resets the table statistics.
void clear_table_statistics(JPEG_PROPERTIES* properties);

// Prepares quantization table `id` (its 64 values just stored in zig-zag
// order) for the transform family in force, keeping the values as read.
void prepare_quant_table(JPEG_PROPERTIES* properties, int32_t id);

// Prepares table `id` from its zig-zag values for quant_family[id].
void prepare_for_family(JPEG_PROPERTIES* properties, int32_t id);

// The family the scans use: dct_family, except that tables too coarse for
// the fast family's 16-bit scaled values keep the accurate family.
int32_t transform_family_for_tables(const JPEG_PROPERTIES* properties);

// Prepares again, from the values as read, every table prepared for another
// family: the caller may choose the family after reading the tables.
void match_quant_tables_to_family(JPEG_PROPERTIES* properties, int32_t family);

// Keeps the tables a tables read left (codec-owned, in kept_tables, freed
// by jpeg_free) for every later read of the job: 0, or -5.
JpegStatus keep_tables(JPEG_PROPERTIES* properties);
// Puts the kept tables back in force; false when a tables read kept none.
bool restore_kept_tables(JPEG_PROPERTIES* properties);

// Latches, for each component of `scan` that has had no scan before, the
// quantization table it names as it stands now: its coefficients are
// dequantized with that table even if a later DQT segment redefines it.
void latch_quant_tables(JPEG_PROPERTIES* properties, const ScanHeader* scan);
// The table frame component `f` is dequantized with, prepared for `family`
// (1 accurate, 0 fast).
const int16_t* component_quant_values(JPEG_PROPERTIES* properties, int32_t f, int32_t family);

}  // namespace jpegcodec
