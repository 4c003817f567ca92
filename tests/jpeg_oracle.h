// Decoding for comparisons: this codec's decode and libjpeg-turbo's
// (linked into the tests only, as an oracle), both into plain images.
#pragma once

#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <vector>

#include "tests/jpeg_test_util.h"

struct Image {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> pixels;
};

struct OracleError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

inline void oracle_error_exit(j_common_ptr info) {
  longjmp(reinterpret_cast<OracleError*>(info->err)->jump, 1);
}

// libjpeg-turbo's decode with replicated chroma and the accurate integer DCT.
inline bool oracle_decode(const std::vector<uint8_t>& data, Image* out) {
  jpeg_decompress_struct info;
  OracleError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = oracle_error_exit;
  error.manager.emit_message = [](j_common_ptr, int) {};  // its warnings are not ours
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), data.size());
  jpeg_read_header(&info, TRUE);
  info.do_fancy_upsampling = FALSE;
  info.dct_method = JDCT_ISLOW;
  if (info.num_components == 1) {
    info.out_color_space = JCS_GRAYSCALE;
  } else if (info.num_components == 4) {
    info.out_color_space = JCS_CMYK;
  } else {
    info.out_color_space = JCS_RGB;
  }
  jpeg_start_decompress(&info);
  out->width = static_cast<int>(info.output_width);
  out->height = static_cast<int>(info.output_height);
  out->channels = info.output_components;
  out->pixels.resize(static_cast<size_t>(out->width) * out->height * out->channels);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row =
        out->pixels.data() + static_cast<size_t>(info.output_scanline) * out->width * out->channels;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

inline JpegStatus our_decode(const std::vector<uint8_t>& data, Image* out, int scale = 1,
                             int32_t dct_family = 1) {
  BufferJob job(data);
  JpegStatus status = job.read(IoReadParamsBuffer);
  if (status != JpegSuccess) return status;
  const int channels = job.job.jpeg_channels == 1 ? 1 : job.job.jpeg_channels == 4 ? 4 : 3;
  out->channels = channels;
  out->width = (job.job.jpeg_width + scale - 1) / scale;
  out->height = (job.job.jpeg_height + scale - 1) / scale;
  out->pixels.assign(static_cast<size_t>(out->width) * out->height * channels, 0);
  job.job.out_pixels = out->pixels.data();
  job.job.out_width = out->width;
  job.job.out_height = out->height;
  job.job.out_channels = channels;
  job.job.out_color = channels == 1 ? ColorGray : channels == 4 ? ColorFourChannel : ColorRgb;
  job.job.properties.dct_family = dct_family;
  return job.read(scaled_read_type(scale));
}

inline double psnr(const Image& a, const Image& b) {
  return pixels_psnr(a.pixels, b.pixels);
}
