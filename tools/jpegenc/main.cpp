// jpegenc: writes JPEG files with jpegcodec from PNG or netpbm images.

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "image_files.h"
#include "jpegcodec.h"

namespace {

void print_usage(FILE* out) {
  std::fputs(
      "Usage: jpegenc [options] INPUT OUTPUT\n"
      "\n"
      "Writes the image INPUT (PNG, PGM, PPM or PAM) as the JPEG file OUTPUT.\n"
      "\"-\" reads standard input or writes standard output. Grey images give a\n"
      "grey JPEG, colour images a YCbCr one (JFIF), CMYK PAM images a CMYK one\n"
      "(Adobe); an alpha channel is dropped. A PNG's colour profile (iCCP) and\n"
      "EXIF block (eXIf) go into the JPEG.\n"
      "\n"
      "Options:\n"
      "  --quality N        1 to 100 (default 75): the Annex K tables scaled as\n"
      "                     common encoders scale them, 50 as printed\n"
      "  --sampling S       chroma sampling 444, 422 or 420 (default 420; 444 with\n"
      "                     --rgb)\n"
      "  --gray             write a grey JPEG from a colour image\n"
      "  --rgb              write the colour image's RGB as it is, without the\n"
      "                     YCbCr transform (Adobe segment, transform 0)\n"
      "  --restart N        a restart marker every N rows of MCUs\n"
      "  --optimize         Huffman tables made for the image: a smaller file\n"
      "  --progressive      a progressive JPEG (its tables made for each scan)\n"
      "  --comment TEXT     a comment segment holding TEXT\n"
      "  --icc FILE         embed the ICC colour profile in FILE (instead of the\n"
      "                     PNG's own)\n"
      "  --exif FILE        embed the EXIF block in FILE: TIFF data, with or\n"
      "                     without \"Exif\\0\\0\" before them (instead of the PNG's)\n"
      "  --fast-dct         the fast forward DCT (less accurate)\n"
      "  --threads N        write with up to N threads (default: the machine's\n"
      "                     cores); the file is the one one thread writes\n"
      "  --version          show the version\n"
      "  --help             show this help\n"
      "Options take their value as --quality 90 or --quality=90.\n"
      "\n"
      "Exit status: 0 on success, 1 when the image cannot be read or written (the\n"
      "reason, or the codec's status and its text, go to standard error), 2 for\n"
      "bad usage.\n",
      out);
  if (!imageio::png_supported()) {
    std::fputs(
        "\nThis build has no PNG support (libpng was not found when it was built):\n"
        "netpbm images (PPM, PGM, PAM) only.\n",
        out);
  }
}

struct Options {
  int32_t quality = 75;
  int32_t sampling = -1;  // a SubsamplingCode; -1 until given
  bool gray = false, rgb = false, optimize = false, progressive = false, fast_dct = false;
  int32_t restart_rows = 0;
  int32_t threads = 0;  // 0: the machine's cores
  std::string comment;
  bool has_comment = false;
  std::string icc_file, exif_file;
  std::string input, output;
};

// The status, its text, and which check refused the request if one did.
int fail(const std::string& name, JpegStatus status, const JpegJob& job) {
  const char* detail = jpeg_status_detail(&job);
  std::fprintf(stderr, "jpegenc: %s: status %d: %s%s%s\n", name.c_str(), status,
               jpeg_status_text(status), *detail != '\0' ? ": " : "", detail);
  return 1;
}

int encode(const Options& o) {
  // A regular 8-bit netpbm file is mapped, its bytes the image's pixels;
  // anything else is read into memory once.
  imageio::Image image;
  std::string error;
  if (!imageio::read_image_file(o.input, &image, &error)) {
    std::fprintf(stderr, "jpegenc: %s: %s\n", o.input.c_str(), error.c_str());
    return 1;
  }
  if (image.width > 65535 || image.height > 65535) {
    std::fprintf(stderr, "jpegenc: %s: %ux%u is larger than a JPEG can be (65535x65535)\n",
                 o.input.c_str(), image.width, image.height);
    return 1;
  }
  // The caller's image as the codec takes it: grey, RGB or CMYK. RGBA goes
  // in as it is (the encoder passes over the alpha byte of each pixel);
  // grey and alpha, or RGBA for a grey or RGB JPEG, lose the alpha first.
  const bool cmyk = image.cmyk && image.channels == 4;
  const bool rgba_as_is = image.channels == 4 && !cmyk && !o.gray && !o.rgb;
  const uint32_t keep = cmyk || rgba_as_is ? image.channels : (image.channels <= 2 ? 1 : 3);
  if (keep != image.channels) {
    std::vector<uint8_t> kept(size_t{image.width} * image.height * keep);
    const uint8_t* from = image.samples();
    for (size_t i = 0, o_at = 0; i < image.bytes(); i += image.channels, o_at += keep) {
      std::memcpy(kept.data() + o_at, from + i, keep);
    }
    image.pixels.swap(kept);
    image.mapped.reset();  // the pixels are the kept ones now, not the file's
    image.offset = 0;
    image.channels = keep;
  }

  JpegJob job;
  std::memset(&job, 0, sizeof job);
  JpegStatus status = jpeg_init(&job);
  if (status != JpegSuccess) return fail(o.input, status, job);
  job.out_pixels = const_cast<uint8_t*>(image.samples());
  job.out_width = static_cast<int32_t>(image.width);
  job.out_height = static_cast<int32_t>(image.height);
  job.out_channels = static_cast<int32_t>(image.channels);
  job.jpeg_width = job.out_width;
  job.jpeg_height = job.out_height;
  job.quality = o.quality;
  if (image.channels == 1) {
    job.out_color = job.jpeg_color = ColorGray;
    job.jpeg_channels = 1;
    job.jpeg_subsampling = Sub444;
  } else if (cmyk) {
    job.out_color = job.jpeg_color = ColorFourChannel;
    job.jpeg_channels = 4;
    job.jpeg_subsampling = Sub444;
  } else {
    job.out_color = ColorRgb;  // three channels, or four with the alpha passed over
    job.jpeg_color = o.gray ? ColorGray : (o.rgb ? ColorRgb : ColorYcbcr);
    job.jpeg_channels = o.gray ? 1 : 3;
    job.jpeg_subsampling =
        o.gray ? Sub444 : (o.sampling >= 0 ? o.sampling : (o.rgb ? Sub444 : Sub420));
  }
  job.properties.dct_family = o.fast_dct ? 0 : 1;
  job.write_optimize = o.optimize ? 1 : 0;
  job.write_progressive = o.progressive ? 1 : 0;
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  job.threads = o.threads > 0 ? o.threads : static_cast<int32_t>(cores > 0 ? cores : 1);
  if (o.restart_rows > 0) {
    // Rows of MCUs to MCUs.
    const int32_t mcu_width = job.jpeg_subsampling == Sub444 ? 8 : 16;
    const int64_t per_row = (int64_t{job.jpeg_width} + mcu_width - 1) / mcu_width;
    const int64_t interval = per_row * o.restart_rows;
    if (interval > 65535) {
      std::fprintf(stderr,
                   "jpegenc: --restart %d: %lld MCUs between markers, more than a JPEG can say "
                   "(65535)\n",
                   o.restart_rows, static_cast<long long>(interval));
      jpeg_free(&job);
      return 2;
    }
    job.write_restart_interval = static_cast<int32_t>(interval);
  }
  // The profile and EXIF block the image carries, or those given instead.
  for (const auto& [file, bytes] :
       {std::pair{&o.icc_file, &image.icc}, {&o.exif_file, &image.exif}}) {
    if (!file->empty() && !imageio::read_whole_file(*file, bytes)) {
      std::fprintf(stderr, "jpegenc: %s: %s\n", file->c_str(), std::strerror(errno));
      jpeg_free(&job);
      return 1;
    }
  }
  JpegWriteMetadata metadata{};
  metadata.icc = image.icc.data();
  metadata.icc_size = static_cast<int32_t>(std::min<size_t>(image.icc.size(), INT32_MAX));
  metadata.exif = image.exif.data();
  metadata.exif_size = static_cast<int32_t>(std::min<size_t>(image.exif.size(), INT32_MAX));
  status = jpeg_set_metadata(&job, &metadata);
  if (status != JpegSuccess) {
    // Too large a profile or block: named by where it came from.
    const bool icc = std::strncmp(jpeg_status_detail(&job), "icc", 3) == 0;
    const std::string& given = icc ? o.icc_file : o.exif_file;
    const int result = fail(given.empty() ? o.input : given, status, job);
    jpeg_free(&job);
    return result;
  }
  std::vector<uint8_t> text(o.comment.begin(), o.comment.end());
  if (o.has_comment) {
    job.properties.jpeg_comment = text.data();
    job.properties.jpeg_comment_size = static_cast<uint16_t>(text.size());
  }
  // A file is written as the encoder goes (the codec removes it again when
  // the write fails, so that none is left half written).
  if (o.output != "-") {
    job.file_name = o.output.c_str();
    status = jpeg_write(&job, IoWriteImageFile);
    const int saved = errno;
    jpeg_free(&job);
    if (status == JpegInvalidFileName) {
      std::fprintf(stderr, "jpegenc: cannot write %s: %s\n", o.output.c_str(),
                   std::strerror(saved != 0 ? saved : EINVAL));
      return 1;
    }
    return status == JpegSuccess ? 0 : fail(o.output, status, job);
  }
  // Standard output: written to memory first, so that a failed write sends
  // nothing. The buffer grows for the rare image whose JPEG is larger than
  // its pixels.
  std::vector<uint8_t> out;
  size_t room = image.bytes() + image.bytes() / 2 + 65536 + text.size();
  for (int attempt = 0; attempt < 4; ++attempt, room *= 2) {
    if (room > INT32_MAX) room = INT32_MAX;
    out.resize(room);
    job.jpeg_buffer = out.data();
    job.jpeg_buffer_size = static_cast<int32_t>(room);
    status = jpeg_write(&job, IoWriteImageBuffer);
    if (status != JpegOutputTooSmall || room == INT32_MAX) break;
  }
  const size_t written = status == JpegSuccess ? static_cast<size_t>(job.jpeg_buffer_size) : 0;
  jpeg_free(&job);
  if (status != JpegSuccess) return fail(o.input, status, job);
  return imageio::write_whole_file("jpegenc", o.output, out.data(), written) ? 0 : 1;
}

int usage_error(const char* format, const char* value = "") {
  return cli::usage_error("jpegenc", format, value);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  enum : int {
    kVersion = 256,
    kQuality,
    kSampling,
    kRestart,
    kComment,
    kIcc,
    kExif,
    kGray,
    kRgb,
    kOptimize,
    kProgressive,
    kFastDct,
    kThreads
  };
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, kVersion},
                                    {"quality", required_argument, nullptr, kQuality},
                                    {"sampling", required_argument, nullptr, kSampling},
                                    {"restart", required_argument, nullptr, kRestart},
                                    {"comment", required_argument, nullptr, kComment},
                                    {"icc", required_argument, nullptr, kIcc},
                                    {"exif", required_argument, nullptr, kExif},
                                    {"gray", no_argument, nullptr, kGray},
                                    {"grey", no_argument, nullptr, kGray},
                                    {"rgb", no_argument, nullptr, kRgb},
                                    {"optimize", no_argument, nullptr, kOptimize},
                                    {"optimise", no_argument, nullptr, kOptimize},
                                    {"progressive", no_argument, nullptr, kProgressive},
                                    {"fast-dct", no_argument, nullptr, kFastDct},
                                    {"threads", required_argument, nullptr, kThreads},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;  // the messages below say it in one line each
  for (;;) {
    const int c = getopt_long(argc, argv, ":h", kOptions, nullptr);
    if (c == -1) break;
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case 'h':
        print_usage(stdout);
        return 0;
      case kVersion:
        return cli::print_version("jpegenc", JPEGCODEC_PACKAGE_VERSION);
      case kQuality:
        if (!cli::parse_number(optarg, 1, 100, &o.quality)) {
          return usage_error("--quality takes a number from 1 to 100, not \"%s\"", optarg);
        }
        break;
      case kSampling:
        if (value == "444") {
          o.sampling = Sub444;
        } else if (value == "422") {
          o.sampling = Sub422;
        } else if (value == "420") {
          o.sampling = Sub420;
        } else {
          return usage_error("--sampling takes 444, 422 or 420, not \"%s\"", optarg);
        }
        break;
      case kRestart:
        if (!cli::parse_number(optarg, 1, 65535, &o.restart_rows)) {
          return usage_error("--restart takes a number of MCU rows from 1 to 65535, not \"%s\"",
                             optarg);
        }
        break;
      case kComment:
        o.comment = value;
        o.has_comment = true;
        if (o.comment.size() > 65533) return usage_error("--comment takes at most 65533 bytes");
        break;
      case kIcc:
        o.icc_file = value;
        break;
      case kExif:
        o.exif_file = value;
        break;
      case kGray:
        o.gray = true;
        break;
      case kRgb:
        o.rgb = true;
        break;
      case kOptimize:
        o.optimize = true;
        break;
      case kProgressive:
        o.progressive = true;
        break;
      case kFastDct:
        o.fast_dct = true;
        break;
      case kThreads:
        if (!cli::parse_number(optarg, 1, 1024, &o.threads)) {
          return usage_error("--threads takes a number of threads, 1 to 1024, not \"%s\"", optarg);
        }
        break;
      default:
        return cli::option_error("jpegenc", c, argv[optind - 1]);
    }
  }
  if (argc - optind != 2) return usage_error("expected INPUT and OUTPUT");
  if (o.gray && o.rgb) return usage_error("--gray and --rgb exclude each other");
  o.input = argv[optind];
  o.output = argv[optind + 1];
  return encode(o);
}
