// Image files: PNG (through libpng) and the netpbm formats PGM, PPM and PAM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace imageio {

// Whether this build reads and writes PNG (libpng was there).
bool png_supported();

// Writes `height` rows of `width` pixels with `channels` bytes each (1 grey,
// 2 grey+alpha, 3 RGB, 4 RGBA), `stride` bytes apart (negative for rows stored bottom-up), first
// row at the top. Returns false (and prints why on standard error) when the file cannot be written;
// a partly written file is removed.
bool write_png(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride);

// The same to an open stream (standard output, for instance); `name` is
// used in messages. An ICC profile, when given, goes into an iCCP chunk
// (left out, with the image written, when libpng finds it broken).
bool write_png(FILE* file, const char* name, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride, const uint8_t* icc = nullptr,
               size_t icc_size = 0);

// PGM (1 channel), PPM (3) or PAM (any of 1 to 4 channels, as GRAYSCALE,
// GRAYSCALE_ALPHA, RGB, and RGB_ALPHA or CMYK as `four_channels` says),
// binary, 8 bits.
enum class NetpbmKind { Pgm, Ppm, Pam };
bool write_netpbm(FILE* file, const char* name, NetpbmKind kind, const uint8_t* pixels,
                  uint32_t width, uint32_t height, uint32_t channels, ptrdiff_t stride,
                  const char* four_channels = "RGB_ALPHA");

// All of a file, or of standard input for "-". False when it cannot be
// read (errno says why).
bool read_whole_file(const std::string& name, std::vector<uint8_t>* data);

// Writes `size` bytes to the file `name` (standard output for "-"). On
// failure the reason goes to standard error, prefixed by `tool`, and a file
// this call created is removed.
bool write_whole_file(const char* tool, const std::string& name, const uint8_t* bytes, size_t size);

// An image read from a file: 8-bit samples, `channels` a pixel (1 grey, 2
// grey+alpha, 3 RGB, 4 RGBA or CMYK as `cmyk` says), rows top to bottom.
struct Image {
  uint32_t width = 0, height = 0, channels = 0;
  bool cmyk = false;
  std::vector<uint8_t> pixels;
  // Or the file itself, mapped into memory (an 8-bit netpbm image read by
  // read_image_file), kept mapped while the image lives.
  std::shared_ptr<const uint8_t> mapped;
  size_t offset = 0;  // where the first pixel lies in `pixels` or `mapped`
  const uint8_t* samples() const { return (mapped ? mapped.get() : pixels.data()) + offset; }
  size_t bytes() const { return size_t{width} * height * channels; }
  // A PNG's colour profile (iCCP) and EXIF block (eXIf: TIFF data, no
  // "Exif\0\0" before them), empty when it has none.
  std::vector<uint8_t> icc, exif;
};

// Reads PNG (any bit depth or colour type: palettes expanded, 16-bit
// samples brought to 8) or netpbm (P5 PGM, P6 PPM, P7 PAM, maxval up to
// 65535) from `data`. False, with the reason in *error, when it is neither
// or is damaged.
bool read_image(const std::vector<uint8_t>& data, Image* image, std::string* error);
// The same, taking over `data`: an 8-bit netpbm image's pixels are then the
// file's own bytes, with no copy.
bool read_image(std::vector<uint8_t>&& data, Image* image, std::string* error);

// Reads the image file `name` ("-": standard input). A regular file holding
// an 8-bit netpbm image is mapped, not read: its pixels are the file's own
// bytes. False, with the reason in *error (errno set for a file that cannot
// be read), as read_image.
bool read_image_file(const std::string& name, Image* image, std::string* error);

}  // namespace imageio
