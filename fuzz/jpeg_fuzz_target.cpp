// One fuzz input: the codec reads it every way a caller can, from memory
// and from a file, and reads it again in a sequence on one job. Nothing may
// crash or touch memory out of bounds; every read ends with a status. A
// caught fault (-1) means the codec went astray: the guard would hide it from
// the fuzzer, so it aborts here.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "jpegcodec.h"

namespace {

// Output images above this many pixels are not allocated for the image reads.
constexpr int64_t kMaxPixels = 1 << 18;

JpegStatus checked(JpegStatus status) {
  if (status == JpegExceptionDetected) {
    std::fputs("the codec caught a fault of its own (-1)\n", stderr);
    abort();
  }
  return status;
}

char g_path[64] = "";

void remove_input_file() {
  unlink(g_path);
}

// The input also as a file, for the file reads (removed at exit).
const char* input_file(const uint8_t* data, size_t size) {
  char* path = g_path;
  if (path[0] == '\0') {
    std::snprintf(g_path, sizeof g_path, "/tmp/jpeg-fuzz-%d.jpg", getpid());
    atexit(remove_input_file);
  }
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return nullptr;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written ? path : nullptr;
}

struct Read {
  int32_t type;
  int32_t out_color, out_channels;
  int32_t roi[4];
  bool interrupt;
};

// One read on `job` (whose parameters are known), with an image buffer
// sized from them; an interrupted read is resumed to its end.
void image_read(JpegJob& job, const Read& r) {
  const int scale = r.type >= IoReadHalfFile && r.type <= IoReadEighthBuffer
                        ? 2 << ((r.type - IoReadHalfFile) / 2)
                        : 1;
  const int64_t width = job.jpeg_width > 0 ? (job.jpeg_width + scale - 1) / scale : 1;
  const int64_t height = job.jpeg_height > 0 ? (job.jpeg_height + scale - 1) / scale : 1;
  if (width * height > kMaxPixels) return;
  std::vector<uint8_t> pixels(static_cast<size_t>(width * height * r.out_channels), 0);
  job.out_pixels = pixels.data();
  job.out_width = static_cast<int32_t>(width);
  job.out_height = static_cast<int32_t>(height);
  job.out_color = r.out_color;
  job.out_channels = r.out_channels;
  std::memcpy(&job.properties.roi_left, r.roi, sizeof r.roi);
  for (int calls = 0; calls < 1 << 20; ++calls) {
    job.properties.interrupt_mode = r.interrupt ? 1 : 0;
    if (checked(jpeg_read(&job, r.type)) != JpegInterruptSuccess) break;
  }
  job.out_pixels = nullptr;
}

void read_fresh(const uint8_t* data, size_t size, const char* file, const Read& r) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) != JpegSuccess) return;
  job.jpeg_buffer = const_cast<uint8_t*>(data);
  job.jpeg_buffer_size = static_cast<int32_t>(size);
  job.file_name = file;
  uint8_t comment[64];
  job.properties.jpeg_comment = comment;
  job.properties.jpeg_comment_size = sizeof comment;
  const int32_t from_file = r.type % 2 == 0 ? 1 : 0;
  if (checked(jpeg_read(&job, IoReadParamsBuffer - from_file)) == JpegSuccess &&
      r.type != IoReadParamsBuffer) {
    image_read(job, r);
  }
  checked(jpeg_free(&job));
}

// What the input decodes to, written again with settings the input's first
// bytes choose (quality, sampling, grey, tables, progressive, restarts):
// every file the encoder writes must read back whole.
void round_trip(const uint8_t* data, size_t size) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) != JpegSuccess) return;
  job.jpeg_buffer = const_cast<uint8_t*>(data);
  job.jpeg_buffer_size = static_cast<int32_t>(size);
  std::vector<uint8_t> pixels;
  const bool decoded = checked(jpeg_read(&job, IoReadParamsBuffer)) == JpegSuccess &&
                       int64_t{job.jpeg_width} * job.jpeg_height <= kMaxPixels;
  if (decoded) {
    pixels.assign(static_cast<size_t>(job.jpeg_width) * job.jpeg_height * 3, 0);
    job.out_pixels = pixels.data();
    job.out_width = job.jpeg_width;
    job.out_height = job.jpeg_height;
    job.out_channels = 3;
    job.out_color = ColorRgb;
  }
  const bool whole = decoded && checked(jpeg_read(&job, IoReadImageBuffer)) == JpegSuccess;
  const int32_t width = job.jpeg_width, height = job.jpeg_height;
  checked(jpeg_free(&job));
  if (!whole || width < 1 || height < 1) return;
  const uint8_t a = data[size / 2], b = data[size - 1];
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) != JpegSuccess) return;
  job.out_pixels = pixels.data();
  job.out_width = job.jpeg_width = width;
  job.out_height = (b & 64) != 0 ? -height : height;
  job.jpeg_height = height;
  job.out_channels = 3;
  job.out_color = (b & 128) != 0 ? ColorBgr : ColorRgb;
  const bool grey = (a & 3) == 3;
  job.jpeg_color = grey ? ColorGray : ColorYcbcr;
  job.jpeg_channels = grey ? 1 : 3;
  job.jpeg_subsampling = grey ? Sub444 : a % 3;
  job.quality = 1 + a % 100;
  job.write_optimize = b & 1;
  job.write_progressive = (b >> 1) & 1;
  job.write_restart_interval = (b >> 2) & 7;
  job.properties.dct_family = (b >> 5) & 1;
  std::vector<uint8_t> out(pixels.size() * 2 + 65536);
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  const JpegStatus written = checked(jpeg_write(&job, IoWriteImageBuffer));
  const int32_t bytes = job.jpeg_buffer_size;
  checked(jpeg_free(&job));
  if (written != JpegSuccess) abort();
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) != JpegSuccess) return;
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = bytes;
  std::vector<uint8_t> back(static_cast<size_t>(width) * height * 3);
  job.out_pixels = back.data();
  job.out_width = width;
  job.out_height = height;
  job.out_channels = 3;
  job.out_color = ColorRgb;
  if (checked(jpeg_read(&job, IoReadImageBuffer)) != JpegSuccess) abort();
  checked(jpeg_free(&job));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  const char* file = input_file(data, size);
  const Read reads[] = {
      {IoReadImageBuffer, ColorBgr, 3, {}, false},
      {IoReadImageBuffer, ColorGray, 1, {}, false},
      {IoReadImageFile, ColorRgb, 3, {}, false},
      {IoReadHalfBuffer, ColorRgb, 3, {}, false},
      {IoReadEighthFile, ColorFourChannel, 4, {}, false},
      {IoReadImageBuffer, ColorRgb, 3, {5, 3, 40, 30}, false},
      {IoReadImageBuffer, ColorRgb, 3, {}, true},
      {IoReadThumbnailBuffer, ColorRgb, 3, {}, false},
  };
  for (const Read& r : reads) {
    if (r.type % 2 == 0 && file == nullptr) continue;
    read_fresh(data, size, file, r);
  }
  // A sequence on one job: tables, then the reads above again from both
  // sources, regions seeking through what earlier reads left.
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) == JpegSuccess) {
    job.jpeg_buffer = const_cast<uint8_t*>(data);
    job.jpeg_buffer_size = static_cast<int32_t>(size);
    job.file_name = file;
    checked(jpeg_read(&job, IoReadTablesBuffer));
    if (checked(jpeg_read(&job, IoReadParamsBuffer)) == JpegSuccess) {
      const Read sequence[] = {
          {IoReadImageBuffer, ColorRgb, 3, {0, 8, 24, 40}, false},
          {IoReadImageBuffer, ColorRgb, 3, {16, 0, 0, 16}, true},
          {IoReadAbbreviatedBuffer, ColorGray, 1, {}, false},
          {IoReadQuarterBuffer, ColorBgr, 3, {2, 2, 9, 9}, false},
          {IoReadImageFile, ColorRgb, 3, {8, 8, 16, 16}, false},
      };
      for (const Read& r : sequence) {
        if (r.type % 2 == 0 && file == nullptr) continue;
        image_read(job, r);
      }
    }
    checked(jpeg_free(&job));
  }
  round_trip(data, size);
  return 0;
}
