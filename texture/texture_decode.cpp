// Decoding a JPEG file into the knot's texture image, through jpegcodec.

#include <cstring>
#include <new>

#include "jpegcodec.h"
#include "knot_texture.h"

namespace {

// Images beyond this many pixels are refused: a texture is scaled down to
// the GL's size limit anyway, and a hostile header must not claim gigabytes.
constexpr int64_t kMaxTexturePixels = int64_t{1} << 28;

// Statuses of a read that wrote a whole image nonetheless: what the data
// held, grey where they were missing or broken.
bool comes_with_image(JpegStatus status) {
  return status == JpegSuccess || status == JpegEofError || status == JpegBadRstMarker;
}

}  // namespace

void KnotTexture::swap_red_blue(uint8_t* image, int32_t w, int32_t h, uint32_t row_bytes) {
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = image + static_cast<size_t>(y) * row_bytes;
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t blue = row[3 * x];
      row[3 * x] = row[3 * x + 2];
      row[3 * x + 2] = blue;
    }
  }
}

const char* KnotTexture::decode_file(const char* path, bool* replaced) {
  if (replaced != nullptr) *replaced = false;
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  JpegStatus status = jpeg_init(&job);
  if (status != JpegSuccess) return jpeg_status_text(status);
  job.file_name = path;
  status = jpeg_read(&job, IoReadParamsFile);
  if (status != JpegSuccess) {
    jpeg_free(&job);
    return jpeg_status_text(status);
  }
  // The colour set-up: grey stays grey, YCbCr becomes blue-green-red (turned
  // into red-green-blue below), anything else passes through.
  if (job.jpeg_channels == 1) {
    job.jpeg_color = ColorGray;
    job.out_channels = 1;
    job.out_color = ColorGray;
  } else if (job.jpeg_channels == 3) {
    job.jpeg_color = ColorYcbcr;
    job.out_channels = 3;
    job.out_color = ColorBgr;
  } else {
    job.jpeg_color = ColorOther;
    job.out_channels = job.jpeg_channels;
    job.out_color = ColorOther;
  }
  job.out_width = job.jpeg_width;
  job.out_height = job.jpeg_height;
  const uint32_t row_bytes = static_cast<uint32_t>(job.out_width) * job.out_channels;
  const uint32_t padded = (row_bytes + 3u) & ~3u;
  job.out_pad = static_cast<int32_t>(padded - row_bytes);
  if (int64_t{job.out_width} * job.out_height > kMaxTexturePixels) {
    jpeg_free(&job);
    return "Image too large for a texture";
  }
  std::unique_ptr<uint8_t[]> image(new (std::nothrow)
                                       uint8_t[static_cast<size_t>(padded) * job.out_height + 1]);
  if (!image) {
    jpeg_free(&job);
    return jpeg_status_text(JpegMemoryError);
  }
  job.out_pixels = image.get();
  status = jpeg_read(&job, IoReadImageFile);
  const JpegStatus freed = jpeg_free(&job);
  if (!comes_with_image(status)) return jpeg_status_text(status);
  if (job.out_color == ColorBgr) swap_red_blue(image.get(), job.out_width, job.out_height, padded);
  set_image(std::move(image), job.out_width, job.out_height, job.out_channels);
  if (replaced != nullptr) *replaced = true;
  if (status != JpegSuccess) return jpeg_status_text(status);
  // The image is whole; only closing the file failed.
  if (freed != JpegSuccess) return jpeg_status_text(freed);
  return nullptr;
}
