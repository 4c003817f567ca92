// jpegdec: decodes JPEG files with jpegcodec and writes PNG or netpbm images.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "command_line.h"
#include "image_files.h"
#include "jpegcodec.h"

namespace {

void print_usage(FILE* out) {
  std::fputs(
      "Usage: jpegdec [options] INPUT OUTPUT\n"
      "       jpegdec --info FILE\n"
      "\n"
      "Decodes the JPEG file INPUT and writes OUTPUT as PNG, PPM, PGM or PAM,\n"
      "chosen by its extension (.png .ppm .pgm .pam; any other is refused; a\n"
      "name without one is PNG). \"-\" reads standard input or writes standard\n"
      "output (as PNG). The photo is turned as its EXIF orientation says, and\n"
      "its ICC profile goes into a PNG. A CMYK file is written as RGB, except\n"
      "to a PAM, which keeps its four channels.\n"
      "\n"
      "Options:\n"
      "  --scale N          decode at 1/N size: 1, 2, 4 or 8\n"
      "  --roi L,T,R,B      decode only the region from (L,T) to (R,B), right and\n"
      "                     bottom exclusive, in pixels of the (scaled) image\n"
      "  --layout NAME      gray, rgb, bgr, rgba, cmyk or ycbcr422 (packed Y,Cb,Y,Cr,\n"
      "                     written as a grey image twice as wide); the default\n"
      "                     follows the file: gray, rgb or cmyk\n"
      "  --bottom-up        decode into a buffer whose rows run bottom to top\n"
      "  --pad N            N bytes of padding after each row of the buffer\n"
      "  --thumbnail        decode the JFIF thumbnail instead of the image\n"
      "  --no-orient        keep the stored order of the pixels; by default the\n"
      "                     EXIF orientation is applied, as viewers show a photo\n"
      "                     (a region is taken from the stored image first)\n"
      "  --fast-dct         use the fast inverse DCT\n"
      "  --fast-upsample    repeat subsampled chroma instead of interpolating it\n"
      "                     (the default interpolates, as djpeg does)\n"
      "  --interrupt        decode MCU by MCU through interrupt mode (with a\n"
      "                     progress bar when standard error is a terminal)\n"
      "  --strict           write nothing for a damaged or truncated file\n"
      "  --max-memory MB    the most memory the image and the decoder's coefficient\n"
      "                     store may each take (default: half the machine's memory)\n"
      "  --threads N        decode with up to N threads (default: the machine's\n"
      "                     cores); the pixels are one thread's\n"
      "  --info FILE        print the file's parameters (see below) and exit\n"
      "  --version          show the version\n"
      "  --help             show this help\n"
      "Options take their value as --scale 2 or --scale=2.\n"
      "\n"
      "--info prints one \"key: value\" line each: status, width, height, channels,\n"
      "color, subsampling, thumbnail, then the JFIF values, the Adobe values and\n"
      "the comment when the file has them, the EXIF orientation (1 when the file\n"
      "has none), and the sizes of the ICC profile (with its description), the\n"
      "EXIF block and the XMP packet when it has them. \"-\" reads standard input.\n"
      "\n"
      "A damaged or truncated file is still written as far as it could be\n"
      "decoded (grey where data were missing), unless --strict is given; what\n"
      "was wrong goes to standard error and the exit status is 1.\n"
      "\n"
      "Exit status: 0 on success, 1 when the file cannot be read or decoded, or\n"
      "was damaged (the codec's status and its text go to standard error), 2 for\n"
      "bad usage.\n",
      out);
  if (!imageio::png_supported()) {
    std::fputs(
        "\nThis build has no PNG support (libpng was not found when it was built):\n"
        "netpbm images (PPM, PGM, PAM) only.\n",
        out);
  }
}

const char* color_name(int32_t code) {
  switch (code) {
    case ColorRgb:
      return "RGB";
    case ColorBgr:
      return "BGR";
    case ColorYcbcr:
      return "YCbCr";
    case ColorGray:
      return "gray";
    case ColorFourChannel:
      return "four-channel";
    case ColorYcck:
      return "YCCK";
    case ColorOther:
      return "other";
    default:
      return "unknown";
  }
}

const char* subsampling_name(int32_t code) {
  switch (code) {
    case Sub444:
      return "4:4:4";
    case Sub420:
      return "4:2:0";
    case Sub422:
      return "4:2:2";
    case Sub420Alpha:
      return "4:2:0 with alpha";
    case Sub422Alpha:
      return "4:2:2 with alpha";
    default:
      return "other";
  }
}

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

// The status, its text, and which check refused the request if one did.
int fail(const char* name, JpegStatus status, const JpegJob& job) {
  const char* detail = jpeg_status_detail(&job);
  std::fprintf(stderr, "jpegdec: %s: status %d: %s%s%s\n", name, status, jpeg_status_text(status),
               *detail != '\0' ? ": " : "", detail);
  return 1;
}

// Standard input ("-") is read into memory first; 0, or an exit status
// after a message.
int read_standard_input(const std::string& name, std::vector<uint8_t>* data) {
  if (name != "-") return 0;
  if (!imageio::read_whole_file(name, data)) {
    std::fprintf(stderr, "jpegdec: cannot read standard input: %s\n", std::strerror(errno));
    return 1;
  }
  if (data->empty()) {
    std::fputs("jpegdec: standard input is empty\n", stderr);
    return 1;
  }
  if (data->size() > INT32_MAX) {
    std::fputs("jpegdec: standard input holds more than 2 GB\n", stderr);
    return 1;
  }
  return 0;
}

uint32_t be32(const uint8_t* b) {
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

// The description an ICC profile gives itself (its 'desc' tag, as ICC v2's
// text or v4's first localized string), printable; empty when it has none or
// the profile is broken.
std::string icc_description(const uint8_t* icc, int32_t size) {
  if (icc == nullptr || size < 132) return {};
  const uint64_t tags = be32(icc + 128);
  for (uint64_t i = 0; i < tags && 132 + 12 * (i + 1) <= uint64_t(size); ++i) {
    const uint8_t* tag = icc + 132 + 12 * i;
    if (std::memcmp(tag, "desc", 4) != 0) continue;
    const uint64_t at = be32(tag + 4), length = be32(tag + 8);
    if (at + length > uint64_t(size) || length < 12) return {};
    const uint8_t* body = icc + at;
    if (std::memcmp(body, "desc", 4) == 0) {
      const uint64_t count = be32(body + 8);
      if (12 + count > length) return {};
      return printable(body + 12, static_cast<size_t>(count > 0 ? count - 1 : 0));
    }
    if (std::memcmp(body, "mluc", 4) == 0 && length >= 28) {
      const uint64_t bytes = be32(body + 20), from = be32(body + 24);
      if (from + bytes > length) return {};
      std::string text;
      for (uint64_t k = 0; k + 1 < bytes; k += 2) {
        const uint32_t unit = uint32_t{body[from + k]} << 8 | body[from + k + 1];
        text += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
      }
      return text;
    }
    return {};
  }
  return {};
}

int print_info(const char* path) {
  std::vector<uint8_t> data;
  if (const int failed = read_standard_input(path, &data)) return failed;
  const int32_t memory = std::strcmp(path, "-") == 0 ? 1 : 0;
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  JpegStatus status = jpeg_init(&job);
  if (status != JpegSuccess) return fail(path, status, job);
  std::vector<uint8_t> comment(65535);
  job.properties.jpeg_comment = comment.data();
  job.properties.jpeg_comment_size = static_cast<uint16_t>(comment.size());
  job.file_name = path;
  job.jpeg_buffer = data.data();
  job.jpeg_buffer_size = static_cast<int32_t>(data.size());
  status = jpeg_read(&job, IoReadParamsFile + memory);
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
    // What the photograph carries beside the image.
    JpegMetadata m;
    if (jpeg_metadata(&job, &m) == JpegSuccess) {
      std::printf("orientation: %d\n", m.orientation);
      if (m.icc != nullptr) {
        const std::string description = icc_description(m.icc, m.icc_size);
        std::printf("icc_profile: %d bytes%s%s\n", m.icc_size, description.empty() ? "" : ", ",
                    description.c_str());
      }
      if (m.exif != nullptr) std::printf("exif: %d bytes\n", m.exif_size);
      if (m.xmp != nullptr) std::printf("xmp: %d bytes\n", m.xmp_size);
    }
  }
  jpeg_free(&job);
  return status == JpegSuccess ? 0 : fail(path, status, job);
}

struct Options {
  int scale = 1;
  bool roi = false;
  int32_t roi_box[4] = {};
  std::string layout;
  bool bottom_up = false;
  int32_t pad = 0;
  bool thumbnail = false;
  bool fast_dct = false;
  bool interrupt = false;
  bool strict = false;
  bool orient = true;
  bool smooth = true;         // chroma upsampled by interpolation, as djpeg does by default
  int64_t max_memory_mb = 0;  // 0: half the machine's memory
  int32_t threads = 0;        // 0: the machine's cores
  std::string input, output;
};

// Half the machine's memory, in MB: room for the image or the coefficient
// store without taking all the memory there is.
int64_t default_max_memory_mb() {
  const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 4096;
  return static_cast<int64_t>(pages) * page_size / 2 / (1 << 20);
}

bool parse_int(const char* text, int32_t* value) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 0 || n > 65535) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

// Four whole numbers from 0 to 65535, separated by commas, nothing else.
bool parse_roi(const char* text, int32_t box[4]) {
  const char* at = text;
  for (int i = 0; i < 4; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(*at))) return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(at, &end, 10);
    if (errno != 0 || n > 65535) return false;
    box[i] = static_cast<int32_t>(n);
    if (*end != (i < 3 ? ',' : '\0')) return false;
    at = end + 1;
  }
  return box[2] > box[0] && box[3] > box[1];
}

// A progress bar on standard error, drawn again at most ten times a second
// (a read returns after every MCU) and once more at its end.
class ProgressBar {
 public:
  void show(int64_t done, int64_t total, bool last = false) {
    if (total <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!last && drawn_ && now - drawn_at_ < std::chrono::milliseconds(100)) return;
    drawn_ = true;
    drawn_at_ = now;
    const int width = 40;
    const int filled = static_cast<int>(done * width / total);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                 width - filled, "", static_cast<int>(done * 100 / total));
    if (last) std::fputs("\n", stderr);
  }

 private:
  bool drawn_ = false;
  std::chrono::steady_clock::time_point drawn_at_;
};

// Statuses of an image read that refuse it outright; any other failure
// comes from damaged data, after which the picture holds what was decoded.
bool refused(JpegStatus status) {
  switch (status) {
    case JpegExceptionDetected:
    case JpegUnsupportedSubsampling:
    case JpegMemoryError:
    case JpegInvalidProperties:
    case JpegCloseFileError:
    case JpegInvalidFileName:
    case JpegNotSupported:
    case JpegNotJpeg:
    case JpegFileError:
    case JpegInternalError:
    case JpegThumbnailWrongColor:
    case JpegOutputTooSmall:
      return true;
    default:
      return false;
  }
}

enum class OutputFormat { Png, Ppm, Pgm, Pam, Unknown };

// The format an output name asks for: by its extension (in any case); PNG
// for standard output (PAM in a build without PNG) and for a name without
// an extension (a device, say). Another extension is no format of ours.
OutputFormat output_format(const std::string& name) {
  const size_t slash = name.rfind('/'), dot = name.rfind('.');
  const bool bare = dot == std::string::npos || (slash != std::string::npos && dot < slash);
  if (name == "-" || bare) {
    return imageio::png_supported() ? OutputFormat::Png : OutputFormat::Pam;
  }
  std::string ext = name.substr(dot);
  for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (ext == ".png") return OutputFormat::Png;
  if (ext == ".ppm") return OutputFormat::Ppm;
  if (ext == ".pgm") return OutputFormat::Pgm;
  if (ext == ".pam") return OutputFormat::Pam;
  return OutputFormat::Unknown;
}

// Four-channel pixels as red, green, blue, in place (rows `stride` apart,
// the result three bytes a pixel): as other programs show CMYK JPEG files.
// Adobe's files store the inks inverted (255 is no ink), so a channel is
// c * k / 255; other files store them plainly, (255 - c) * (255 - k) / 255.
void cmyk_to_rgb(uint8_t* first, ptrdiff_t stride, int32_t width, int32_t height, bool inverted) {
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = first + y * stride;
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* in = row + 4 * x;
      const int32_t k = inverted ? in[3] : 255 - in[3];
      uint8_t rgb[3];
      for (int c = 0; c < 3; ++c) {
        const int32_t ink = inverted ? in[c] : 255 - in[c];
        rgb[c] = static_cast<uint8_t>((ink * k + 127) / 255);
      }
      std::memcpy(row + 3 * x, rgb, 3);
    }
  }
}

// The image as EXIF orientation `orientation` (2 to 8) says it is seen:
// `width` x `height` pixels of `channels` bytes, `stride` bytes from one row
// to the next, turned or mirrored into a new buffer of rows without padding;
// the width and height are those of the result.
std::vector<uint8_t> oriented(const uint8_t* first, ptrdiff_t stride, int32_t* width,
                              int32_t* height, int32_t channels, int32_t orientation) {
  const int32_t w = *width, h = *height;
  const bool turned = orientation >= 5;
  const int32_t out_w = turned ? h : w, out_h = turned ? w : h;
  std::vector<uint8_t> out(static_cast<size_t>(out_w) * out_h * channels);
  for (int32_t y = 0; y < out_h; ++y) {
    uint8_t* row = out.data() + static_cast<size_t>(y) * out_w * channels;
    for (int32_t x = 0; x < out_w; ++x) {
      int32_t sx = x, sy = y;
      switch (orientation) {
        case 2:  // mirrored
          sx = w - 1 - x;
          break;
        case 3:  // turned 180 degrees
          sx = w - 1 - x, sy = h - 1 - y;
          break;
        case 4:  // flipped
          sy = h - 1 - y;
          break;
        case 5:  // transposed
          sx = y, sy = x;
          break;
        case 6:  // turned 90 degrees clockwise
          sx = y, sy = h - 1 - x;
          break;
        case 7:  // transversed
          sx = w - 1 - y, sy = h - 1 - x;
          break;
        case 8:  // turned 90 degrees counter-clockwise
          sx = w - 1 - y, sy = x;
          break;
        default:
          break;
      }
      std::memcpy(row + static_cast<size_t>(x) * channels,
                  first + sy * stride + static_cast<ptrdiff_t>(sx) * channels, channels);
    }
  }
  *width = out_w;
  *height = out_h;
  return out;
}

int decode(const Options& o) {
  const bool from_memory = o.input == "-";
  std::vector<uint8_t> data;
  if (const int failed = read_standard_input(o.input, &data)) return failed;
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  JpegStatus status = jpeg_init(&job);
  if (status != JpegSuccess) return fail(o.input.c_str(), status, job);
  const int32_t memory = from_memory ? 1 : 0;
  job.file_name = o.input.c_str();
  job.jpeg_buffer = data.data();
  job.jpeg_buffer_size = static_cast<int32_t>(data.size());

  // The header tells the size and the channels.
  const int64_t max_mb = o.max_memory_mb > 0 ? o.max_memory_mb : default_max_memory_mb();
  job.properties.max_coef_megabytes = static_cast<int32_t>(max_mb < INT32_MAX ? max_mb : INT32_MAX);
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  job.threads = o.threads > 0 ? o.threads : static_cast<int32_t>(cores > 0 ? cores : 1);
  status = jpeg_read(&job, IoReadParamsFile + memory);
  if (status != JpegSuccess) {
    jpeg_free(&job);
    return fail(o.input.c_str(), status, job);
  }
  // The layout: as asked, or what the file and the output format hold (a
  // PGM is grey; a four-component file is CMYK in a PAM and RGB elsewhere).
  const OutputFormat format = output_format(o.output);
  std::string layout = o.layout;
  bool cmyk_as_rgb = false;
  if (layout.empty()) {
    layout = job.jpeg_channels == 1 ? "gray" : job.jpeg_channels == 4 ? "cmyk" : "rgb";
    if (format == OutputFormat::Pgm) layout = "gray";
    if (o.thumbnail) layout = "rgb";
    cmyk_as_rgb = layout == "cmyk" && format != OutputFormat::Pam;
  }
  const bool inverted_inks = job.properties.adobe_seen != 0;
  if ((format == OutputFormat::Pgm && layout != "gray" && layout != "ycbcr422") ||
      (format == OutputFormat::Ppm && layout != "rgb" && layout != "bgr" && !cmyk_as_rgb)) {
    std::fprintf(stderr,
                 "jpegdec: a %s holds %s pixels, not the layout %s (jpegdec --help tells more)\n",
                 format == OutputFormat::Pgm ? "PGM" : "PPM",
                 format == OutputFormat::Pgm ? "grey" : "RGB", layout.c_str());
    jpeg_free(&job);
    return 2;
  }
  int32_t channels = 3;
  if (layout == "gray") {
    job.out_color = ColorGray;
    channels = 1;
  } else if (layout == "rgb") {
    job.out_color = ColorRgb;
  } else if (layout == "bgr") {
    job.out_color = ColorBgr;
  } else if (layout == "rgba" || layout == "cmyk") {
    job.out_color = ColorFourChannel;
    channels = 4;
  } else if (layout == "ycbcr422") {
    job.out_color = ColorYcbcr;
    job.out_subsampling = Sub422;
    channels = 2;
  }
  job.out_channels = channels;

  int32_t width, height, type;
  if (o.thumbnail) {
    width = job.thumb_width;
    height = job.thumb_height;
    type = IoReadThumbnailFile + memory;
    if (width == 0 || height == 0) {
      std::fprintf(stderr, "jpegdec: %s has no thumbnail\n", o.input.c_str());
      jpeg_free(&job);
      return 1;
    }
  } else {
    width = (job.jpeg_width + o.scale - 1) / o.scale;
    height = (job.jpeg_height + o.scale - 1) / o.scale;
    type = o.scale == 1   ? IoReadImageFile
           : o.scale == 2 ? IoReadHalfFile
           : o.scale == 4 ? IoReadQuarterFile
                          : IoReadEighthFile;
    type += memory;
    if (o.roi) {
      const int32_t right = o.roi_box[2] < width ? o.roi_box[2] : width;
      const int32_t bottom = o.roi_box[3] < height ? o.roi_box[3] : height;
      if (o.roi_box[0] >= right || o.roi_box[1] >= bottom) {
        std::fprintf(stderr, "jpegdec: the region lies outside the %dx%d image\n", width, height);
        jpeg_free(&job);
        return 2;
      }
      job.properties.roi_left = o.roi_box[0];
      job.properties.roi_top = o.roi_box[1];
      job.properties.roi_right = right;
      job.properties.roi_bottom = bottom;
      width = right - o.roi_box[0];
      height = bottom - o.roi_box[1];
    }
  }
  const int32_t pixel_bytes = channels;
  const int64_t line = int64_t{width} * pixel_bytes + o.pad;
  const int64_t image_mb = (line * height + (1 << 20) - 1) >> 20;
  if (image_mb > max_mb) {
    std::fprintf(stderr,
                 "jpegdec: %s: the %dx%d image needs %lld MB, more than the %lld MB allowed "
                 "(--max-memory)\n",
                 o.input.c_str(), width, height, static_cast<long long>(image_mb),
                 static_cast<long long>(max_mb));
    jpeg_free(&job);
    return 1;
  }
  // Grey wherever the decode writes nothing (data missing from a damaged
  // file).
  std::vector<uint8_t> pixels;
  try {
    pixels.assign(static_cast<size_t>(line) * static_cast<size_t>(height), 128);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "jpegdec: %s: no memory for a %dx%d image\n", o.input.c_str(), width,
                 height);
    jpeg_free(&job);
    return 1;
  }
  job.out_pixels = pixels.data();
  job.out_width = width;
  job.out_height = o.bottom_up ? -height : height;
  job.out_pad = o.pad;
  if (o.fast_dct) job.properties.dct_family = 0;
  if (o.smooth && layout != "ycbcr422") job.properties.smooth_upsampling = 1;

  const bool bar = o.interrupt && isatty(STDERR_FILENO);
  ProgressBar progress;
  int64_t done = 0;
  do {
    if (o.interrupt) job.properties.interrupt_mode = 1;
    status = jpeg_read(&job, type);
    if (bar && status == JpegInterruptSuccess) {
      const JPEG_PROPERTIES& p = job.properties;
      done = int64_t{p.roi_top} * p.mcus_per_row + p.roi_left + 1;
      progress.show(done, int64_t{p.mcus_per_row} * p.mcu_rows);
    }
  } while (status == JpegInterruptSuccess);
  if (bar) {
    const int64_t total = int64_t{job.properties.mcus_per_row} * job.properties.mcu_rows;
    progress.show(status == JpegSuccess ? total : done, total, true);
    if (total <= 0) std::fputs("\n", stderr);
  }
  // What the file carries beside the image, kept past the job: its
  // orientation, and its colour profile for an output that can hold one.
  JpegMetadata metadata;
  int32_t orientation = 1;
  std::vector<uint8_t> icc;
  if (status != JpegInterruptSuccess && jpeg_metadata(&job, &metadata) == JpegSuccess) {
    orientation = metadata.orientation;
    if (metadata.icc != nullptr) icc.assign(metadata.icc, metadata.icc + metadata.icc_size);
  }
  jpeg_free(&job);
  int result = 0;
  if (status < 0) {
    result = fail(o.input.c_str(), status, job);
    if (refused(status) || o.strict) return result;
    std::fprintf(stderr, "jpegdec: %s: writing what could be decoded\n", o.input.c_str());
  }

  // Write the picture top-down, in RGB order.
  const uint8_t* first = pixels.data();
  ptrdiff_t stride = line;
  if (o.bottom_up) {
    first = pixels.data() + static_cast<size_t>(line) * (height - 1);
    stride = -line;
  }
  if (layout == "bgr") {
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = pixels.data() + static_cast<size_t>(y) * line;
      for (int32_t x = 0; x < width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
    }
  }
  if (cmyk_as_rgb) {
    cmyk_to_rgb(const_cast<uint8_t*>(first), stride, width, height, inverted_inks);
    channels = 3;
  }
  // Seen as a viewer shows it (a thumbnail and packed YCbCr keep their order).
  std::vector<uint8_t> turned;
  if (o.orient && orientation > 1 && !o.thumbnail && layout != "ycbcr422") {
    turned = oriented(first, stride, &width, &height, channels, orientation);
    first = turned.data();
    stride = static_cast<ptrdiff_t>(width) * channels;
  }
  uint32_t file_channels = static_cast<uint32_t>(channels),
           file_width = static_cast<uint32_t>(width);
  if (layout == "ycbcr422") {
    file_channels = 1;
    file_width = 2 * static_cast<uint32_t>(width);
  }
  const std::string& out = o.output;
  // Only a file this run creates is removed when writing it fails.
  struct stat before;
  const bool existed = out == "-" || stat(out.c_str(), &before) == 0;
  FILE* file = out == "-" ? stdout : std::fopen(out.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "jpegdec: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
    return 1;
  }
  bool ok;
  if (format != OutputFormat::Png) {
    const imageio::NetpbmKind kind = format == OutputFormat::Ppm   ? imageio::NetpbmKind::Ppm
                                     : format == OutputFormat::Pgm ? imageio::NetpbmKind::Pgm
                                                                   : imageio::NetpbmKind::Pam;
    ok = imageio::write_netpbm(file, out.c_str(), kind, first, file_width,
                               static_cast<uint32_t>(height), file_channels, stride,
                               layout == "cmyk" ? "CMYK" : "RGB_ALPHA");
  } else {
    // The profile describes RGB or grey pixels; not packed YCbCr samples.
    // (A CMYK file's profile describes its inks, not the RGB made of them.)
    const bool profile = !icc.empty() && layout != "ycbcr422" && !cmyk_as_rgb;
    ok = imageio::write_png(file, out.c_str(), first, file_width, static_cast<uint32_t>(height),
                            file_channels, stride, profile ? icc.data() : nullptr,
                            profile ? icc.size() : 0);
  }
  if (file != stdout) ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    if (!existed) std::remove(out.c_str());
    return 1;
  }
  return result;
}

int usage_error(const char* format, const char* value = "") {
  return cli::usage_error("jpegdec", format, value);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const char* info = nullptr;
  enum : int {
    kVersion = 256,
    kInfo,
    kScale,
    kRoi,
    kLayout,
    kPad,
    kBottomUp,
    kThumbnail,
    kFastDct,
    kFastUpsample,
    kInterrupt,
    kStrict,
    kNoOrient,
    kMaxMemory,
    kThreads
  };
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, kVersion},
                                    {"info", required_argument, nullptr, kInfo},
                                    {"scale", required_argument, nullptr, kScale},
                                    {"roi", required_argument, nullptr, kRoi},
                                    {"layout", required_argument, nullptr, kLayout},
                                    {"pad", required_argument, nullptr, kPad},
                                    {"bottom-up", no_argument, nullptr, kBottomUp},
                                    {"thumbnail", no_argument, nullptr, kThumbnail},
                                    {"fast-dct", no_argument, nullptr, kFastDct},
                                    {"fast-upsample", no_argument, nullptr, kFastUpsample},
                                    {"interrupt", no_argument, nullptr, kInterrupt},
                                    {"strict", no_argument, nullptr, kStrict},
                                    {"no-orient", no_argument, nullptr, kNoOrient},
                                    {"max-memory", required_argument, nullptr, kMaxMemory},
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
        return cli::print_version("jpegdec", JPEGCODEC_PACKAGE_VERSION);
      case kInfo:
        info = optarg;
        break;
      case kScale:
        if (value != "1" && value != "2" && value != "4" && value != "8") {
          return usage_error("--scale takes 1, 2, 4 or 8, not \"%s\"", optarg);
        }
        o.scale = std::atoi(value.c_str());
        break;
      case kRoi:
        if (!parse_roi(optarg, o.roi_box)) {
          return usage_error(
              "--roi takes L,T,R,B (whole numbers up to 65535) with L < R and T < B, not \"%s\"",
              optarg);
        }
        o.roi = true;
        break;
      case kLayout:
        o.layout = value;
        if (o.layout != "gray" && o.layout != "rgb" && o.layout != "bgr" && o.layout != "rgba" &&
            o.layout != "cmyk" && o.layout != "ycbcr422") {
          return usage_error("unknown layout \"%s\"", optarg);
        }
        break;
      case kPad:
        if (!parse_int(optarg, &o.pad)) {
          return usage_error("--pad takes a number of bytes up to 65535, not \"%s\"", optarg);
        }
        break;
      case kBottomUp:
        o.bottom_up = true;
        break;
      case kThumbnail:
        o.thumbnail = true;
        break;
      case kFastDct:
        o.fast_dct = true;
        break;
      case kFastUpsample:
        o.smooth = false;
        break;
      case kInterrupt:
        o.interrupt = true;
        break;
      case kStrict:
        o.strict = true;
        break;
      case kNoOrient:
        o.orient = false;
        break;
      case kMaxMemory: {
        char* end = nullptr;
        const long long mb = std::strtoll(optarg, &end, 10);
        if (end == optarg || *end != '\0' || mb < 1 || mb > (1LL << 40)) {
          return usage_error("--max-memory takes a number of megabytes, not \"%s\"", optarg);
        }
        o.max_memory_mb = mb;
        break;
      }
      case kThreads: {
        char* end = nullptr;
        const long n = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || n < 1 || n > 1024) {
          return usage_error("--threads takes a number of threads, 1 to 1024, not \"%s\"", optarg);
        }
        o.threads = static_cast<int32_t>(n);
        break;
      }
      default:
        return cli::option_error("jpegdec", c, argv[optind - 1]);
    }
  }
  if (info != nullptr) {
    if (optind != argc) return usage_error("--info takes one FILE and nothing else");
    return print_info(info);
  }
  if (argc - optind != 2) return usage_error("expected INPUT and OUTPUT (or --info FILE)");
  o.input = argv[optind];
  o.output = argv[optind + 1];
  if (output_format(o.output) == OutputFormat::Unknown) {
    const size_t dot = o.output.rfind('.');
    const std::string ext = dot == std::string::npos ? o.output : o.output.substr(dot);
    return usage_error("writes PNG (.png), PPM (.ppm), PGM (.pgm) and PAM (.pam), not \"%s\"",
                       ext.c_str());
  }
  return decode(o);
}
