// The tables as the job holds them: takes what the segments and the caller
// supply, gives each scan its prepared tables. Called by the segment reader,
// the read driver and the scan decoders.

#include "jpeg/stream/tables.h"

#include <string.h>

#include "jpeg/cpu/memory.h"
#include "jpeg/stream/coding_tables.h"
#include "jpeg/stream/huffman_table.h"
#include "jpeg/stream/quant_table.h"

namespace jpegcodec {

void clear_table_statistics(JPEG_PROPERTIES* p) {
  p->quant_tables_read = 0;
  p->quant_id_bound = 0;
  p->ac_tables_read = 0;
  p->dc_tables_read = 0;
  p->huff_id_bound = 0;
}

JpegStatus load_caller_tables(JPEG_PROPERTIES* p) {
  if (p->caller_quant_tables) {
    // Each entry holds a table as a DQT segment stores it (64 bytes, or 128
    // big-endian bytes when the table's precision is 16-bit), in zig-zag
    // order; it is prepared for the transform family like a read table.
    const int entries = p->quant_id_bound < 4 ? p->quant_id_bound : 4;
    for (int i = 0; i < entries; ++i) {
      const QuantExchange& entry = p->quant_exchange[i];
      if (entry.values == nullptr) continue;
      if (entry.id > 3) return JpegBadQuantizationTable;
      QuantTable& table = p->quant_tables[entry.id];
      table.values = table.storage;
      for (int k = 0; k < 64; ++k) {
        table.storage[k] = static_cast<int16_t>(table.precision == 0 ? entry.values[k]
                                                                     : (entry.values[2 * k] << 8) |
                                                                           entry.values[2 * k + 1]);
      }
      prepare_quant_table(p, entry.id);
      p->quant_defined |= static_cast<uint8_t>(1u << entry.id);
    }
  }
  if (p->caller_huff_tables) {
    // Entries are indexed by 2 × id + class: the ids below the bound have
    // both their classes' entries below 2 × bound.
    const int entries = p->huff_id_bound < 4 ? 2 * p->huff_id_bound : 8;
    for (int i = 0; i < entries; ++i) {
      const HuffExchange& entry = p->huff_exchange[i];
      if (entry.counts == nullptr || entry.symbols == nullptr) continue;
      if (entry.table_class > 1 || entry.id > 3) return JpegBadHuffmanTable;
      HuffDecodeTable* table =
          entry.table_class == 0 ? &p->dc_tables[entry.id] : &p->ac_tables[entry.id];
      if (huff_build_decode_table(entry.counts, entry.symbols, entry.table_class, entry.id,
                                  table) != JpegSuccess) {
        return JpegBadHuffmanTable;
      }
      p->huff_defined |=
          static_cast<uint8_t>(1u << (entry.table_class == 0 ? entry.id : 4 + entry.id));
    }
  }
  return JpegSuccess;
}

void prepare_quant_table(JPEG_PROPERTIES* p, int32_t id) {
  QuantTable& table = p->quant_tables[id];
  // Keep the values as read (natural order) for a later change of family.
  for (int i = 0; i < 64; ++i) {
    p->quant_raw[id][natural_order[i]] = static_cast<uint16_t>(table.storage[i]);
  }
  p->quant_family[id] = p->dct_family == 1 ? 1 : 0;
  prepare_for_family(p, id);
}

void prepare_for_family(JPEG_PROPERTIES* p, int32_t id) {
  QuantTable& table = p->quant_tables[id];
  if (p->quant_family[id] == 1) {
    prepare_quant_accurate(table.storage);
  } else {
    prepare_quant_fast(table.storage);
  }
}

int32_t transform_family_for_tables(const JPEG_PROPERTIES* p) {
  if (p->dct_family == 1) return 1;
  // The fast family folds scale factors of up to 256 into 16-bit table
  // values; tables with larger quantizers (coarse or 16-bit tables) would
  // saturate, so they are decoded with the accurate family instead.
  for (int id = 0; id < 4; ++id) {
    if (!(p->quant_defined & (1u << id))) continue;
    for (int i = 0; i < 64; ++i) {
      const double scaled = p->quant_raw[id][natural_order[i]] * quant_scale_factor(i) * 2048.0;
      if (scaled + 0.5 > 32767.0) return 1;
    }
  }
  return 0;
}

void match_quant_tables_to_family(JPEG_PROPERTIES* p, int32_t family) {
  for (int id = 0; id < 4; ++id) {
    if (!(p->quant_defined & (1u << id)) || p->quant_family[id] == family) continue;
    QuantTable& table = p->quant_tables[id];
    for (int i = 0; i < 64; ++i)
      table.storage[i] = static_cast<int16_t>(p->quant_raw[id][natural_order[i]]);
    p->quant_family[id] = family;
    prepare_for_family(p, id);
  }
}

void latch_quant_tables(JPEG_PROPERTIES* p, const ScanHeader* scan) {
  for (int32_t i = 0; i < scan->component_count; ++i) {
    const int32_t f = scan->components[i].frame_index;
    if (f < 0 || f > 3 || (p->latched_components & (1u << f))) continue;
    const int32_t id = p->frame.components[f].quant_index & 3;
    memcpy(p->latched_raw[f], p->quant_raw[id], sizeof p->latched_raw[f]);
    p->latched_family[f] = -1;
    p->latched_components |= 1u << f;
  }
}

const int16_t* component_quant_values(JPEG_PROPERTIES* p, int32_t f, int32_t family) {
  if (f < 0 || f > 3 || !(p->latched_components & (1u << f))) {
    return p->quant_tables[p->frame.components[f & 3].quant_index & 3].values;
  }
  QuantTable& table = p->latched_quant[f];
  if (p->latched_family[f] != family) {
    for (int i = 0; i < 64; ++i)
      table.storage[i] = static_cast<int16_t>(p->latched_raw[f][natural_order[i]]);
    for (int i = 64; i < 80; ++i) table.storage[i] = 0;
    if (family == 1) {
      prepare_quant_accurate(table.storage);
    } else {
      prepare_quant_fast(table.storage);
    }
    p->latched_family[f] = family;
  }
  table.values = table.storage;
  return table.values;
}

namespace {

// The tables a tables read defined, as the job holds them.
struct KeptTables {
  QuantTable quant[4];
  uint16_t quant_raw[4][64];
  int32_t quant_family[4];
  HuffDecodeTable ac[4];
  HuffDecodeTable dc[4];
  uint8_t quant_defined;
  uint8_t huff_defined;
};

// Copies the job's tables into `kept` (or, with `restore`, back).
void exchange_tables(KeptTables* kept, JPEG_PROPERTIES* p, bool restore) {
  auto copy = [restore](void* stored, void* live, size_t bytes) {
    memcpy(restore ? live : stored, restore ? stored : live, bytes);
  };
  copy(kept->quant, p->quant_tables, sizeof kept->quant);
  copy(kept->quant_raw, p->quant_raw, sizeof kept->quant_raw);
  copy(kept->quant_family, p->quant_family, sizeof kept->quant_family);
  copy(kept->ac, p->ac_tables, sizeof kept->ac);
  copy(kept->dc, p->dc_tables, sizeof kept->dc);
  copy(&kept->quant_defined, &p->quant_defined, 1);
  copy(&kept->huff_defined, &p->huff_defined, 1);
  // Each table's values lie in its own storage.
  for (QuantTable& table : p->quant_tables) table.values = table.storage;
}

}  // namespace

JpegStatus keep_tables(JPEG_PROPERTIES* p) {
  if (p->kept_tables == nullptr) p->kept_tables = codec_malloc(sizeof(KeptTables));
  if (p->kept_tables == nullptr) return JpegMemoryError;
  exchange_tables(static_cast<KeptTables*>(p->kept_tables), p, false);
  return JpegSuccess;
}

bool restore_kept_tables(JPEG_PROPERTIES* p) {
  if (p->kept_tables == nullptr) return false;
  exchange_tables(static_cast<KeptTables*>(p->kept_tables), p, true);
  return true;
}

}  // namespace jpegcodec
