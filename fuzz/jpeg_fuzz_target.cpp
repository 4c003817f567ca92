// One fuzz input: the codec reads it as every kind of memory input. Nothing
// may crash or touch memory out of bounds; every read ends with a status.

#include <cstdint>
#include <cstring>
#include <vector>

#include "jpeg/api/jpegcodec.h"

namespace {

// Output images above this many pixels are not allocated for the image reads.
constexpr int64_t kMaxPixels = 1 << 18;

void read_as(const uint8_t* data, size_t size, int32_t type, int32_t out_color,
             int32_t out_channels) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (jpeg_init(&job) != JpegSuccess) return;
  job.jpeg_buffer = const_cast<uint8_t*>(data);
  job.jpeg_buffer_size = static_cast<int32_t>(size);
  uint8_t comment[64];
  job.properties.jpeg_comment = comment;
  job.properties.jpeg_comment_size = sizeof comment;
  std::vector<uint8_t> pixels;
  if (jpeg_read(&job, IoReadParamsBuffer) == JpegSuccess && type != IoReadParamsBuffer) {
    const int64_t width = job.jpeg_width > 0 ? job.jpeg_width : 1;
    const int64_t height = job.jpeg_height > 0 ? job.jpeg_height : 1;
    if (width * height <= kMaxPixels) {
      job.out_width = static_cast<int32_t>(width);
      job.out_height = static_cast<int32_t>(height);
      job.out_color = out_color;
      job.out_channels = out_channels;
      if (job.jpeg_color == ColorGray && out_color != ColorGray) job.jpeg_color = ColorYcbcr;
      pixels.assign(static_cast<size_t>(width * height * out_channels), 0);
      job.out_pixels = pixels.data();
      jpeg_read(&job, type);
    }
  }
  jpeg_free(&job);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  read_as(data, size, IoReadParamsBuffer, ColorBgr, 3);
  read_as(data, size, IoReadImageBuffer, ColorBgr, 3);
  read_as(data, size, IoReadImageBuffer, ColorGray, 1);
  read_as(data, size, IoReadHalfBuffer, ColorRgb, 3);
  read_as(data, size, IoReadThumbnailBuffer, ColorRgb, 3);
  // A tables read followed by an abbreviated read on the same data.
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (jpeg_init(&job) == JpegSuccess) {
    job.jpeg_buffer = const_cast<uint8_t*>(data);
    job.jpeg_buffer_size = static_cast<int32_t>(size);
    jpeg_read(&job, IoReadTablesBuffer);
    jpeg_free(&job);
  }
  return 0;
}
