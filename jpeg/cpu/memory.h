// The codec's heap allocations. Every one goes through here, so that a test
// can make any one of them fail and see the failure come back as -5 with
// nothing leaked and the job still usable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jpegcodec {

// malloc and calloc, or null when the allocation failed (or was made to).
void* codec_malloc(size_t bytes);
void* codec_calloc(size_t count, size_t size);

// For tests: on the calling thread, the allocation after `successes` more
// succeed fails, and every one after it succeeds again; a negative count
// makes none fail.
void codec_fail_allocation_after(int64_t successes);

// Large zeroed blocks (the coefficient store): backed by huge pages where
// the system offers them, which spares tens of thousands of page faults on
// a large image. Freed with codec_free_large alone.
void* codec_calloc_large(size_t bytes);
void codec_free_large(void* block);
// Has the system back bytes [offset, offset + bytes) of such a block with
// memory now, as a first write would, without changing what it holds (so
// that another thread may be writing there meanwhile); false where the
// system cannot.
bool codec_populate_large(void* block, size_t offset, size_t bytes);

}  // namespace jpegcodec
