// Processor classification and codec configuration.
//
// The codec's inner loops are reached only through a job's RoutineTable. The
// table is filled once per job, for the processor kind found here: portable
// routines first, then the variants the kind allows. The environment
// variable JPEG_USECPU (0 to 6) forces a kind; 0 is the portable set.
#pragma once

#include <cstddef>
#include <cstdint>

struct RoutineTable;

namespace jpegcodec {

enum CpuKind : int32_t {
  CpuGeneric = 0,            // anything else, or no identification instruction
  CpuFamily5 = 1,            // family 5 without 64-bit packed-integer SIMD
  CpuFamily6 = 2,            // family 6 without it
  CpuFamily5Simd64 = 3,      // family 5 with it (feature bit 23)
  CpuFamily6Simd64 = 4,      // family 6 with bit 23, without bit 25
  CpuFamily6Simd64Plus = 5,  // family 6 with bits 23 and 25
  CpuFamily15Simd128 = 6,    // family 15 with bit 26
};
inline constexpr int32_t kCpuKindCount = 7;

// Feature bits of identification leaf 1 (fourth result word).
inline constexpr uint32_t kFeatureSimd64 = 1u << 23;
inline constexpr uint32_t kFeatureSimd128Float = 1u << 25;
inline constexpr uint32_t kFeatureSimd128Integer = 1u << 26;

struct CpuInfo {
  int32_t brand_index = 0;  // low 8 bits of leaf 1's second result word
  int32_t cpu_type = 0;     // signature bits 12-13
  int32_t family = 0;       // signature bits 8-11 (base family only)
  int32_t model = 0;        // bits 4-7
  int32_t stepping = 0;     // bits 0-3
  uint32_t features = 0;    // leaf 1's feature word
  char vendor[13] = "            ";
};

// Runs processor identification leaves 0 and 1 into `info`. False, with
// `info` cleared, on a processor without the instruction.
bool identify_cpu(CpuInfo* info);

// The kind for an identified processor: a setting of 0 to 6 is the kind;
// otherwise family and features decide (the vendor is not consulted).
CpuKind classify_cpu_info(const CpuInfo& info, int32_t setting);

// JPEG_USECPU as a whole number 0 to 6, or -1 when it is absent, empty,
// not a number or out of range.
int32_t read_cpu_setting(const RoutineTable* table);

// Identifies the processor, reads the setting and classifies.
CpuKind classify_cpu(const RoutineTable* table = nullptr);

// Prepares a freshly allocated table's system words and returns the kind
// chosen for this processor (the table is filled for it above this layer).
CpuKind configure(RoutineTable* table);
// Releases what configure loaded for the table.
void release(RoutineTable* table);

// The vector extensions the processor and the operating system really
// enable, checked once: a SIMD kind installs the widest variants these
// allow, and a kind without them keeps the portable routines.
struct VectorSupport {
  bool sse2 = false;
  bool avx2 = false;
  bool bmi2 = false;
};
VectorSupport vector_support();

}  // namespace jpegcodec
