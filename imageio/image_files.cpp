#include "imageio/image_files.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace imageio {

namespace {

// libpng reports errors through longjmp; keep the jump inside this plain
// function, which owns nothing but the FILE and the libpng structures.
bool write_rows(FILE* file, const uint8_t* pixels, uint32_t width, uint32_t height,
                uint32_t channels, ptrdiff_t stride) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  static const int kColorType[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                   PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, kColorType[channels], PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(pixels + static_cast<ptrdiff_t>(y) * stride));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool write_png(FILE* file, const char* name, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride) {
  if (channels < 1 || channels > 4 || width == 0 || height == 0 || pixels == nullptr) {
    std::fprintf(stderr, "%s: nothing to write (empty image)\n", name);
    return false;
  }
  if (!write_rows(file, pixels, width, height, channels, stride)) {
    std::fprintf(stderr, "%s: could not write the PNG image\n", name);
    return false;
  }
  return true;
}

bool write_png(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
    return false;
  }
  bool ok = write_png(file, path, pixels, width, height, channels, stride);
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) std::remove(path);
  return ok;
}

bool write_netpbm(FILE* file, const char* name, NetpbmKind kind, const uint8_t* pixels,
                  uint32_t width, uint32_t height, uint32_t channels, ptrdiff_t stride,
                  const char* four_channels) {
  const char* kTupleTypes[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", four_channels};
  if ((kind == NetpbmKind::Pgm && channels != 1) || (kind == NetpbmKind::Ppm && channels != 3) ||
      channels < 1 || channels > 4) {
    std::fprintf(stderr, "%s: %u channels do not fit this format\n", name, channels);
    return false;
  }
  int ok;
  if (kind == NetpbmKind::Pam) {
    ok = std::fprintf(file, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH %u\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n",
                      width, height, channels, kTupleTypes[channels]);
  } else {
    ok = std::fprintf(file, "%s\n%u %u\n255\n", kind == NetpbmKind::Pgm ? "P5" : "P6", width,
                      height);
  }
  for (uint32_t y = 0; ok > 0 && y < height; ++y) {
    const size_t bytes = static_cast<size_t>(width) * channels;
    if (std::fwrite(pixels + static_cast<ptrdiff_t>(y) * stride, 1, bytes, file) != bytes) ok = 0;
  }
  if (ok <= 0 || std::fflush(file) != 0) {
    std::fprintf(stderr, "%s: %s\n", name, std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace imageio
