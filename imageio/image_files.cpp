#include "image_files.h"

#if KNOT_HAVE_PNG
#include <png.h>
#endif

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace imageio {

#if KNOT_HAVE_PNG
namespace {

// libpng reports errors through longjmp; keep the jump inside this plain
// function, which owns nothing but the FILE and the libpng structures.
bool write_rows(FILE* file, const uint8_t* pixels, uint32_t width, uint32_t height,
                uint32_t channels, ptrdiff_t stride, const uint8_t* icc, size_t icc_size) {
  // libpng's warnings (a profile it will not embed, say) are not the user's
  // concern: the image is written all the same.
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr,
                                            [](png_structp, png_const_charp) {});
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  static const int kColorType[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                   PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, kColorType[channels], PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (icc != nullptr && icc_size > 0 && icc_size <= 0xFFFFFFFFu) {
    // A profile libpng finds broken (its header's size not its size, a
    // colour space the image does not have) is left out, with a warning.
    png_set_benign_errors(png, 1);
    png_set_iCCP(png, info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE, icc,
                 static_cast<png_uint_32>(icc_size));
  }
  png_write_info(png, info);
  for (uint32_t y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(pixels + static_cast<ptrdiff_t>(y) * stride));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

#endif

bool png_supported() {
#if KNOT_HAVE_PNG
  return true;
#else
  return false;
#endif
}

bool write_png(FILE* file, const char* name, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride, const uint8_t* icc, size_t icc_size) {
  if (channels < 1 || channels > 4 || width == 0 || height == 0 || pixels == nullptr) {
    std::fprintf(stderr, "%s: nothing to write (empty image)\n", name);
    return false;
  }
#if KNOT_HAVE_PNG
  if (!write_rows(file, pixels, width, height, channels, stride, icc, icc_size)) {
    std::fprintf(stderr, "%s: could not write the PNG image\n", name);
    return false;
  }
  return true;
#else
  (void)file;
  (void)stride;
  (void)icc;
  (void)icc_size;
  std::fprintf(stderr,
               "%s: this build has no PNG support (libpng was not found): use PPM, PGM or PAM\n",
               name);
  return false;
#endif
}

bool write_png(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
               uint32_t channels, ptrdiff_t stride) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
    return false;
  }
  bool ok = write_png(file, path, pixels, width, height, channels, stride, nullptr, 0);
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) std::remove(path);
  return ok;
}

bool write_netpbm(FILE* file, const char* name, NetpbmKind kind, const uint8_t* pixels,
                  uint32_t width, uint32_t height, uint32_t channels, ptrdiff_t stride,
                  const char* four_channels) {
  const char* kTupleTypes[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", four_channels};
  if ((kind == NetpbmKind::Pgm && channels != 1) || (kind == NetpbmKind::Ppm && channels != 3) ||
      channels < 1 || channels > 4) {
    std::fprintf(stderr, "%s: %u channels do not fit this format\n", name, channels);
    return false;
  }
  int ok;
  if (kind == NetpbmKind::Pam) {
    ok = std::fprintf(file, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH %u\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n",
                      width, height, channels, kTupleTypes[channels]);
  } else {
    ok = std::fprintf(file, "%s\n%u %u\n255\n", kind == NetpbmKind::Pgm ? "P5" : "P6", width,
                      height);
  }
  for (uint32_t y = 0; ok > 0 && y < height; ++y) {
    const size_t bytes = static_cast<size_t>(width) * channels;
    if (std::fwrite(pixels + static_cast<ptrdiff_t>(y) * stride, 1, bytes, file) != bytes) ok = 0;
  }
  if (ok <= 0 || std::fflush(file) != 0) {
    std::fprintf(stderr, "%s: %s\n", name, std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace imageio

namespace imageio {

namespace {

#if KNOT_HAVE_PNG
// ---- PNG ------------------------------------------------------------------------

constexpr uint32_t kMaxSide = 65535;

// The most an image read here may take at once: half the machine's memory.
uint64_t memory_limit() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return uint64_t{1} << 32;
  return uint64_t(pages) * uint64_t(page) / 2;
}

struct MemoryReader {
  const std::vector<uint8_t>* data;
  size_t at;
  char problem[128];  // libpng's words for what is wrong with the file
};

// libpng's errors become the reader's message (it prints nothing itself);
// its warnings about valid files are not the user's concern.
void on_png_error(png_structp png, png_const_charp message) {
  auto* reader = static_cast<MemoryReader*>(png_get_error_ptr(png));
  std::snprintf(reader->problem, sizeof reader->problem, "%s", message);
  png_longjmp(png, 1);
}
void on_png_warning(png_structp, png_const_charp) {}

void read_from_memory(png_structp png, png_bytep out, png_size_t count) {
  auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (count > reader->data->size() - reader->at) png_error(png, "the file ends early");
  std::memcpy(out, reader->data->data() + reader->at, count);
  reader->at += count;
}

// libpng's longjmp stays inside this function, which owns only libpng's
// structures (the image's vector is the caller's).
bool read_png(const std::vector<uint8_t>& data, Image* image, std::string* error) {
  MemoryReader reader{&data, 0, ""};
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, on_png_error, on_png_warning);
  if (png == nullptr) {
    *error = "out of memory";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  // Declared before the jump target: a jump back leaves it to be destroyed
  // on the way out.
  std::vector<png_bytep> rows;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error =
        reader.problem[0] != '\0' ? std::string("damaged PNG: ") + reader.problem : "damaged PNG";
    return false;
  }
  png_set_read_fn(png, &reader, read_from_memory);
  png_read_info(png, info);
  // Everything as 8-bit grey or RGB, with alpha where the file has it;
  // interlaced files de-interlaced by libpng.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_packing(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  image->width = png_get_image_width(png, info);
  image->height = png_get_image_height(png, info);
  image->channels = png_get_channels(png, info);
  const size_t line = png_get_rowbytes(png, info);
  if (image->channels < 1 || image->channels > 4 ||
      line != size_t{image->width} * image->channels) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = "unsupported PNG layout";
    return false;
  }
  // The size a header claims is checked before anything is allocated for it.
  if (image->width > kMaxSide || image->height > kMaxSide) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = "the PNG is " + std::to_string(image->width) + "x" + std::to_string(image->height) +
             "; a JPEG holds at most 65535 pixels a side";
    return false;
  }
  const uint64_t bytes = uint64_t{line} * image->height;
  if (passes > 1 && bytes > memory_limit()) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = "the PNG claims " + std::to_string(image->width) + "x" +
             std::to_string(image->height) + " pixels, more than half this machine's memory";
    return false;
  }
  if (passes > 1) {
    // An interlaced image comes in passes over the whole picture.
    image->pixels.resize(bytes);
    rows.resize(image->height);
    for (uint32_t y = 0; y < image->height; ++y) rows[y] = image->pixels.data() + line * y;
    png_read_image(png, rows.data());
  } else {
    // Rows as the data give them: a small file that claims a huge image
    // fails where its data end, having taken only the memory its rows need.
    for (uint32_t y = 0; y < image->height; ++y) {
      // Room for 64 rows first; once they came, for the whole image (a
      // file that claims more than half the machine's memory is refused
      // there), so that no copy of a half-read image is ever made.
      if (y == 0) image->pixels.reserve(std::min<uint64_t>(bytes, line * 64));
      if (y == 64) {
        if (bytes > memory_limit()) png_error(png, "more pixels than half this machine's memory");
        image->pixels.reserve(bytes);
      }
      image->pixels.resize(line * (y + 1));
      png_read_row(png, image->pixels.data() + line * y, nullptr);
    }
  }
  // What the file carries beside the pixels: the colour profile (before
  // the image data) and the EXIF block (before or after them).
  png_read_end(png, info);
  png_charp profile_name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profile_size = 0;
  if (png_get_iCCP(png, info, &profile_name, &compression, &profile, &profile_size) != 0) {
    image->icc.assign(profile, profile + profile_size);
  }
#ifdef PNG_eXIf_SUPPORTED
  png_bytep exif = nullptr;
  png_uint_32 exif_size = 0;
  if (png_get_eXIf_1(png, info, &exif_size, &exif) != 0) image->exif.assign(exif, exif + exif_size);
#endif
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

#endif

// ---- netpbm ---------------------------------------------------------------------

struct Cursor {
  const uint8_t* data;
  size_t size;
  size_t at;
  bool at_end() const { return at >= size; }
  // Skips white space and comments (# to the end of the line).
  void skip_space() {
    while (!at_end()) {
      const uint8_t c = data[at];
      if (c == '#') {
        while (!at_end() && data[at] != '\n') ++at;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++at;
      } else {
        return;
      }
    }
  }
  bool number(uint32_t* value) {
    skip_space();
    uint64_t n = 0;
    const size_t start = at;
    while (!at_end() && data[at] >= '0' && data[at] <= '9' && n <= 0xFFFFFFFFu) {
      n = n * 10 + (data[at++] - '0');
    }
    if (at == start || n > 0xFFFFFFFFu) return false;
    *value = static_cast<uint32_t>(n);
    return true;
  }
  std::string word() {
    skip_space();
    std::string text;
    while (!at_end() && data[at] > ' ') text += static_cast<char>(data[at++]);
    return text;
  }
};

// The header of a netpbm image of `size` bytes: size, channels and where
// the samples start (image->offset); *maxval their largest value.
bool read_netpbm_header(const uint8_t* data, size_t size, Image* image, uint32_t* maxval_out,
                        std::string* error) {
  Cursor in{data, size, 2};
  const char kind = static_cast<char>(data[1]);
  uint32_t maxval = 0;
  if (kind == '5' || kind == '6') {
    image->channels = kind == '5' ? 1 : 3;
    if (!in.number(&image->width) || !in.number(&image->height) || !in.number(&maxval)) {
      *error = "damaged netpbm header";
      return false;
    }
    ++in.at;  // the one white-space byte before the samples
  } else {
    // PAM: "KEY value" lines up to ENDHDR.
    std::string tuple_type;
    for (;;) {
      const std::string key = in.word();
      if (key == "ENDHDR" || key.empty()) break;
      if (key == "TUPLTYPE") {
        tuple_type = in.word();
        continue;
      }
      uint32_t value = 0;
      if (!in.number(&value)) break;
      if (key == "WIDTH") image->width = value;
      if (key == "HEIGHT") image->height = value;
      if (key == "DEPTH") image->channels = value;
      if (key == "MAXVAL") maxval = value;
    }
    while (!in.at_end() && data[in.at] != '\n') ++in.at;
    ++in.at;
    image->cmyk = tuple_type == "CMYK";
  }
  if (image->width == 0 || image->height == 0 || image->channels < 1 || image->channels > 4 ||
      maxval < 1 || maxval > 65535) {
    *error = "unsupported netpbm image (size, depth or maxval)";
    return false;
  }
  const size_t bytes_per_sample = maxval > 255 ? 2 : 1;
  const uint64_t samples = uint64_t{image->width} * image->height * image->channels;
  if (in.at > size || samples * bytes_per_sample > size - in.at) {
    *error = "the netpbm file ends early";
    return false;
  }
  image->offset = in.at;
  *maxval_out = maxval;
  return true;
}

bool read_netpbm(const std::vector<uint8_t>& data, Image* image, std::string* error,
                 std::vector<uint8_t>* take = nullptr) {
  uint32_t maxval = 0;
  if (!read_netpbm_header(data.data(), data.size(), image, &maxval, error)) return false;
  const size_t bytes_per_sample = maxval > 255 ? 2 : 1;
  const uint64_t samples = uint64_t{image->width} * image->height * image->channels;
  if (take != nullptr && maxval == 255) {
    // The samples are the file's bytes after the header.
    image->pixels = std::move(*take);
    return true;
  }
  const uint8_t* from = data.data() + image->offset;
  image->offset = 0;
  image->pixels.resize(samples);
  for (uint64_t i = 0; i < samples; ++i) {
    uint32_t value = bytes_per_sample == 2 ? (from[2 * i] << 8 | from[2 * i + 1]) : from[i];
    if (value > maxval) value = maxval;
    image->pixels[i] =
        static_cast<uint8_t>(maxval == 255 ? value : (value * 255 + maxval / 2) / maxval);
  }
  return true;
}

}  // namespace

bool read_whole_file(const std::string& name, std::vector<uint8_t>* data) {
  FILE* in = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (in == nullptr) return false;
  // A regular file is read at once into room of its size; a pipe in pieces.
  struct stat info;
  if (fstat(fileno(in), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const size_t size = static_cast<size_t>(info.st_size);
    data->resize(size);
    data->resize(std::fread(data->data(), 1, size, in));
  }
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
    data->insert(data->end(), chunk, chunk + n);
  const bool ok = !std::ferror(in);
  if (in != stdin) std::fclose(in);
  return ok;
}

bool write_whole_file(const char* tool, const std::string& name, const uint8_t* bytes,
                      size_t size) {
  const bool to_stdout = name == "-";
  // Only a file this call creates is removed when writing it fails.
  FILE* probe = to_stdout ? nullptr : std::fopen(name.c_str(), "rb");
  const bool existed = probe != nullptr;
  if (probe != nullptr) std::fclose(probe);
  FILE* file = to_stdout ? stdout : std::fopen(name.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", tool, name.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(bytes, 1, size, file) == size;
  ok = (to_stdout ? std::fflush(file) == 0 : std::fclose(file) == 0) && ok;
  if (!ok) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", tool, name.c_str(), std::strerror(errno));
    if (!existed && !to_stdout) std::remove(name.c_str());
  }
  return ok;
}

bool read_image(const std::vector<uint8_t>& data, Image* image, std::string* error) {
  *image = Image{};
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (data.size() >= 8 && std::memcmp(data.data(), kPngSignature, 8) == 0) {
#if KNOT_HAVE_PNG
    return read_png(data, image, error);
#else
    *error = "a PNG image, and this build has no PNG support (libpng was not found)";
    return false;
#endif
  }
  if (data.size() >= 3 && data[0] == 'P' && (data[1] == '5' || data[1] == '6' || data[1] == '7')) {
    return read_netpbm(data, image, error);
  }
  *error = "not a PNG, PGM, PPM or PAM image";
  return false;
}

bool read_image_file(const std::string& name, Image* image, std::string* error) {
  *image = Image{};
  if (name != "-") {
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = std::string("cannot be read (") + std::strerror(errno) + ")";
      return false;
    }
    struct stat info;
    void* map = MAP_FAILED;
    size_t size = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 16) {
      size = static_cast<size_t>(info.st_size);
      map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    }
    close(fd);
    if (map != MAP_FAILED) {
      const auto* bytes = static_cast<const uint8_t*>(map);
      uint32_t maxval = 0;
      std::string header_error;
      if (bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6' || bytes[1] == '7') &&
          read_netpbm_header(bytes, size, image, &maxval, &header_error) && maxval == 255) {
        image->mapped = std::shared_ptr<const uint8_t>(
            bytes, [size](const uint8_t* at) { munmap(const_cast<uint8_t*>(at), size); });
        return true;
      }
      munmap(map, size);
      *image = Image{};
    }
  }
  std::vector<uint8_t> data;
  if (!read_whole_file(name, &data)) {
    *error = std::string("cannot be read (") + std::strerror(errno) + ")";
    return false;
  }
  return read_image(std::move(data), image, error);
}

bool read_image(std::vector<uint8_t>&& data, Image* image, std::string* error) {
  if (data.size() >= 3 && data[0] == 'P' && (data[1] == '5' || data[1] == '6' || data[1] == '7')) {
    *image = Image{};
    return read_netpbm(data, image, error, &data);
  }
  return read_image(static_cast<const std::vector<uint8_t>&>(data), image, error);
}

}  // namespace imageio
