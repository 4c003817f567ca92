// jpegbench: decoding speed of jpegcodec against libjpeg-turbo on the same
// files, from memory, into the same RGB (or grey) layout.
//
//   jpegbench [--repeat N] FILE...

#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "jpeg/api/jpegcodec.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Input {
  std::string name;
  std::vector<uint8_t> data;
  int32_t width = 0, height = 0, channels = 0;
};

// The best of `repeat` runs, in milliseconds.
template <typename Decode>
double best_ms(int repeat, Decode decode) {
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    if (!decode()) return -1;
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

bool decode_ours(const Input& in, std::vector<uint8_t>& out, int32_t type, int32_t family,
                 int scale) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (jpeg_init(&job) != JpegSuccess) return false;
  job.jpeg_buffer = const_cast<uint8_t*>(in.data.data());
  job.jpeg_buffer_size = static_cast<int32_t>(in.data.size());
  bool ok = jpeg_read(&job, IoReadParamsBuffer) == JpegSuccess;
  job.out_width = (job.jpeg_width + scale - 1) / scale;
  job.out_height = (job.jpeg_height + scale - 1) / scale;
  job.out_channels = in.channels;
  job.out_color = in.channels == 1 ? ColorGray : ColorRgb;
  job.out_pixels = out.data();
  job.properties.dct_family = family;
  ok = ok && jpeg_read(&job, type) == JpegSuccess;
  jpeg_free(&job);
  return ok;
}

bool decode_peer(const Input& in, std::vector<uint8_t>& out, int scale) {
  jpeg_decompress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, in.data.data(), in.data.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = in.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  info.do_fancy_upsampling = FALSE;
  info.dct_method = JDCT_ISLOW;
  info.scale_num = 1;
  info.scale_denom = static_cast<unsigned>(scale);
  jpeg_start_decompress(&info);
  const size_t row = static_cast<size_t>(info.output_width) * info.output_components;
  while (info.output_scanline < info.output_height) {
    JSAMPROW line = out.data() + info.output_scanline * row;
    jpeg_read_scanlines(&info, &line, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 5;
  std::vector<Input> inputs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::puts(
          "Usage: jpegbench [--repeat N] FILE...\n"
          "Decodes each JPEG file from memory N times (default 5) with jpegcodec\n"
          "(accurate and fast transforms, full and 1/2, 1/8 size) and with\n"
          "libjpeg-turbo, and prints the best time of each and megapixels a second.");
      return 0;
    } else {
      Input in;
      in.name = argv[i];
      std::ifstream file(argv[i], std::ios::binary);
      in.data.assign(std::istreambuf_iterator<char>(file), {});
      if (in.data.empty()) {
        std::fprintf(stderr, "jpegbench: cannot read %s\n", argv[i]);
        return 1;
      }
      inputs.push_back(std::move(in));
    }
  }
  if (inputs.empty()) {
    std::fputs("jpegbench: no files (try --help)\n", stderr);
    return 2;
  }
  std::printf("%-28s %-26s %10s %8s\n", "file", "decoder", "best ms", "MP/s");
  for (Input& in : inputs) {
    JpegJob probe;
    std::memset(&probe, 0, sizeof probe);
    jpeg_init(&probe);
    probe.jpeg_buffer = in.data.data();
    probe.jpeg_buffer_size = static_cast<int32_t>(in.data.size());
    const JpegStatus status = jpeg_read(&probe, IoReadParamsBuffer);
    in.width = probe.jpeg_width;
    in.height = probe.jpeg_height;
    in.channels = probe.jpeg_channels == 1 ? 1 : 3;
    jpeg_free(&probe);
    if (status != JpegSuccess || (in.channels != 1 && probe.jpeg_channels != 3)) {
      std::fprintf(stderr, "jpegbench: %s: skipped (%s)\n", in.name.c_str(),
                   jpeg_status_text(status));
      continue;
    }
    std::vector<uint8_t> out(static_cast<size_t>(in.width) * in.height * in.channels);
    const double megapixels = double(in.width) * in.height / 1e6;
    struct Row {
      const char* label;
      double ms;
    };
    const Row rows[] = {
        {"jpegcodec accurate",
         best_ms(repeat, [&] { return decode_ours(in, out, IoReadImageBuffer, 1, 1); })},
        {"jpegcodec fast",
         best_ms(repeat, [&] { return decode_ours(in, out, IoReadImageBuffer, 0, 1); })},
        {"jpegcodec 1/2",
         best_ms(repeat, [&] { return decode_ours(in, out, IoReadHalfBuffer, 1, 2); })},
        {"jpegcodec 1/8",
         best_ms(repeat, [&] { return decode_ours(in, out, IoReadEighthBuffer, 1, 8); })},
        {"libjpeg-turbo islow", best_ms(repeat, [&] { return decode_peer(in, out, 1); })},
        {"libjpeg-turbo 1/2", best_ms(repeat, [&] { return decode_peer(in, out, 2); })},
        {"libjpeg-turbo 1/8", best_ms(repeat, [&] { return decode_peer(in, out, 8); })},
    };
    const std::string base = in.name.substr(in.name.find_last_of('/') + 1);
    for (const Row& row : rows) {
      if (row.ms < 0) {
        std::printf("%-28s %-26s %10s\n", base.c_str(), row.label, "failed");
      } else {
        std::printf("%-28s %-26s %10.2f %8.1f\n", base.c_str(), row.label, row.ms,
                    megapixels / (row.ms / 1000));
      }
    }
  }
  return 0;
}
