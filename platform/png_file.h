// Writing images as PNG files (libpng).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Writes `height` rows of `width` pixels with `channels` bytes each (1 grey,
// 2 grey+alpha, 3 RGB, 4 RGBA), `stride` bytes apart (negative for rows stored bottom-up), first row
// at the top.
// Returns false (and prints why on standard error) when the file cannot be
// written; a partly written file is removed.
bool write_png(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride);

}  // namespace platform
