// The codec's allocations (large ones mapped, with huge pages where the
// system has them). Called by every layer above.

#include "jpeg/cpu/memory.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstdint>
#include <cstdlib>

namespace jpegcodec {

namespace {

// Allocations left before the one made to fail; negative: none fails.
thread_local int64_t t_successes_left = -1;

bool this_one_fails() {
  if (t_successes_left < 0) return false;
  return t_successes_left-- == 0;
}

}  // namespace

void* codec_malloc(size_t bytes) {
  return this_one_fails() ? nullptr : std::malloc(bytes);
}

void* codec_calloc(size_t count, size_t size) {
  return this_one_fails() ? nullptr : std::calloc(count, size);
}

void codec_fail_allocation_after(int64_t successes) {
  t_successes_left = successes;
}

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Blocks from this size on are mapped on their own; smaller ones come from
// the heap.
constexpr size_t kMappedFrom = size_t{4} << 20;

// In front of each large block: how it was made, so that it is released
// the same way.
struct LargeHeader {
  void* mapping;  // null: from calloc
  size_t mapped_bytes;
  uint64_t pad[2];
};
static_assert(sizeof(LargeHeader) == 32);

}  // namespace

void* codec_calloc_large(size_t bytes) {
  if (this_one_fails()) return nullptr;
  if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kMappedFrom) {
    // The data start on a huge-page boundary, the header just before it.
    const size_t mapped = bytes + 2 * kHugePage;
    void* mapping =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping != MAP_FAILED) {
      const uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
      const uintptr_t data = (start + sizeof(LargeHeader) + kHugePage - 1) & ~(kHugePage - 1);
      madvise(reinterpret_cast<void*>(data), bytes, MADV_HUGEPAGE);
      auto* header = reinterpret_cast<LargeHeader*>(data) - 1;
      header->mapping = mapping;
      header->mapped_bytes = mapped;
      return reinterpret_cast<void*>(data);
    }
  }
#endif
  auto* header = static_cast<LargeHeader*>(std::calloc(1, bytes + sizeof(LargeHeader)));
  if (header == nullptr) return nullptr;
  header->mapping = nullptr;
  return header + 1;
}

bool codec_populate_large(void* block, size_t offset, size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  auto* header = static_cast<LargeHeader*>(block) - 1;
  if (header->mapping == nullptr) return false;
  // Whole pages inside the block; the contents are left as they are.
  const uintptr_t page = 4096;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(block) + offset + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(block) + offset + bytes) & ~(page - 1);
  if (to <= from) return true;
  return madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) == 0;
#else
  (void)block;
  (void)offset;
  (void)bytes;
  return false;
#endif
}

void codec_free_large(void* block) {
  if (block == nullptr) return;
  auto* header = static_cast<LargeHeader*>(block) - 1;
#if defined(__linux__)
  if (header->mapping != nullptr) {
    munmap(header->mapping, header->mapped_bytes);
    return;
  }
#endif
  std::free(header);
}

}  // namespace jpegcodec
