// Encoding test pictures with libjpeg-turbo, linked into the tests only.
#pragma once

#include <jpeglib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

// Encodes a picture with libjpeg-turbo (tests only).
inline std::vector<uint8_t> encode(int width, int height, int components, int restart_interval = 0,
                                   bool progressive = false) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  info.restart_interval = restart_interval;
  if (progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * components);
  while (info.next_scanline < info.image_height) {
    const int y = static_cast<int>(info.next_scanline);
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < components; ++c) {
        row[x * components + c] =
            static_cast<uint8_t>((x * 5 + y * 3 + c * 70 + (x * y) % 23) % 256);
      }
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> data(out, out + size);
  free(out);
  return data;
}
