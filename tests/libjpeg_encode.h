// Encoding test pictures with libjpeg-turbo, linked into the tests only.
#pragma once

#include <jpeglib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

// How a test picture is encoded, beyond its size and component count.
struct EncodeOptions {
  int restart_interval = 0;
  bool progressive = false;
  int h0 = 0, v0 = 0;  // sampling of the first component; 0: libjpeg's default
  // Components of each scan, one scan a group, whole band (sequential); empty:
  // libjpeg's scans.
  std::vector<std::vector<int>> scans;
  bool rgb_data = false;  // RGB components ('R', 'G', 'B'), no JFIF or Adobe segment
  int quality = 90;
  bool optimize = false;  // Huffman tables made for the picture
  // The picture's rows, width * components bytes each; null: a pattern.
  const uint8_t* pixels = nullptr;
};

// Encodes a picture with libjpeg-turbo (tests only).
inline std::vector<uint8_t> encode_with(int width, int height, int components,
                                        const EncodeOptions& options) {
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
  jpeg_set_quality(&info, options.quality, TRUE);
  info.optimize_coding = options.optimize ? TRUE : FALSE;
  info.restart_interval = options.restart_interval;
  if (options.rgb_data) {
    jpeg_set_colorspace(&info, JCS_RGB);
    info.write_JFIF_header = FALSE;
    info.write_Adobe_marker = FALSE;
  }
  if (options.h0 != 0) {
    info.comp_info[0].h_samp_factor = options.h0;
    info.comp_info[0].v_samp_factor = options.v0;
  }
  std::vector<jpeg_scan_info> scans;
  for (const std::vector<int>& group : options.scans) {
    jpeg_scan_info scan{};
    scan.comps_in_scan = static_cast<int>(group.size());
    for (size_t i = 0; i < group.size(); ++i) scan.component_index[i] = group[i];
    scan.Ss = 0;
    scan.Se = 63;
    scans.push_back(scan);
  }
  if (!scans.empty()) {
    info.scan_info = scans.data();
    info.num_scans = static_cast<int>(scans.size());
  }
  if (options.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * components);
  while (info.next_scanline < info.image_height) {
    const int y = static_cast<int>(info.next_scanline);
    for (int x = 0; x < width && options.pixels == nullptr; ++x) {
      for (int c = 0; c < components; ++c) {
        row[x * components + c] =
            static_cast<uint8_t>((x * 5 + y * 3 + c * 70 + (x * y) % 23) % 256);
      }
    }
    JSAMPROW rows[1] = {options.pixels == nullptr
                            ? row.data()
                            : const_cast<uint8_t*>(options.pixels) +
                                  static_cast<size_t>(y) * width * components};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> data(out, out + size);
  free(out);
  return data;
}

inline std::vector<uint8_t> encode(int width, int height, int components, int restart_interval = 0,
                                   bool progressive = false) {
  EncodeOptions options;
  options.restart_interval = restart_interval;
  options.progressive = progressive;
  return encode_with(width, height, components, options);
}
