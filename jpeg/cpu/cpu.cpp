#include "jpeg/cpu/cpu.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "jpeg/cpu/routine_table.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#define JPEG_HAVE_CPUID 1
#endif

namespace jpegcodec {

namespace {

std::mutex g_cpu_info_mutex;
CpuInfo g_cpu_info;

using BlockCopyFn = void* (*)(void*, const void*, size_t);
using BlockClearFn = int (*)(void*, size_t);
using TimestampFn = uint64_t (*)();

void* copy_portable(void* destination, const void* source, size_t count) {
  return std::memmove(destination, source, count);
}
int clear_portable(void* destination, size_t count) {
  std::memset(destination, 0, count);
  return 0;
}
uint64_t no_timestamp() {
  return 0;
}
#ifdef JPEG_HAVE_CPUID
uint64_t processor_timestamp() {
  return __rdtsc();
}
#endif

std::atomic<BlockCopyFn> g_block_copy{copy_portable};
std::atomic<BlockClearFn> g_block_clear{clear_portable};
std::atomic<TimestampFn> g_read_timestamp{no_timestamp};

}  // namespace

CpuInfo cpu_info() {
  std::lock_guard<std::mutex> guard(g_cpu_info_mutex);
  return g_cpu_info;
}

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
  {
    std::lock_guard<std::mutex> guard(g_cpu_info_mutex);
    g_cpu_info = info;
  }
  return classify_cpu_info(info, read_cpu_setting(table));
}

CpuKind configure(RoutineTable* table) {
  // The user-interface and registry libraries of the original platform have
  // no counterpart here: their handles and entry points stay null, and the
  // setting comes from the environment.
  table->user_module = nullptr;
  table->registry_module = nullptr;
  table->open_key = nullptr;
  table->query_value = nullptr;
  table->close_key = nullptr;
  const CpuKind kind = classify_cpu(table);
  g_block_copy.store(copy_portable, std::memory_order_relaxed);
  g_block_clear.store(clear_portable, std::memory_order_relaxed);
#ifdef JPEG_HAVE_CPUID
  g_read_timestamp.store(
      (cpu_info().features & kFeatureTimestamp) ? processor_timestamp : no_timestamp,
      std::memory_order_relaxed);
#endif
  fill_routine_table(table, kind);
  return kind;
}

void release(RoutineTable* table) {
  table->user_module = nullptr;
  table->registry_module = nullptr;
  table->open_key = nullptr;
  table->query_value = nullptr;
  table->close_key = nullptr;
}

void* block_copy(void* destination, const void* source, size_t count) {
  return g_block_copy.load(std::memory_order_relaxed)(destination, source, count);
}
int block_clear(void* destination, size_t count) {
  return g_block_clear.load(std::memory_order_relaxed)(destination, count);
}
uint64_t read_timestamp() {
  return g_read_timestamp.load(std::memory_order_relaxed)();
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
