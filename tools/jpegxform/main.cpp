// jpegxform: turns, mirrors, transposes and crops JPEG files with jpegcodec
// without decoding them to pixels, keeping what they carry as asked.

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "image_files.h"
#include "jpegcodec.h"

namespace {

void print_usage(FILE* out) {
  std::fputs(
      "Usage: jpegxform [options] INPUT OUTPUT\n"
      "\n"
      "Transforms the JPEG file INPUT into OUTPUT without decoding it to pixels:\n"
      "nothing is lost. \"-\" reads standard input or writes standard output.\n"
      "Baseline, extended and progressive 8-bit files; the result is baseline\n"
      "unless --progressive.\n"
      "\n"
      "Options:\n"
      "  --rotate 90|180|270   turn clockwise\n"
      "  --flip horizontal|vertical\n"
      "                        mirror left to right, or top to bottom\n"
      "  --transpose           mirror across the top-left to bottom-right diagonal\n"
      "  --transverse          mirror across the top-right to bottom-left diagonal\n"
      "  --auto-orient         the turn or mirror the file's EXIF orientation asks\n"
      "                        for, and the orientation set to 1 in the EXIF kept\n"
      "  --crop WxH+X+Y        keep W by H pixels from X,Y of the transformed image;\n"
      "                        X and Y move left and up to the MCU grid (8 or 16\n"
      "                        pixels) and the size grows by as much\n"
      "  --grayscale           keep the luma alone: a grey file\n"
      "  --trim                drop the partial MCU at an edge a mirror cannot move\n"
      "                        (without it those blocks stay where they are)\n"
      "  --perfect             refuse a transform with such a partial MCU\n"
      "  --optimize            Huffman tables made for the result: a smaller file\n"
      "  --progressive         a progressive result\n"
      "  --restart N           a restart marker every N rows of MCUs\n"
      "  --copy none|comments|all\n"
      "                        what the result carries: nothing, the comment (the\n"
      "                        default), or the comment, EXIF, ICC profile and XMP\n"
      "  --force               write what a damaged INPUT gave (and still exit 1)\n"
      "  --threads N           write with up to N threads (default: the cores)\n"
      "  --version             show the version\n"
      "  --help                show this help\n"
      "Options take their value as --rotate 90 or --rotate=90.\n"
      "\n"
      "Exit status: 0 on success, 1 when INPUT cannot be read or transformed as\n"
      "asked (the reason goes to standard error and OUTPUT is not written), 2 for\n"
      "bad usage.\n",
      out);
}

struct Options {
  JpegTransform transform{};
  bool optimize = false, progressive = false;
  int32_t threads = 0;  // 0: the machine's cores
  std::string input, output;
};

// WxH+X+Y, each a whole number (the offsets may be left out: +0+0).
bool parse_crop(const char* text, JpegTransform* t) {
  unsigned long w = 0, h = 0, x = 0, y = 0;
  int used = 0;
  const int found = std::sscanf(text, "%lux%lu%n+%lu+%lu%n", &w, &h, &used, &x, &y, &used);
  if ((found != 2 && found != 4) || text[used] != '\0') return false;
  if (w < 1 || h < 1 || w > 65535 || h > 65535 || x > 65535 || y > 65535) return false;
  t->crop_width = static_cast<int32_t>(w);
  t->crop_height = static_cast<int32_t>(h);
  t->crop_x = static_cast<int32_t>(x);
  t->crop_y = static_cast<int32_t>(y);
  return true;
}

int fail(const std::string& name, JpegStatus status, const JpegJob& job) {
  const char* detail = jpeg_status_detail(&job);
  std::fprintf(stderr, "jpegxform: %s: status %d: %s%s%s\n", name.c_str(), status,
               jpeg_status_text(status), *detail != '\0' ? ": " : "", detail);
  return 1;
}

int transform(Options& o) {
  JpegJob source{}, destination{};
  if (jpeg_init(&source) != JpegSuccess || jpeg_init(&destination) != JpegSuccess) {
    std::fprintf(stderr, "jpegxform: the codec cannot start: out of memory\n");
    return 1;
  }
  std::vector<uint8_t> input;
  int32_t read_type = IoReadImageFile;
  if (o.input == "-") {
    if (!imageio::read_whole_file(o.input, &input)) {
      std::fprintf(stderr, "jpegxform: standard input: %s\n", std::strerror(errno));
      return 1;
    }
    if (input.empty() || input.size() > INT32_MAX) {
      std::fprintf(stderr, "jpegxform: standard input: %s\n",
                   input.empty() ? "no data" : "more than 2 GiB");
      return 1;
    }
    source.jpeg_buffer = input.data();
    source.jpeg_buffer_size = static_cast<int32_t>(input.size());
    read_type = IoReadImageBuffer;
  } else {
    source.file_name = o.input.c_str();
  }
  destination.write_optimize = o.optimize;
  destination.write_progressive = o.progressive;
  destination.threads =
      o.threads > 0 ? o.threads : static_cast<int32_t>(sysconf(_SC_NPROCESSORS_ONLN));
  JpegStatus status;
  std::vector<uint8_t> out;
  if (o.output != "-") {
    // The codec creates the file only once the source is read, and removes
    // it again when the write fails.
    destination.file_name = o.output.c_str();
    status = jpeg_transform(&source, read_type, &destination, IoWriteImageFile, &o.transform);
  } else {
    // Standard output: the file is made in memory first, so that a failure
    // sends nothing; the room grows for a result larger than its source.
    size_t room = (input.empty() ? 1 << 20 : input.size()) * 2 + 65536;
    for (;;) {
      if (room > INT32_MAX) room = INT32_MAX;
      out.resize(room);
      destination.jpeg_buffer = out.data();
      destination.jpeg_buffer_size = static_cast<int32_t>(room);
      status = jpeg_transform(&source, read_type, &destination, IoWriteImageBuffer, &o.transform);
      if (status != JpegOutputTooSmall || room == INT32_MAX) break;
      room *= 2;
    }
  }
  const bool written = o.transform.written != 0;
  int result = 0;
  if (status != JpegSuccess) {
    const std::string& name = o.input == "-" ? std::string("standard input") : o.input;
    result = fail(name, status, destination);
  }
  if (written && o.output == "-") {
    const size_t size = static_cast<size_t>(destination.jpeg_buffer_size);
    if (!imageio::write_whole_file("jpegxform", o.output, out.data(), size)) result = 1;
  }
  jpeg_free(&source);
  jpeg_free(&destination);
  return result;
}

int usage_error(const char* format, const char* value = "") {
  return cli::usage_error("jpegxform", format, value);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.transform.copy = CopyComments;
  enum : int {
    kVersion = 256,
    kRotate,
    kFlip,
    kTranspose,
    kTransverse,
    kAutoOrient,
    kCrop,
    kGrayscale,
    kTrim,
    kPerfect,
    kOptimize,
    kProgressive,
    kRestart,
    kCopy,
    kForce,
    kThreads
  };
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, kVersion},
                                    {"rotate", required_argument, nullptr, kRotate},
                                    {"flip", required_argument, nullptr, kFlip},
                                    {"transpose", no_argument, nullptr, kTranspose},
                                    {"transverse", no_argument, nullptr, kTransverse},
                                    {"auto-orient", no_argument, nullptr, kAutoOrient},
                                    {"crop", required_argument, nullptr, kCrop},
                                    {"grayscale", no_argument, nullptr, kGrayscale},
                                    {"greyscale", no_argument, nullptr, kGrayscale},
                                    {"trim", no_argument, nullptr, kTrim},
                                    {"perfect", no_argument, nullptr, kPerfect},
                                    {"optimize", no_argument, nullptr, kOptimize},
                                    {"optimise", no_argument, nullptr, kOptimize},
                                    {"progressive", no_argument, nullptr, kProgressive},
                                    {"restart", required_argument, nullptr, kRestart},
                                    {"copy", required_argument, nullptr, kCopy},
                                    {"force", no_argument, nullptr, kForce},
                                    {"threads", required_argument, nullptr, kThreads},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;  // the messages below say it in one line each
  int transforms = 0;
  auto set_kind = [&](JpegTransformKind kind) {
    o.transform.kind = kind;
    ++transforms;
  };
  for (;;) {
    const int c = getopt_long(argc, argv, ":h", kOptions, nullptr);
    if (c == -1) break;
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case 'h':
        print_usage(stdout);
        return 0;
      case kVersion:
        return cli::print_version("jpegxform", JPEGCODEC_PACKAGE_VERSION);
      case kRotate:
        if (value == "90") {
          set_kind(TransformRotate90);
        } else if (value == "180") {
          set_kind(TransformRotate180);
        } else if (value == "270") {
          set_kind(TransformRotate270);
        } else {
          return usage_error("--rotate takes 90, 180 or 270, not \"%s\"", optarg);
        }
        break;
      case kFlip:
        if (value == "horizontal") {
          set_kind(TransformFlipHorizontal);
        } else if (value == "vertical") {
          set_kind(TransformFlipVertical);
        } else {
          return usage_error("--flip takes horizontal or vertical, not \"%s\"", optarg);
        }
        break;
      case kTranspose:
        set_kind(TransformTranspose);
        break;
      case kTransverse:
        set_kind(TransformTransverse);
        break;
      case kAutoOrient:
        o.transform.auto_orient = 1;
        ++transforms;
        break;
      case kCrop:
        if (!parse_crop(optarg, &o.transform)) {
          return usage_error("--crop takes WxH+X+Y (W and H at least 1), not \"%s\"", optarg);
        }
        break;
      case kGrayscale:
        o.transform.grayscale = 1;
        break;
      case kTrim:
        o.transform.trim = 1;
        break;
      case kPerfect:
        o.transform.perfect = 1;
        break;
      case kOptimize:
        o.optimize = true;
        break;
      case kProgressive:
        o.progressive = true;
        break;
      case kRestart:
        if (!cli::parse_number(optarg, 1, 65535, &o.transform.restart_rows)) {
          return usage_error("--restart takes a number of MCU rows from 1 to 65535, not \"%s\"",
                             optarg);
        }
        break;
      case kCopy:
        if (value == "none") {
          o.transform.copy = CopyNone;
        } else if (value == "comments") {
          o.transform.copy = CopyComments;
        } else if (value == "all") {
          o.transform.copy = CopyAll;
        } else {
          return usage_error("--copy takes none, comments or all, not \"%s\"", optarg);
        }
        break;
      case kForce:
        o.transform.force = 1;
        break;
      case kThreads:
        if (!cli::parse_number(optarg, 1, 1024, &o.threads)) {
          return usage_error("--threads takes a number of threads, 1 to 1024, not \"%s\"", optarg);
        }
        break;
      default:
        return cli::option_error("jpegxform", c, argv[optind - 1]);
    }
  }
  if (argc - optind != 2) return usage_error("expected INPUT and OUTPUT");
  if (transforms > 1) {
    return usage_error(
        "--rotate, --flip, --transpose, --transverse and --auto-orient exclude "
        "each other: give one");
  }
  o.input = argv[optind];
  o.output = argv[optind + 1];
  return transform(o);
}
