#include "jpeg/decode/huffman_table.h"
#include "jpeg/stream/parser.h"

void clear_table_statistics(JPEG_PROPERTIES* p) {
  p->quant_tables_read = 0;
  p->quant_id_bound = 0;
  p->ac_tables_read = 0;
  p->dc_tables_read = 0;
  p->huff_id_bound = 0;
}

JpegStatus load_caller_tables(JPEG_PROPERTIES* p) {
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
    }
  }
  return JpegSuccess;
}
