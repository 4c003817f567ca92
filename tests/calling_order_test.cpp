// The documented calling orders on one job (parameters then image, tables
// then an abbreviated image), sample output, and the colour rule of frames
// whose components come in separate scans.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/jpeg_test_util.h"

namespace {

// `data` with `segments` inserted right after its SOI marker.
std::vector<uint8_t> after_soi(const std::vector<uint8_t>& data, const JpegBuilder& segments) {
  std::vector<uint8_t> out = segments.data;
  out.insert(out.begin(), {0xFF, 0xD8});
  out.insert(out.end(), data.begin() + 2, data.end());
  return out;
}

// Sets up `job` for an image of width x height, `channels` bytes a pixel.
void request_image(JpegJob& job, std::vector<uint8_t>& pixels, int32_t width, int32_t height,
                   int32_t channels = 3, int32_t color = ColorRgb) {
  pixels.assign(static_cast<size_t>(width) * height * channels, 0xEE);
  job.out_pixels = pixels.data();
  job.out_width = width;
  job.out_height = height;
  job.out_channels = channels;
  job.out_color = color;
  job.out_pad = 0;
}

// The whole image of `data` read on a new job at 1/scale, RGB.
std::vector<uint8_t> fresh_read(const std::vector<uint8_t>& data, int scale, JpegStatus* status) {
  BufferJob job(data);
  EXPECT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<uint8_t> pixels;
  request_image(job.job, pixels, (job.job.jpeg_width + scale - 1) / scale,
                (job.job.jpeg_height + scale - 1) / scale);
  *status = job.read(scaled_read_type(scale));
  return pixels;
}

TEST(CallingOrder, ParametersThenImageKeepTheCommentTheParameterReadLeft) {
  const std::vector<uint8_t> plain = read_file(test_data("generated/gray.jpg"));
  const std::vector<uint8_t> two_comments =
      after_soi(plain, JpegBuilder().com("0123456789").com("abcde"));
  const std::vector<uint8_t> long_comment = after_soi(plain, JpegBuilder().com("0123456789"));
  struct Case {
    const char* name;
    const std::vector<uint8_t>* data;
    const char* comment;  // what the parameter read leaves
    int capacity;         // the caller's buffer
    bool zero_between;    // the caller sets the size to 0 between the reads
  };
  const Case cases[] = {{"two comments", &two_comments, "abcde", 64, false},
                        {"two comments, size 0 between", &two_comments, "abcde", 64, true},
                        {"one comment, room for it", &long_comment, "0123456789", 10, true}};
  for (const Case& c : cases) {
    for (bool from_file : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (from_file ? " from a file" : " from a buffer"));
      TempFile file(*c.data);
      BufferJob job(*c.data);
      job.job.file_name = file.path.c_str();
      uint8_t comment[64] = {};
      job.job.properties.jpeg_comment = comment;
      job.job.properties.jpeg_comment_size = static_cast<uint16_t>(c.capacity);
      ASSERT_EQ(job.read(from_file ? IoReadParamsFile : IoReadParamsBuffer), JpegSuccess);
      const size_t length = strlen(c.comment);
      ASSERT_EQ(job.job.properties.jpeg_comment_size, length);
      if (c.zero_between) job.job.properties.jpeg_comment_size = 0;
      std::vector<uint8_t> pixels;
      request_image(job.job, pixels, 320, 240, 1, ColorGray);
      EXPECT_EQ(job.read(from_file ? IoReadImageFile : IoReadImageBuffer), JpegSuccess);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(comment), length), c.comment);
      EXPECT_EQ(job.job.properties.jpeg_comment_size, c.zero_between ? 0u : length);
      // The image is the one a new job decodes.
      JpegStatus status = 0;
      const std::vector<uint8_t> rgb = fresh_read(*c.data, 1, &status);
      ASSERT_EQ(status, JpegSuccess);
      for (size_t i = 0; i < pixels.size(); i += 997) ASSERT_EQ(pixels[i], rgb[3 * i]);
    }
  }
}

// A tables-only stream and an abbreviated image made from `source`, and
// the same image as one whole file.
struct Abbreviated {
  std::vector<uint8_t> tables, image, whole;
};

Abbreviated abbreviate(const char* name) {
  JpegStatus status = 0;
  const std::vector<uint8_t> source = read_file(test_data(name));
  std::vector<uint8_t> rgb = fresh_read(source, 1, &status);
  BufferJob probe(source);
  probe.read(IoReadParamsBuffer);
  Abbreviated out;
  for (int32_t type : {IoWriteTablesBuffer, IoWriteDataBuffer, IoWriteImageBuffer}) {
    JpegJob job{};
    jpeg_init(&job);
    job.out_pixels = rgb.data();
    job.out_width = job.jpeg_width = probe.job.jpeg_width;
    job.out_height = job.jpeg_height = probe.job.jpeg_height;
    job.out_channels = 3;
    job.out_color = ColorRgb;
    job.jpeg_subsampling = Sub420;
    std::vector<uint8_t> bytes(rgb.size() + 4096);
    job.jpeg_buffer = bytes.data();
    job.jpeg_buffer_size = static_cast<int32_t>(bytes.size());
    EXPECT_EQ(jpeg_write(&job, type), JpegSuccess);
    bytes.resize(job.jpeg_buffer_size);
    (type == IoWriteTablesBuffer ? out.tables
     : type == IoWriteDataBuffer ? out.image
                                 : out.whole) = bytes;
    jpeg_free(&job);
  }
  return out;
}

TEST(CallingOrder, TablesThenAnAbbreviatedImageAtEveryScaleAndInRegions) {
  const Abbreviated a = abbreviate("generated/base_420.jpg");
  TempFile tables_file(a.tables), image_file(a.image);
  for (bool from_file : {false, true}) {
    for (int scale : {1, 2, 4, 8}) {
      for (bool region : {false, true}) {
        SCOPED_TRACE((from_file ? "file, 1/" : "buffer, 1/") + std::to_string(scale) +
                     (region ? ", a region" : ""));
        JpegStatus whole_status = 0;
        const std::vector<uint8_t> expected = fresh_read(a.whole, scale, &whole_status);
        ASSERT_EQ(whole_status, JpegSuccess);
        BufferJob job(a.tables);
        job.job.file_name = tables_file.path.c_str();
        ASSERT_EQ(job.read(from_file ? IoReadTablesFile : IoReadTablesBuffer), JpegSuccess);
        // The parameters of the abbreviated image, then the image itself.
        job.job.file_name = image_file.path.c_str();
        job.job.jpeg_buffer = const_cast<uint8_t*>(a.image.data());
        job.job.jpeg_buffer_size = static_cast<int32_t>(a.image.size());
        ASSERT_EQ(job.read(from_file ? IoReadParamsFile : IoReadParamsBuffer), JpegSuccess);
        const int32_t width = (job.job.jpeg_width + scale - 1) / scale;
        const int32_t height = (job.job.jpeg_height + scale - 1) / scale;
        const int32_t left = region ? width / 4 : 0, top = region ? height / 3 : 0;
        const int32_t right = region ? width / 2 + 1 : 0, bottom = region ? height - 1 : 0;
        std::vector<uint8_t> pixels;
        request_image(job.job, pixels, region ? right - left : width,
                      region ? bottom - top : height);
        JPEG_PROPERTIES& p = job.job.properties;
        p.roi_left = left, p.roi_top = top, p.roi_right = right, p.roi_bottom = bottom;
        const int32_t type = scaled_read_type(scale) - (from_file ? 1 : 0);
        ASSERT_EQ(job.read(type), region ? JpegRoiSuccess : JpegSuccess);
        for (int32_t y = 0; y < job.job.out_height; ++y) {
          const uint8_t* want = expected.data() + (size_t(top + y) * width + left) * 3;
          ASSERT_EQ(memcmp(pixels.data() + size_t(y) * job.job.out_width * 3, want,
                           size_t(job.job.out_width) * 3),
                    0)
              << "row " << y;
        }
      }
    }
  }
}

TEST(CallingOrder, SampleOutputOfEveryKindOfFrameFillsThePlanes) {
  for (const char* name : {"generated/gray.jpg", "generated/prog_gray.jpg",
                           "generated/base_444.jpg", "generated/seq_separate_scans.jpg"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> data = read_file(test_data(name));
    BufferJob grey(data);
    ASSERT_EQ(grey.read(IoReadParamsBuffer), JpegSuccess);
    const int32_t width = grey.job.jpeg_width, height = grey.job.jpeg_height;
    std::vector<uint8_t> expected;
    request_image(grey.job, expected, width, height, 1, ColorGray);
    ASSERT_EQ(grey.read(IoReadImageBuffer), JpegSuccess);

    BufferJob job(data);
    ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
    const JPEG_PROPERTIES& p = job.job.properties;
    const FrameComponent& luma = p.frame.components[0];
    const int32_t line = p.mcus_per_row * luma.h * 8;
    std::vector<int16_t> plane(size_t(line) * p.mcu_rows * luma.v * 8, -999);
    std::vector<std::vector<int16_t>> others(3, std::vector<int16_t>(plane.size() * 16));
    JpegCoefOutput samples{};
    samples.mode = 1;
    samples.planes[0] = plane.data();
    for (int c = 1; c < 4; ++c) samples.planes[c] = others[c - 1].data();
    job.job.properties.coef_output = &samples;
    ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
    // The luminance plane holds the grey image's samples.
    int32_t wrong = 0;
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        wrong += plane[size_t(y) * line + x] != expected[size_t(y) * width + x];
      }
    }
    EXPECT_EQ(wrong, 0) << "of " << width * height << " samples";
  }
}

// A flat 16x16 YCbCr picture (Y 100, Cb and Cr 128) whose components come
// in separate scans: Y alone, then Cb and Cr (4:2:0) or each alone (4:4:4).
std::vector<uint8_t> flat_separate_scans(bool subsampled) {
  const uint8_t h = subsampled ? 2 : 1;
  JpegBuilder b;
  b.soi().jfif().dqt(0, 1).sof(0xC0, 16, 16, {{1, h, h, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}});
  // Standard tables (no DHT): DC category 8 is 111110, category 0 is 00;
  // the AC end of block is 1010 (luminance) and 00 (chrominance).
  auto blocks = [](int count, bool first_dc, bool luma) {
    BitWriter bits;
    for (int i = 0; i < count; ++i) {
      if (i == 0 && first_dc) {
        bits.put(0x3E, 6).put(31, 8);  // (100 - 128) * 8 = -224, 8 bits of -224 + 255
      } else {
        bits.put(0, 2);  // difference 0
      }
      if (luma) {
        bits.put(0xA, 4);
      } else {
        bits.put(0, 2);
      }
    }
    return bits.bytes();
  };
  b.sos({{1, 0, 0}}).raw(blocks(4, true, true));
  if (subsampled) {
    BitWriter bits;
    bits.put(0, 2).put(0, 2).put(0, 2).put(0, 2);  // Cb, Cr: DC 0, end of block
    b.sos({{2, 1, 1}, {3, 1, 1}}).raw(bits.bytes());
  } else {
    b.sos({{2, 1, 1}}).raw(blocks(4, false, false));
    b.sos({{3, 1, 1}}).raw(blocks(4, false, false));
  }
  return b.eoi().data;
}

TEST(SeparateScans, ConvertWithTheWholeImageRule) {
  for (bool subsampled : {false, true}) {
    SCOPED_TRACE(subsampled ? "two scans, 4:2:0" : "three scans, 4:4:4");
    const std::vector<uint8_t> data = flat_separate_scans(subsampled);
    for (int32_t color : {ColorRgb, ColorBgr, ColorFourChannel}) {
      BufferJob job(data);
      std::vector<uint8_t> pixels;
      const int32_t channels = color == ColorFourChannel ? 4 : 3;
      request_image(job.job, pixels, 16, 16, channels, color);
      ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
      for (size_t i = 0; i < pixels.size(); ++i) {
        ASSERT_EQ(pixels[i], channels == 4 && i % 4 == 3 ? 255 : 100) << "byte " << i;
      }
    }
  }
}

}  // namespace

namespace {

// The whole image of `data` and a region of it, RGB, with smoothing as
// asked; whether the region is the crop of the whole.
void expect_region_is_crop(const std::vector<uint8_t>& data, bool smooth, int32_t left, int32_t top,
                           int32_t right, int32_t bottom) {
  BufferJob whole(data);
  ASSERT_EQ(whole.read(IoReadParamsBuffer), JpegSuccess);
  const int32_t width = whole.job.jpeg_width, height = whole.job.jpeg_height;
  std::vector<uint8_t> all, part;
  request_image(whole.job, all, width, height);
  whole.job.properties.smooth_upsampling = smooth ? 1 : 0;
  ASSERT_EQ(whole.read(IoReadImageBuffer), JpegSuccess);
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  request_image(job.job, part, right - left, bottom - top);
  JPEG_PROPERTIES& p = job.job.properties;
  p.smooth_upsampling = smooth ? 1 : 0;
  p.roi_left = left, p.roi_top = top, p.roi_right = right, p.roi_bottom = bottom;
  ASSERT_EQ(job.read(IoReadImageBuffer), JpegRoiSuccess);
  for (int32_t y = top; y < bottom; ++y) {
    ASSERT_EQ(memcmp(part.data() + size_t(y - top) * (right - left) * 3,
                     all.data() + (size_t(y) * width + left) * 3, size_t(right - left) * 3),
              0)
        << "row " << y;
  }
}

}  // namespace

TEST(Regions, AreCropsOfTheWholeImageWithSmoothingToo) {
  // Left and top edges on an MCU boundary (16 or 32 pixels), inside an MCU,
  // and at the image's edge; 4:2:0 and 4:2:2, sequential and progressive.
  for (const char* name : {"generated/base_420.jpg", "generated/base_422.jpg",
                           "generated/prog_420.jpg", "generated/restart_rows.jpg"}) {
    for (bool smooth : {false, true}) {
      SCOPED_TRACE(std::string(name) + (smooth ? ", smoothing" : ""));
      const std::vector<uint8_t> data = read_file(test_data(name));
      expect_region_is_crop(data, smooth, 16, 16, 80, 64);
      expect_region_is_crop(data, smooth, 32, 8, 33, 40);
      expect_region_is_crop(data, smooth, 7, 0, 150, 17);
      expect_region_is_crop(data, smooth, 0, 200, 320, 240);
    }
  }
}
