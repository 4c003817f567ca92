// The image that covers the knot tube, and the OpenGL texture made from it.
//
// Rows of `pixels` are `width` × `channels` bytes padded to a multiple of 4,
// which is OpenGL's default unpack alignment, so the buffer uploads as it is.
// Used on the drawing thread only (it owns the GL context), so it needs no lock.
#pragma once

#include <cstdint>
#include <memory>

class KnotTexture {
 public:
  KnotTexture() = default;
  ~KnotTexture();
  KnotTexture(const KnotTexture&) = delete;
  KnotTexture& operator=(const KnotTexture&) = delete;

  // Replaces the image. `pixels` holds `height` padded rows.
  void set_image(std::unique_ptr<uint8_t[]> pixels, int32_t width, int32_t height,
                 int32_t channels);

  // Decodes a JPEG file into the image: grey files to one channel, colour
  // files to red, green, blue, others to their channels as stored. Returns
  // the codec's status text, or null on success. A damaged file that the
  // codec decodes in part (data missing or broken, grey there) still
  // replaces the image, and *replaced says so; a file of which nothing can
  // be decoded leaves the current image as it was.
  const char* decode_file(const char* path, bool* replaced = nullptr);

  // Replaces the texture object by one built from the current image, with a
  // full mip-map chain. Images of 1 (luminance) or 3 (RGB) channels get image
  // data; any other image leaves the new object empty (the knot draws untextured).
  void upload();
  void bind() const;
  // Frees the image and deletes the texture object.
  void release();

  // Turns blue-green-red pixels into red-green-blue in place, row by row;
  // the pad bytes after each row's pixels are left alone.
  static void swap_red_blue(uint8_t* pixels, int32_t width, int32_t height, uint32_t row_bytes);

  static uint32_t padded_row_bytes(int32_t width, int32_t channels) {
    return (static_cast<uint32_t>(width) * static_cast<uint32_t>(channels) + 3u) & ~3u;
  }

  int32_t channels = 0;
  int32_t width = 0;
  int32_t height = 0;
  std::unique_ptr<uint8_t[]> pixels;
  uint32_t gl_name = 0;
};
