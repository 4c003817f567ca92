// Processor identification and the JPEG_USECPU setting: gives the
// processor kind and its vector support. Called by jpeg_init.

#include "jpeg/cpu/cpu.h"

#include <cstdlib>
#include <cstring>

#include "jpeg/cpu/routine_table.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define JPEG_HAVE_CPUID 1
#endif

namespace jpegcodec {

bool identify_cpu(CpuInfo* info) {
  *info = CpuInfo();
#ifdef JPEG_HAVE_CPUID
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_max(0, nullptr) == 0) return false;  // no identification instruction
  __cpuid(0, a, b, c, d);
  // The vendor text is the second, fourth and third result words.
  std::memcpy(info->vendor + 0, &b, 4);
  std::memcpy(info->vendor + 4, &d, 4);
  std::memcpy(info->vendor + 8, &c, 4);
  info->vendor[12] = '\0';
  if (a == 0) return true;  // leaf 1 not available
  __cpuid(1, a, b, c, d);
  info->brand_index = static_cast<int32_t>(b & 0xFF);
  info->cpu_type = static_cast<int32_t>((a >> 12) & 0x3);
  info->family = static_cast<int32_t>((a >> 8) & 0xF);
  info->model = static_cast<int32_t>((a >> 4) & 0xF);
  info->stepping = static_cast<int32_t>(a & 0xF);
  info->features = d;
  return true;
#else
  return false;
#endif
}

CpuKind classify_cpu_info(const CpuInfo& info, int32_t setting) {
  if (setting >= 0 && setting < kCpuKindCount) return static_cast<CpuKind>(setting);
  const bool simd64 = (info.features & kFeatureSimd64) != 0;
  switch (info.family) {
    case 5:
      return simd64 ? CpuFamily5Simd64 : CpuFamily5;
    case 6:
      if (simd64 && !(info.features & kFeatureSimd128Float)) return CpuFamily6Simd64;
      if (simd64 && (info.features & kFeatureSimd128Float)) return CpuFamily6Simd64Plus;
      return CpuFamily6;
    case 15:
      return (info.features & kFeatureSimd128Integer) ? CpuFamily15Simd128 : CpuGeneric;
    default:
      return CpuGeneric;
  }
}

int32_t read_cpu_setting(const RoutineTable*) {
  const char* text = std::getenv("JPEG_USECPU");
  if (text == nullptr || *text == '\0') return -1;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value >= kCpuKindCount) return -1;
  if (text[0] == '+' || text[0] == ' ' || text[0] == '-') return -1;  // a plain whole number only
  return static_cast<int32_t>(value);
}

CpuKind classify_cpu(const RoutineTable* table) {
  CpuInfo info;
  identify_cpu(&info);
  return classify_cpu_info(info, read_cpu_setting(table));
}

CpuKind configure(RoutineTable* table) {
  // What configuration needs here is the processor's kind and the table
  // filled for it. The table's words 1-5 (handles and entry points of
  // optional system libraries) exist only so that every later word keeps
  // its place: there are no such libraries to load, so they stay null, and
  // the setting comes from the environment. No process-wide record or
  // routine is installed: nothing would read one.
  table->user_module = nullptr;
  table->registry_module = nullptr;
  table->open_key = nullptr;
  table->query_value = nullptr;
  table->close_key = nullptr;
  return classify_cpu(table);
}

void release(RoutineTable* table) {
  table->user_module = nullptr;
  table->registry_module = nullptr;
  table->open_key = nullptr;
  table->query_value = nullptr;
  table->close_key = nullptr;
}

VectorSupport vector_support() {
  static const VectorSupport support = [] {
    VectorSupport v;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    // The compiler's check of AVX2 includes the operating system's saving
    // of the wide registers.
    v.sse2 = __builtin_cpu_supports("sse2");
    v.avx2 = __builtin_cpu_supports("avx2");
    v.bmi2 = __builtin_cpu_supports("bmi2");
#endif
    return v;
  }();
  return support;
}

}  // namespace jpegcodec
