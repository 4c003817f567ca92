// jpegenc: writes JPEG files with jpegcodec from PNG or netpbm images.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
      "(Adobe); an alpha channel is dropped.\n"
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
      "  --fast-dct         the fast forward DCT (less accurate)\n"
      "  --help             show this help\n"
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
  std::string comment;
  bool has_comment = false;
  std::string input, output;
};

bool parse_number(const char* text, int32_t low, int32_t high, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || n < low || n > high) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

// The status, its text, and which check refused the request if one did.
int fail(const std::string& name, JpegStatus status, const JpegJob& job) {
  const char* detail = jpeg_status_detail(&job);
  std::fprintf(stderr, "jpegenc: %s: status %d: %s%s%s\n", name.c_str(), status,
               jpeg_status_text(status), *detail != '\0' ? ": " : "", detail);
  return 1;
}

int encode(const Options& o) {
  std::vector<uint8_t> data;
  if (!imageio::read_whole_file(o.input, &data)) {
    std::fprintf(stderr, "jpegenc: cannot read %s: %s\n", o.input.c_str(), std::strerror(errno));
    return 1;
  }
  imageio::Image image;
  std::string error;
  if (!imageio::read_image(data, &image, &error)) {
    std::fprintf(stderr, "jpegenc: %s: %s\n", o.input.c_str(), error.c_str());
    return 1;
  }
  data.clear();
  data.shrink_to_fit();
  if (image.width > 65535 || image.height > 65535) {
    std::fprintf(stderr, "jpegenc: %s: %ux%u is larger than a JPEG can be (65535x65535)\n",
                 o.input.c_str(), image.width, image.height);
    return 1;
  }
  // The caller's image as the codec takes it: grey, RGB or CMYK, without alpha.
  const bool cmyk = image.cmyk && image.channels == 4;
  const uint32_t keep = cmyk ? 4 : (image.channels <= 2 ? 1 : 3);
  if (keep != image.channels) {
    std::vector<uint8_t> kept;
    kept.reserve(size_t{image.width} * image.height * keep);
    for (size_t i = 0; i < image.pixels.size(); i += image.channels) {
      kept.insert(kept.end(), image.pixels.begin() + static_cast<ptrdiff_t>(i),
                  image.pixels.begin() + static_cast<ptrdiff_t>(i + keep));
    }
    image.pixels.swap(kept);
    image.channels = keep;
  }

  JpegJob job;
  std::memset(&job, 0, sizeof job);
  JpegStatus status = jpeg_init(&job);
  if (status != JpegSuccess) return fail(o.input, status, job);
  job.out_pixels = image.pixels.data();
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
    job.out_color = ColorRgb;
    job.jpeg_color = o.gray ? ColorGray : (o.rgb ? ColorRgb : ColorYcbcr);
    job.jpeg_channels = o.gray ? 1 : 3;
    job.jpeg_subsampling =
        o.gray ? Sub444 : (o.sampling >= 0 ? o.sampling : (o.rgb ? Sub444 : Sub420));
  }
  job.properties.dct_family = o.fast_dct ? 0 : 1;
  job.write_optimize = o.optimize ? 1 : 0;
  job.write_progressive = o.progressive ? 1 : 0;
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
  std::vector<uint8_t> text(o.comment.begin(), o.comment.end());
  if (o.has_comment) {
    job.properties.jpeg_comment = text.data();
    job.properties.jpeg_comment_size = static_cast<uint16_t>(text.size());
  }
  // Written to memory, then to the file: standard output works the same,
  // and a file is made only for a JPEG that was written whole. The buffer
  // grows for the rare image whose JPEG is larger than its pixels.
  std::vector<uint8_t> out;
  size_t room = image.pixels.size() + image.pixels.size() / 2 + 65536 + text.size();
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      print_usage(stdout);
      return 0;
    } else if (arg == "--quality" && has_value) {
      if (!parse_number(argv[++i], 1, 100, &o.quality)) {
        std::fputs("jpegenc: --quality takes a number from 1 to 100\n", stderr);
        return 2;
      }
    } else if (arg == "--sampling" && has_value) {
      const std::string value = argv[++i];
      if (value == "444") {
        o.sampling = Sub444;
      } else if (value == "422") {
        o.sampling = Sub422;
      } else if (value == "420") {
        o.sampling = Sub420;
      } else {
        std::fputs("jpegenc: --sampling takes 444, 422 or 420\n", stderr);
        return 2;
      }
    } else if (arg == "--restart" && has_value) {
      if (!parse_number(argv[++i], 1, 65535, &o.restart_rows)) {
        std::fputs("jpegenc: --restart takes a number of MCU rows from 1 to 65535\n", stderr);
        return 2;
      }
    } else if (arg == "--comment" && has_value) {
      o.comment = argv[++i];
      o.has_comment = true;
      if (o.comment.size() > 65533) {
        std::fputs("jpegenc: --comment takes at most 65533 bytes\n", stderr);
        return 2;
      }
    } else if (arg == "--gray" || arg == "--grey") {
      o.gray = true;
    } else if (arg == "--rgb") {
      o.rgb = true;
    } else if (arg == "--optimize" || arg == "--optimise") {
      o.optimize = true;
    } else if (arg == "--progressive") {
      o.progressive = true;
    } else if (arg == "--fast-dct") {
      o.fast_dct = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      std::fprintf(stderr, "jpegenc: unknown or incomplete option \"%s\"\n\n", arg.c_str());
      print_usage(stderr);
      return 2;
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) {
    std::fputs("jpegenc: expected INPUT and OUTPUT\n\n", stderr);
    print_usage(stderr);
    return 2;
  }
  if (o.gray && o.rgb) {
    std::fputs("jpegenc: --gray and --rgb exclude each other\n", stderr);
    return 2;
  }
  o.input = files[0];
  o.output = files[1];
  return encode(o);
}
