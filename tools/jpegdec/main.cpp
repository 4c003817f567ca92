// jpegdec: reads JPEG files with jpegcodec.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jpeg/api/jpegcodec.h"

namespace {

void print_usage(FILE* out) {
  std::fputs(
      "Usage: jpegdec --info FILE\n"
      "\n"
      "Reads the header of a JPEG file (up to its first scan) and prints one\n"
      "\"key: value\" line each: status, width, height, channels, color,\n"
      "subsampling, thumbnail, then the JFIF values, the Adobe values and the\n"
      "comment when the file has them.\n"
      "\n"
      "Options:\n"
      "  --info FILE   print the file's parameters\n"
      "  --help        show this help\n"
      "\n"
      "Exit status: 0 when the file was read, 1 when it could not be (the\n"
      "codec's status text goes to standard error), 2 for bad usage.\n",
      out);
}

const char* color_name(int32_t code) {
  switch (code) {
    case ColorRgb: return "RGB";
    case ColorBgr: return "BGR";
    case ColorYcbcr: return "YCbCr";
    case ColorGray: return "gray";
    case ColorFourChannel: return "four-channel";
    case ColorYcck: return "YCCK";
    case ColorOther: return "other";
    default: return "unknown";
  }
}

const char* subsampling_name(int32_t code) {
  switch (code) {
    case Sub444: return "4:4:4";
    case Sub420: return "4:2:0";
    case Sub422: return "4:2:2";
    case Sub420Alpha: return "4:2:0 with alpha";
    case Sub422Alpha: return "4:2:2 with alpha";
    default: return "other";
  }
}

// The comment as printable text: other bytes as \xHH.
std::string printable(const uint8_t* bytes, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = bytes[i];
    if (std::isprint(c) && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  return text;
}

int print_info(const char* path) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  JpegStatus status = jpeg_init(&job);
  if (status != JpegSuccess) {
    std::fprintf(stderr, "jpegdec: %s\n", jpeg_status_text(status));
    return 1;
  }
  std::vector<uint8_t> comment(65535);
  job.properties.jpeg_comment = comment.data();
  job.properties.jpeg_comment_size = static_cast<uint16_t>(comment.size());
  job.file_name = path;
  status = jpeg_read(&job, IoReadParamsFile);
  const JPEG_PROPERTIES& p = job.properties;

  std::printf("status: %d %s\n", status, jpeg_status_text(status));
  if (status == JpegSuccess) {
    std::printf("width: %d\n", job.jpeg_width);
    std::printf("height: %d\n", job.jpeg_height);
    std::printf("channels: %d\n", job.jpeg_channels);
    std::printf("color: %d %s\n", job.jpeg_color, color_name(job.jpeg_color));
    std::printf("subsampling: %d %s\n", job.jpeg_subsampling,
                subsampling_name(job.jpeg_subsampling));
    std::printf("thumbnail: %dx%d\n", job.thumb_width, job.thumb_height);
    if (p.jfif_seen) {
      std::printf("jfif_version: %d.%02d\n", p.jfif_version >> 8, p.jfif_version & 0xFF);
      std::printf("density_units: %d\n", p.density_units);
      std::printf("x_density: %d\n", p.x_density);
      std::printf("y_density: %d\n", p.y_density);
    }
    if (p.adobe_seen) {
      std::printf("adobe_version: %d\n", p.adobe_version);
      std::printf("adobe_flags0: 0x%04x\n", p.adobe_flags0);
      std::printf("adobe_flags1: 0x%04x\n", p.adobe_flags1);
      std::printf("adobe_transform: %d\n", p.adobe_transform);
    }
    // The size field holds the buffer's capacity until a comment is read;
    // no comment segment can be as long as the capacity (65535).
    if (p.jpeg_comment_size > 0 && p.jpeg_comment_size < comment.size()) {
      std::printf("comment: %s\n", printable(comment.data(), p.jpeg_comment_size).c_str());
    }
  }
  jpeg_free(&job);
  if (status != JpegSuccess) {
    std::fprintf(stderr, "jpegdec: %s: %s\n", path, jpeg_status_text(status));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    print_usage(stdout);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--info") == 0) return print_info(argv[2]);
  std::fputs("jpegdec: expected --info FILE\n\n", stderr);
  print_usage(stderr);
  return 2;
}
