// jpegbench: decoding speed of jpegcodec against libjpeg-turbo (and
// stb_image, at full size) on the same files, from memory, into the same RGB
// (or grey) layout, at full size, 1/2 and 1/8, and for a region read after
// the whole image on one job.
//
//   jpegbench [--repeat N] FILE...
//
// Each measurement is the CPU time of this thread (a shared, noisy machine
// steals wall time, not CPU time), the best of N, with the two decoders
// alternated so that all see the same conditions.

#include <time.h>

#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/api/routines.h"
#include "jpeg/cpu/cpu.h"
#include "jpeg/cpu/routine_table.h"
#if KNOT_HAVE_STB
#include "tools/jpegbench/stb_decode.h"
#endif

using namespace jpegcodec;

namespace {

struct Input {
  std::string name;
  std::vector<uint8_t> data;
  int32_t width = 0, height = 0, channels = 0;
  bool progressive = false;
  const char* kind = "";  // baseline, grey, progressive or uncommon sampling
};

// The region the region rows decode.
struct Region {
  int32_t left, top, right, bottom;
};
constexpr int32_t kRegionSide = 512;

// The clock a measure reads: CPU time of the calling thread (one thread's
// work), or the wall clock (threaded work).
bool g_wall_clock = false;

double thread_seconds() {
  timespec t{};
  clock_gettime(g_wall_clock ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Job {
  JpegJob job;
  explicit Job(const Input& in) {
    std::memset(&job, 0, sizeof job);
    jpeg_init(&job);
    job.jpeg_buffer = const_cast<uint8_t*>(in.data.data());
    job.jpeg_buffer_size = static_cast<int32_t>(in.data.size());
  }
  ~Job() { jpeg_free(&job); }
  // Reads into `out` as RGB or grey, `width` x `height` pixels.
  bool read(int32_t type, std::vector<uint8_t>& out, int32_t width, int32_t height, int channels) {
    job.out_width = width;
    job.out_height = height;
    job.out_channels = channels;
    job.out_color = channels == 1 ? ColorGray : ColorRgb;
    job.out_pixels = out.data();
    const JpegStatus status = jpeg_read(&job, type);
    return status == JpegSuccess || status == JpegRoiSuccess;
  }
  void set_region(const Region& r) {
    job.properties.roi_left = r.left;
    job.properties.roi_top = r.top;
    job.properties.roi_right = r.right;
    job.properties.roi_bottom = r.bottom;
  }
};

// One timed decode of ours: seconds, or -1 on failure.
double ours(const Input& in, std::vector<uint8_t>& out, int scale, const Region* second,
            int channels, int32_t threads = 1) {
  Job job(in);
  job.job.threads = threads;
  if (jpeg_read(&job.job, IoReadParamsBuffer) != JpegSuccess) return -1;
  if (second != nullptr) {
    // A viewer's first view, untimed: the whole picture. The region read
    // that follows on the same job is the one measured.
    std::vector<uint8_t> whole(size_t(in.width) * size_t(in.height) * size_t(channels));
    if (!job.read(IoReadImageBuffer, whole, in.width, in.height, channels)) return -1;
    job.set_region(*second);
    const double start = thread_seconds();
    if (!job.read(IoReadImageBuffer, out, kRegionSide, kRegionSide, channels)) return -1;
    return thread_seconds() - start;
  }
  const int32_t type = scale == 1   ? IoReadImageBuffer
                       : scale == 2 ? IoReadHalfBuffer
                                    : IoReadEighthBuffer;
  const double start = thread_seconds();
  const bool ok = job.read(type, out, (in.width + scale - 1) / scale,
                           (in.height + scale - 1) / scale, channels);
  return ok ? thread_seconds() - start : -1;
}

// One timed decode of libjpeg-turbo's (accurate transform, plain
// upsampling, as ours); a region is its crop-and-skip, its rows written
// into the caller's image as ours are.
double peer(const Input& in, std::vector<uint8_t>& out, int scale, const Region* region,
            int channels) {
  const double start = thread_seconds();
  jpeg_decompress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, in.data.data(), in.data.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  info.do_fancy_upsampling = FALSE;
  info.dct_method = JDCT_ISLOW;
  info.scale_num = 1;
  info.scale_denom = static_cast<unsigned>(scale);
  jpeg_start_decompress(&info);
  JDIMENSION last = info.output_height;
  if (region != nullptr) {
    JDIMENSION x = static_cast<JDIMENSION>(region->left);
    JDIMENSION width = static_cast<JDIMENSION>(region->right - region->left);
    jpeg_crop_scanline(&info, &x, &width);
    jpeg_skip_scanlines(&info, static_cast<JDIMENSION>(region->top));
    last = static_cast<JDIMENSION>(region->bottom);
  }
  // Rows land in the caller's image, the region's from its first row on
  // (the crop's width, which libjpeg-turbo widens to whole MCUs).
  const size_t row = static_cast<size_t>(info.output_width) * info.output_components;
  const JDIMENSION first = info.output_scanline;
  while (info.output_scanline < last) {
    JSAMPROW target = out.data() + (info.output_scanline - first) * row;
    jpeg_read_scanlines(&info, &target, 1);
  }
  if (region != nullptr) {
    jpeg_abort_decompress(&info);
  } else {
    jpeg_finish_decompress(&info);
  }
  jpeg_destroy_decompress(&info);
  return thread_seconds() - start;
}

// The slots where this processor's table differs from the portable one.
std::string installed_variants() {
  RoutineTable portable{}, here{};
  fill_routine_table(&portable, CpuGeneric);
  fill_routine_table(&here, classify_cpu());
  std::string names;
  struct Named {
    const char* name;
    size_t word;
  };
  const Named slots[] = {
      {"idct_accurate_8x8", 13},   {"idct_fast_8x8", 9},      {"out_ycc_rgb", 42},
      {"out_ycc422_rgb", 43},      {"out_ycc420_rgb", 44},    {"out_ycc_bgr", 45},
      {"out_ycc422_bgr", 46},      {"out_ycc420_bgr", 47},    {"out_ycc_rgba", 48},
      {"out_ycc422_rgba", 49},     {"out_ycc420_rgba", 50},   {"decode_block", 61},
      {"idct_accurate_4x4", 14},   {"idct_accurate_2x2", 15}, {"out_gray", 41},
      {"dequantize_accurate", 67}, {"fdct_accurate", 8},      {"fdct_fast", 7},
      {"quantize_accurate", 64},   {"enc_input_4", 28},       {"enc_block", 60}};
  for (const Named& slot : slots) {
    if (routine_table_word(&portable, slot.word) != routine_table_word(&here, slot.word)) {
      names += names.empty() ? "" : ", ";
      names += slot.name;
    }
  }
  return names.empty() ? "none (portable routines only)" : names;
}

// ---- encoding ---------------------------------------------------------------------

// How a picture is written: standard tables, optimised tables, progressive.
enum class WriteKind { Standard, Optimised, Progressive };

// One timed encode of ours at quality 90 (4:2:0, or grey): seconds, or -1;
// *size gets the file's bytes.
double ours_encode(const std::vector<uint8_t>& pixels, const Input& in, WriteKind kind,
                   std::vector<uint8_t>& out, size_t* size, int32_t threads = 1) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  jpeg_init(&job);
  job.threads = threads;
  job.out_pixels = const_cast<uint8_t*>(pixels.data());
  job.out_width = job.jpeg_width = in.width;
  job.out_height = job.jpeg_height = in.height;
  job.out_channels = job.jpeg_channels = in.channels;
  job.out_color = in.channels == 1 ? ColorGray : ColorRgb;
  job.jpeg_color = in.channels == 1 ? ColorGray : ColorYcbcr;
  job.jpeg_subsampling = in.channels == 1 ? Sub444 : Sub420;
  job.quality = 90;
  job.write_optimize = kind == WriteKind::Optimised;
  job.write_progressive = kind == WriteKind::Progressive;
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  const double start = thread_seconds();
  const JpegStatus status = jpeg_write(&job, IoWriteImageBuffer);
  const double seconds = thread_seconds() - start;
  *size = static_cast<size_t>(job.jpeg_buffer_size);
  jpeg_free(&job);
  return status == JpegSuccess ? seconds : -1;
}

// The same with libjpeg-turbo (accurate transform, the same tables and
// sampling; its own progressive script).
double peer_encode(const std::vector<uint8_t>& pixels, const Input& in, WriteKind kind,
                   size_t* size) {
  const double start = thread_seconds();
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long bytes = 0;
  jpeg_mem_dest(&info, &out, &bytes);
  info.image_width = static_cast<JDIMENSION>(in.width);
  info.image_height = static_cast<JDIMENSION>(in.height);
  info.input_components = in.channels;
  info.in_color_space = in.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  info.dct_method = JDCT_ISLOW;
  info.optimize_coding = kind == WriteKind::Optimised ? TRUE : FALSE;
  if (kind == WriteKind::Progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  const size_t line = static_cast<size_t>(in.width) * in.channels;
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(pixels.data()) + info.next_scanline * line;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  const double seconds = thread_seconds() - start;
  *size = bytes;
  free(out);
  return seconds;
}

// The geometric mean of ratios, and the lowest.
double geometric_mean(const std::vector<double>& values, double* lowest) {
  double log_sum = 0;
  *lowest = 1e30;
  for (double v : values) {
    log_sum += std::log(v);
    *lowest = std::min(*lowest, v);
  }
  return std::exp(log_sum / static_cast<double>(values.size()));
}

// Each file decoded once, then written by both encoders in turn.
void encode_table(std::vector<Input>& inputs, int repeat, int32_t threads) {
  const bool threaded = threads > 1;
  std::printf("%-24s %-12s %9s %9s %7s %10s %10s %9s", "file", "write", "ours ms", "turbo ms",
              "ratio", "ours bytes", "turbo bytes", "ours MP/s");
  if (threaded) std::printf(" %9s %9s %7s", "ours wall", "turbo wall", "ratio");
  std::printf("\n");
  // Each write's ratios, CPU time of one thread and by the wall clock.
  std::map<std::string, std::vector<double>> ratios, wall_ratios;
  for (Input& in : inputs) {
    Job probe(in);
    if (jpeg_read(&probe.job, IoReadParamsBuffer) != JpegSuccess) continue;
    in.width = probe.job.jpeg_width;
    in.height = probe.job.jpeg_height;
    in.channels = probe.job.jpeg_channels == 1 ? 1 : 3;
    std::vector<uint8_t> pixels(static_cast<size_t>(in.width) * in.height * in.channels);
    if (!probe.read(IoReadImageBuffer, pixels, in.width, in.height, in.channels)) continue;
    std::vector<uint8_t> out(pixels.size() * 2 + 65536);
    const std::string base = in.name.substr(in.name.find_last_of('/') + 1);
    struct Kind {
      const char* label;
      WriteKind kind;
    };
    for (const Kind& k :
         {Kind{"standard", WriteKind::Standard}, Kind{"optimised", WriteKind::Optimised},
          Kind{"progressive", WriteKind::Progressive}}) {
      double best_ours = 1e30, best_peer = 1e30, wall_ours = 1e30, wall_peer = 1e30;
      size_t ours_size = 0, peer_size = 0;
      for (int r = 0; r < repeat; ++r) {
        const double a = ours_encode(pixels, in, k.kind, out, &ours_size);
        const double b = peer_encode(pixels, in, k.kind, &peer_size);
        if (a < 0) break;
        best_ours = std::min(best_ours, a);
        best_peer = std::min(best_peer, b);
        if (threaded) {
          g_wall_clock = true;
          wall_ours =
              std::min(wall_ours, ours_encode(pixels, in, k.kind, out, &ours_size, threads));
          wall_peer = std::min(wall_peer, peer_encode(pixels, in, k.kind, &peer_size));
          g_wall_clock = false;
        }
      }
      if (best_ours >= 1e30) {
        std::printf("%-24s %-12s %9s\n", base.c_str(), k.label, "failed");
        continue;
      }
      std::printf("%-24s %-12s %9.2f %9.2f %7.2f %10zu %10zu %9.1f", base.c_str(), k.label,
                  best_ours * 1e3, best_peer * 1e3, best_peer / best_ours, ours_size, peer_size,
                  double(in.width) * in.height / 1e6 / best_ours);
      ratios[k.label].push_back(best_peer / best_ours);
      if (threaded) {
        std::printf(" %9.2f %9.2f %7.2f", wall_ours * 1e3, wall_peer * 1e3, wall_peer / wall_ours);
        wall_ratios[k.label].push_back(wall_peer / wall_ours);
      }
      std::printf("\n");
    }
  }
  std::printf("\n%-12s %5s %9s %7s", "write", "files", "geo mean", "lowest");
  if (threaded) std::printf(" %9s %7s", "wall mean", "lowest");
  std::printf("\n");
  for (const char* label : {"standard", "optimised", "progressive"}) {
    if (ratios[label].empty()) continue;
    double lowest = 0;
    const double mean = geometric_mean(ratios[label], &lowest);
    std::printf("%-12s %5zu %9.2f %7.2f", label, ratios[label].size(), mean, lowest);
    if (threaded) {
      const double wall_mean = geometric_mean(wall_ratios[label], &lowest);
      std::printf(" %9.2f %7.2f", wall_mean, lowest);
    }
    std::printf("\n");
  }
}

// The geometric mean of each class's ratios for each read, and its lowest.
void print_classes(const std::map<std::string, std::vector<double>>& ratios) {
  if (ratios.empty()) return;
  std::printf("\n%-12s %-7s %5s %9s %7s\n", "class", "read", "files", "geo mean", "lowest");
  for (const char* kind : {"baseline", "grey", "progressive", "uncommon"}) {
    for (const char* read : {"full", "to RGB", "1/2", "1/8", "region"}) {
      const auto found = ratios.find(std::string(kind) + "|" + read);
      if (found == ratios.end()) continue;
      double lowest = 0;
      const double mean = geometric_mean(found->second, &lowest);
      std::printf("%-12s %-7s %5zu %9.2f %7.2f\n", kind, read, found->second.size(), mean, lowest);
    }
  }
}

void usage() {
  std::puts(
      "Usage: jpegbench [--repeat N] [--threads N] [--encode] FILE...\n"
      "       jpegbench --version\n"
      "Decodes each JPEG file from memory with jpegcodec and with libjpeg-turbo\n"
      "(accurate transform, plain upsampling, RGB or grey), alternating the two,\n"
      "and at full size with stb_image when jpegbench was built with it,\n"
      "at full size, 1/2 and 1/8, and a second 512x512 region in the lower half\n"
      "read on the same job after the whole image (libjpeg-turbo: crop and skip);\n"
      "a grey file also to RGB at full size.\n"
      "Times are CPU time of the thread, the best of N runs (default 7).\n"
      "Prints ms for each and the ratios peer / jpegcodec (above 1: jpegcodec\n"
      "is faster), then the geometric mean and the lowest ratio of each class\n"
      "of file (baseline, grey, progressive, uncommon sampling) for each read,\n"
      "and the processor-specific routines installed. bench/photos.sh makes\n"
      "the photographs to run it on.\n"
      "\n"
      "With --threads N (N > 1), each read is also timed by the wall clock with\n"
      "jpegcodec using up to N threads against libjpeg-turbo's one thread (also\n"
      "by the wall clock), alternated with the others: two more columns and a\n"
      "second table of classes.\n"
      "\n"
      "With --encode, each file is decoded once and its pixels written by\n"
      "jpegcodec and by libjpeg-turbo at quality 90 (4:2:0, or grey; accurate\n"
      "DCT): with the standard Huffman tables, with optimised ones and as a\n"
      "progressive file, with the time, the ratio and each file's size, and\n"
      "with --threads N the wall-clock times and ratios of jpegcodec with up\n"
      "to N threads against libjpeg-turbo's one; then each write's geometric\n"
      "mean and lowest ratio.");
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 7;
  int32_t threads = 1;
  bool encoding = false;
  std::vector<Input> inputs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = std::max(1, std::min(1024, std::atoi(argv[++i])));
    } else if (std::strcmp(argv[i], "--encode") == 0) {
      encoding = true;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      usage();
      return 0;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("jpegbench (jpegcodec) %s\n", JPEGCODEC_PACKAGE_VERSION);
      return 0;
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "jpegbench: unknown option %s (try --help)\n", argv[i]);
      return 2;
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
  std::printf("processor kind %d; variants installed: %s\n", static_cast<int>(classify_cpu()),
              installed_variants().c_str());
  if (encoding) {
    encode_table(inputs, repeat, threads);
    return 0;
  }
#if KNOT_HAVE_STB
  const bool with_stb = true;
#else
  const bool with_stb = false;
  std::puts("stb_image: not built in (its header was not found)");
#endif
  const bool threaded = threads > 1;
  std::printf("%-24s %-7s %9s %9s %7s %9s %7s %9s", "file", "read", "ours ms", "turbo ms", "ratio",
              "stb ms", "ratio", "ours MP/s");
  if (threaded) std::printf(" %9s %9s %7s", "ours wall", "turbo wall", "ratio");
  std::printf("\n");
  // Each class's ratios (libjpeg-turbo / ours), by read: CPU time of one
  // thread, and with threads by the wall clock.
  std::map<std::string, std::vector<double>> ratios, wall_ratios;
  for (Input& in : inputs) {
    {
      Job probe(in);
      const JpegStatus status = jpeg_read(&probe.job, IoReadParamsBuffer);
      in.width = probe.job.jpeg_width;
      in.height = probe.job.jpeg_height;
      in.channels = probe.job.jpeg_channels == 1 ? 1 : 3;
      const int32_t sampling = probe.job.jpeg_subsampling;
      in.kind = in.channels == 1                                                 ? "grey"
                : probe.job.properties.progressive_frame                         ? "progressive"
                : sampling == Sub444 || sampling == Sub420 || sampling == Sub422 ? "baseline"
                                                                                 : "uncommon";
      if (status != JpegSuccess || (in.channels != 1 && probe.job.jpeg_channels != 3)) {
        std::fprintf(stderr, "jpegbench: %s: skipped (%s)\n", in.name.c_str(),
                     jpeg_status_text(status));
        continue;
      }
    }
    std::vector<uint8_t> out(static_cast<size_t>(in.width) * in.height * 3);
    const std::string base = in.name.substr(in.name.find_last_of('/') + 1);
    const Region lower = {in.width / 2 - kRegionSide / 2, in.height * 3 / 4 - kRegionSide / 2,
                          in.width / 2 + kRegionSide / 2, in.height * 3 / 4 + kRegionSide / 2};
    const bool region_fits = in.width >= 2 * kRegionSide && in.height >= 2 * kRegionSide;
    struct Mode {
      const char* label;
      int scale;
      bool region;
      bool rgb;  // a grey file read to RGB
    };
    for (const Mode& mode : {Mode{"full", 1, false, false}, Mode{"to RGB", 1, false, true},
                             Mode{"1/2", 2, false, false}, Mode{"1/8", 8, false, false},
                             Mode{"region", 1, true, false}}) {
      if (mode.region && !region_fits) continue;
      if (mode.rgb && in.channels != 1) continue;
      const int channels = mode.rgb ? 3 : in.channels;
      // stb_image decodes whole images only: it is timed at full size.
      const bool stb = with_stb && mode.scale == 1 && !mode.region;
      double best_ours = 1e30, best_peer = 1e30, best_stb = 1e30;
      double wall_ours = 1e30, wall_peer = 1e30;
      bool failed = false;
      const Region* region = mode.region ? &lower : nullptr;
      for (int r = 0; r < repeat && !failed; ++r) {
        const double a = ours(in, out, mode.scale, region, channels);
        const double b = peer(in, out, mode.scale, region, channels);
        failed = a < 0;
        best_ours = std::min(best_ours, a);
        best_peer = std::min(best_peer, b);
        if (threaded) {
          g_wall_clock = true;
          const double c = ours(in, out, mode.scale, region, channels, threads);
          const double d = peer(in, out, mode.scale, region, channels);
          g_wall_clock = false;
          failed = failed || c < 0;
          wall_ours = std::min(wall_ours, c);
          wall_peer = std::min(wall_peer, d);
        }
#if KNOT_HAVE_STB
        if (stb) {
          const double c = stb_decode_seconds(in.data.data(), in.data.size(), channels);
          best_stb = std::min(best_stb, c < 0 ? 1e30 : c);
        }
#endif
      }
      if (failed) {
        std::printf("%-24s %-7s %9s\n", base.c_str(), mode.label, "failed");
        continue;
      }
      const double pixels =
          mode.region ? double(kRegionSide) * kRegionSide : double(in.width) * in.height;
      char stb_columns[32] = "        -       -";
      if (stb && best_stb < 1e30) {
        std::snprintf(stb_columns, sizeof stb_columns, "%9.2f %7.2f", best_stb * 1e3,
                      best_stb / best_ours);
      }
      std::printf("%-24s %-7s %9.2f %9.2f %7.2f %s %9.1f", base.c_str(), mode.label,
                  best_ours * 1e3, best_peer * 1e3, best_peer / best_ours, stb_columns,
                  pixels / 1e6 / best_ours);
      if (threaded) {
        std::printf(" %9.2f %9.2f %7.2f", wall_ours * 1e3, wall_peer * 1e3, wall_peer / wall_ours);
        wall_ratios[std::string(in.kind) + "|" + mode.label].push_back(wall_peer / wall_ours);
      }
      std::printf("\n");
      ratios[std::string(in.kind) + "|" + mode.label].push_back(best_peer / best_ours);
    }
  }
  std::printf("\nCPU time of one thread, ratio libjpeg-turbo / jpegcodec:");
  print_classes(ratios);
  if (threaded) {
    std::printf("\nWall clock, jpegcodec with up to %d threads against libjpeg-turbo's one:",
                threads);
    print_classes(wall_ratios);
  }
  return 0;
}
