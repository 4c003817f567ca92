// Image files: PNG (through libpng) and the netpbm formats PGM, PPM and PAM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace imageio {

// Writes `height` rows of `width` pixels with `channels` bytes each (1 grey,
// 2 grey+alpha, 3 RGB, 4 RGBA), `stride` bytes apart (negative for rows stored bottom-up), first
// row at the top. Returns false (and prints why on standard error) when the file cannot be written;
// a partly written file is removed.
bool write_png(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride);

// The same to an open stream (standard output, for instance); `name` is
// used in messages.
bool write_png(FILE* file, const char* name, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride);

// PGM (1 channel), PPM (3) or PAM (any of 1 to 4 channels, as GRAYSCALE,
// GRAYSCALE_ALPHA, RGB, and RGB_ALPHA or CMYK as `four_channels` says),
// binary, 8 bits.
enum class NetpbmKind { Pgm, Ppm, Pam };
bool write_netpbm(FILE* file, const char* name, NetpbmKind kind, const uint8_t* pixels,
                  uint32_t width, uint32_t height, uint32_t channels, ptrdiff_t stride,
                  const char* four_channels = "RGB_ALPHA");

}  // namespace imageio
