// The routine table's words as numbers, for tests and dumps.

#include "jpeg/cpu/routine_table.h"

#include <cstring>

namespace jpegcodec {

uintptr_t routine_table_word(const RoutineTable* table, size_t index) {
  uintptr_t word = 0;
  if (index == 0) return static_cast<uintptr_t>(static_cast<uint32_t>(table->scan_header_bytes));
  std::memcpy(&word, reinterpret_cast<const char*>(table) + index * kWordSize, kWordSize);
  return word;
}

}  // namespace jpegcodec
