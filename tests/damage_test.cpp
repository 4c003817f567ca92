// Data that end early, break, or do what the standard allows but rarely
// sees: the status says what happened, and the image is the same whichever
// way it is read.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/jpeg_oracle.h"
#include "tests/jpeg_test_util.h"

namespace {

struct Read {
  JpegStatus status = 0;
  std::vector<uint8_t> pixels;
};

// The whole image of `data` on a new job, RGB; with `interrupt`, one MCU a
// call.
Read read_rgb(const std::vector<uint8_t>& data, bool interrupt = false, int scale = 1) {
  BufferJob job(data);
  Read r;
  r.status = job.read(IoReadParamsBuffer);
  if (r.status != JpegSuccess) return r;
  const int32_t w = (job.job.jpeg_width + scale - 1) / scale;
  const int32_t h = (job.job.jpeg_height + scale - 1) / scale;
  r.pixels.assign(size_t(w) * h * 3, 0xEE);
  job.job.out_pixels = r.pixels.data();
  job.job.out_width = w;
  job.job.out_height = h;
  job.job.out_color = ColorRgb;
  do {
    job.job.properties.interrupt_mode = interrupt ? 1 : 0;
    r.status = job.read(scaled_read_type(scale));
  } while (r.status == JpegInterruptSuccess);
  return r;
}

// Offsets of every marker of the given kind (0xD0-0xD7 for restart markers).
std::vector<size_t> markers(const std::vector<uint8_t>& data, uint8_t low, uint8_t high) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] >= low && data[i + 1] <= high) at.push_back(i);
  }
  return at;
}

std::vector<uint8_t> cut(const std::vector<uint8_t>& data, size_t length) {
  return std::vector<uint8_t>(data.begin(), data.begin() + static_cast<ptrdiff_t>(length));
}

TEST(DataThatEndEarly, AtARestartMarkerAreAnEndOfFileWhereverTheCutFalls) {
  for (const char* name :
       {"generated/restart_rows.jpg", "generated/restart_mcus.jpg", "generated/restart_prog.jpg"}) {
    const std::vector<uint8_t> data = read_file(test_data(name));
    const std::vector<size_t> restarts = markers(data, 0xD0, 0xD7);
    ASSERT_GE(restarts.size(), 3u) << name;
    for (size_t k : {size_t{0}, restarts.size() / 2, restarts.size() - 1}) {
      // Before the marker's 0xFF, after it, and after its code.
      for (size_t extra = 0; extra < 3; ++extra) {
        SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(restarts[k] + extra));
        const std::vector<uint8_t> part = cut(data, restarts[k] + extra);
        EXPECT_EQ(read_rgb(part).status, JpegEofError);
        EXPECT_EQ(read_rgb(part, false, 8).status, JpegEofError);
      }
    }
  }
}

TEST(DataThatEndEarly, AFrameMissingScansIsAnEndOfFile) {
  // Y, Cb and Cr in three scans; EOI after the first or the second.
  // (libjpeg-turbo gives the image without a word; data are missing.)
  const std::vector<uint8_t> data = read_file(test_data("generated/seq_separate_scans.jpg"));
  const std::vector<size_t> scans = markers(data, 0xDA, 0xDA);
  ASSERT_EQ(scans.size(), 3u);
  const Read whole = read_rgb(data);
  ASSERT_EQ(whole.status, JpegSuccess);
  for (size_t kept : {1u, 2u}) {
    std::vector<uint8_t> part = cut(data, scans[kept]);
    part.push_back(0xFF);
    part.push_back(0xD9);
    const Read r = read_rgb(part);
    EXPECT_EQ(r.status, JpegEofError) << kept << " scans";
    EXPECT_NE(r.pixels, whole.pixels);
  }
}

TEST(DataThatEndEarly, InterruptModeGivesWhatAPlainReadGives) {
  for (const char* name :
       {"generated/truncated_half.jpg", "generated/prog_420.jpg", "generated/restart_rows.jpg"}) {
    std::vector<uint8_t> data = read_file(test_data(name));
    data.resize(data.size() * 2 / 3);  // the data stop two thirds in
    const Read plain = read_rgb(data), stepped = read_rgb(data, true);
    EXPECT_EQ(plain.status, JpegEofError) << name;
    EXPECT_EQ(stepped.status, plain.status) << name;
    EXPECT_EQ(stepped.pixels, plain.pixels) << name << ": grey where data are missing";
  }
}

// A copy of `data` with `segment` inserted before the scan header that
// starts at `at`.
std::vector<uint8_t> insert_at(const std::vector<uint8_t>& data, size_t at,
                               const std::vector<uint8_t>& segment) {
  std::vector<uint8_t> out = cut(data, at);
  out.insert(out.end(), segment.begin(), segment.end());
  out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(at), data.end());
  return out;
}

TEST(UncommonStreams, AFrameHeaderRepeatedBeforeALaterScanChangesNothing) {
  const std::vector<uint8_t> data = read_file(test_data("generated/prog_420.jpg"));
  const size_t frame = markers(data, 0xC2, 0xC2).at(0);
  const size_t length = size_t(data[frame + 2]) << 8 | data[frame + 3];
  const std::vector<uint8_t> sof(data.begin() + ptrdiff_t(frame),
                                 data.begin() + ptrdiff_t(frame + 2 + length));
  const std::vector<size_t> scans = markers(data, 0xDA, 0xDA);
  const std::vector<uint8_t> repeated = insert_at(data, scans[scans.size() / 2], sof);
  const Read whole = read_rgb(data), again = read_rgb(repeated);
  ASSERT_EQ(again.status, JpegSuccess);
  EXPECT_EQ(again.pixels, whole.pixels);
  // A region of it is the crop of the whole image.
  BufferJob job(repeated);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  const int32_t width = job.job.jpeg_width;
  std::vector<uint8_t> region(40 * 30 * 3);
  job.job.out_pixels = region.data();
  job.job.out_width = 40;
  job.job.out_height = 30;
  job.job.out_color = ColorRgb;
  JPEG_PROPERTIES& p = job.job.properties;
  p.roi_left = 21, p.roi_top = 13, p.roi_right = 61, p.roi_bottom = 43;
  ASSERT_EQ(job.read(IoReadImageBuffer), JpegRoiSuccess);
  for (int y = 0; y < 30; ++y) {
    ASSERT_EQ(memcmp(region.data() + y * 40 * 3, whole.pixels.data() + ((13 + y) * width + 21) * 3,
                     40 * 3),
              0)
        << "row " << y;
  }
}

TEST(UncommonStreams, ATableRedefinedBetweenScansServesLaterComponentsOnly) {
  // A DQT segment that redefines table 0 before a later scan: the
  // components already scanned keep the table of their first scan, as
  // libjpeg-turbo keeps it; the image is the one without the segment.
  for (const char* name : {"generated/prog_420.jpg", "generated/seq_separate_scans.jpg"}) {
    const std::vector<uint8_t> data = read_file(test_data(name));
    const std::vector<size_t> scans = markers(data, 0xDA, 0xDA);
    JpegBuilder dqt;
    dqt.dqt(0, 2).dqt(1, 2);  // small enough that no product leaves 16 bits
    const std::vector<uint8_t> redefined = insert_at(data, scans.back(), dqt.data);
    const Read before = read_rgb(data), after = read_rgb(redefined);
    ASSERT_EQ(after.status, JpegSuccess) << name;
    Image theirs;
    ASSERT_TRUE(oracle_decode(redefined, &theirs)) << name;
    EXPECT_GE(pixels_psnr(after.pixels, theirs.pixels), 45.0) << name;
    if (std::string(name).find("prog") != std::string::npos) {
      EXPECT_EQ(after.pixels, before.pixels) << name;
    }
  }
}

TEST(UncommonStreams, ProductsBeyondSixteenBitsComeNearTheExactArithmetic) {
  // The grey picture's coefficients with tables of 255: products far
  // beyond what any encoder writes. T.81's arithmetic (exact products, the
  // transform in real numbers, clamped) against the decode: the products
  // are held to 16 bits, not wrapped around (which put nearly every pixel
  // elsewhere, and puts 15 % there in libjpeg-turbo).
  std::vector<uint8_t> data = read_file(test_data("generated/gray.jpg"));
  for (size_t i = 2; i + 4 < data.size() && data[i] == 0xFF && data[i + 1] != 0xDA;) {
    const size_t length = size_t(data[i + 2]) << 8 | data[i + 3];
    if (data[i + 1] == 0xDB) {
      for (size_t at = i + 4; at + 65 <= i + 2 + length; at += 65) {
        ASSERT_EQ(data[at] >> 4, 0) << "8-bit tables";
        std::memset(&data[at + 1], 255, 64);
      }
    }
    i += 2 + length;
  }
  BufferJob job(data), coefficients(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  const int32_t width = job.job.jpeg_width, height = job.job.jpeg_height;
  std::vector<uint8_t> grey(size_t(width) * height);
  job.job.out_pixels = grey.data();
  job.job.out_width = width;
  job.job.out_height = height;
  job.job.out_channels = 1;
  job.job.out_color = ColorGray;
  ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  ASSERT_EQ(coefficients.read(IoReadParamsBuffer), JpegSuccess);
  const int32_t line = coefficients.job.properties.mcus_per_row * 8;
  std::vector<int16_t> plane(size_t(line) * coefficients.job.properties.mcu_rows * 8);
  JpegCoefOutput raw{};
  raw.planes[0] = plane.data();
  coefficients.job.properties.coef_output = &raw;
  ASSERT_EQ(coefficients.read(IoReadImageBuffer), JpegSuccess);
  int32_t off = 0;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const int32_t bx = x / 8 * 8, by = y / 8 * 8;
      double sum = 0;
      for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
          const double cu = u == 0 ? M_SQRT1_2 : 1, cv = v == 0 ? M_SQRT1_2 : 1;
          sum += cu * cv * plane[size_t(by + v) * line + bx + u] * 255.0 *
                 std::cos((2 * (x % 8) + 1) * u * M_PI / 16) *
                 std::cos((2 * (y % 8) + 1) * v * M_PI / 16);
        }
      }
      const long exact = std::lround(sum / 4 + 128);
      const int expected = exact < 0 ? 0 : (exact > 255 ? 255 : static_cast<int>(exact));
      off += std::abs(expected - grey[size_t(y) * width + x]) > 1;
    }
  }
  EXPECT_LT(off, width * height / 100) << off << " of " << width * height << " pixels off";
}

}  // namespace
