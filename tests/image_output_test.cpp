// The output stage: colour arithmetic, clipping against the image and the
// region, bottom-up rows, the kernels against the per-pixel path, the choice
// of routine, the generic writers and reduced-scale output.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/image_output.h"
#include "jpeg/decode/output_internal.h"
#include "jpeg/drive/output_setup.h"

using namespace jpegcodec;

namespace {

// A job set up as if a frame header had been read, with an MCU buffer and
// an output image of its own.
struct OutputJob {
  OutputJob(std::vector<std::vector<int>> sampling, int32_t width, int32_t height,
            int32_t jpeg_color, int32_t out_color, int32_t channels, int32_t pad = 0,
            bool bottom_up = false) {
    std::memset(&job, 0, sizeof job);
    jpeg_init(&job);
    JPEG_PROPERTIES& p = job.properties;
    p.frame.component_count = static_cast<int32_t>(sampling.size());
    for (size_t i = 0; i < sampling.size(); ++i) {
      p.frame.components[i].id = static_cast<int32_t>(i + 1);
      p.frame.components[i].h = sampling[i][0];
      p.frame.components[i].v = sampling[i][1];
    }
    p.jpeg_width = width;
    p.jpeg_height = height;
    p.jpeg_color = jpeg_color;
    p.out_color = out_color;
    p.out_channels = channels;
    p.out_width = width;
    p.out_height = bottom_up ? -height : height;
    p.out_pad = pad;
    const int32_t line = width * channels + pad;
    p.out_line_bytes = bottom_up ? -line : line;
    // Guard bytes around the image catch writes outside it.
    image.assign(static_cast<size_t>(line) * height + 2 * kGuard, kFill);
    p.out_pixels = image.data() + kGuard;
    p.stream.out_start =
        bottom_up ? p.out_pixels + static_cast<size_t>(line) * (height - 1) : p.out_pixels;
    mcu.assign(64 * 64, 0);
    p.mcu_buffer = p.mcu_samples = mcu.data();
  }
  ~OutputJob() {
    job.properties.mcu_buffer = job.properties.mcu_samples = nullptr;  // ours, not the codec's
    jpeg_free(&job);
  }
  JPEG_PROPERTIES& p() { return job.properties; }
  uint8_t* pixel(int x, int y) {
    return p().out_pixels +
           static_cast<size_t>(y) * (p().out_width * p().out_channels + p().out_pad) +
           x * p().out_channels;
  }
  void fill_block(int index, int value) {
    for (int i = 0; i < 64; ++i) mcu[64 * index + i] = static_cast<int16_t>(value);
  }
  JpegStatus setup() { return select_mcu_output(&job.properties); }
  JpegStatus output(int col, int row) { return p().routines->mcu_output(&p(), col, row); }
  bool guards_intact() const {
    for (int i = 0; i < kGuard; ++i) {
      if (image[i] != kFill || image[image.size() - 1 - i] != kFill) return false;
    }
    return true;
  }

  static constexpr int kGuard = 64;
  static constexpr uint8_t kFill = 0xEE;
  JpegJob job;
  std::vector<uint8_t> image;
  std::vector<int16_t> mcu;
};

}  // namespace

TEST(ColourArithmetic, OneRuleOnEveryPath) {
  // Through an MCU routine (YCbCr 4:4:4 to RGB) as in place (the conversion
  // at reduced scales and of frames in separate scans), over the chroma
  // plane: the same bytes, and neutral chroma gives R = G = B = Y.
  OutputJob job({{1, 1}, {1, 1}, {1, 1}}, 8, 8, ColorYcbcr, ColorRgb, 3);
  ASSERT_EQ(job.setup(), JpegSuccess);
  EXPECT_EQ(job.p().output_layout, 1);
  for (int y : {0, 1, 100, 254, 255}) {
    job.fill_block(0, static_cast<int16_t>(y));
    for (int cb = 0; cb < 256; cb += 3) {
      for (int cr = 0; cr < 256; cr += 5) {
        job.fill_block(1, static_cast<int16_t>(cb));
        job.fill_block(2, static_cast<int16_t>(cr));
        ASSERT_EQ(job.output(0, 0), JpegSuccess);
        uint8_t px[3] = {static_cast<uint8_t>(y), static_cast<uint8_t>(cb),
                         static_cast<uint8_t>(cr)};
        convert_pixel_in_place(px, 3, ColorRgb, ColorYcbcr);
        ASSERT_TRUE(std::equal(px, px + 3, job.pixel(3, 3))) << y << " " << cb << " " << cr;
      }
    }
    job.fill_block(1, 128);
    job.fill_block(2, 128);
    ASSERT_EQ(job.output(0, 0), JpegSuccess);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(job.pixel(5, 6)[c], y) << "neutral chroma, Y " << y;
  }
  // Y = 0, Cb = 128, Cr = 255: R = (359·255 − 45813) >> 8 = 178.
  job.fill_block(0, 0);
  job.fill_block(2, 255);
  job.output(0, 0);
  EXPECT_EQ(job.pixel(0, 0)[0], 178);
  EXPECT_TRUE(job.guards_intact());
}

TEST(ColourArithmetic, AnySamplingInOnePassGivesTheGenericBytes) {
  // Luma h x v with chroma 1x1 (4:4:0, 4:1:1, 4x2, 1x4, 3x1, 2x4, ...): the
  // one-pass routine and the generic writer (upsample, then convert in
  // place) give the same pixels, whole MCUs and MCUs cut by the edges.
  std::mt19937 random(11);
  for (auto [h, v] : {std::pair{1, 2}, {4, 1}, {4, 2}, {1, 4}, {3, 1}, {2, 4}, {3, 3}}) {
    for (int32_t color : {ColorRgb, ColorBgr, ColorFourChannel}) {
      const int channels = color == ColorFourChannel ? 4 : 3;
      const int width = 8 * h + 5, height = 8 * v + 3;
      OutputJob fast({{h, v}, {1, 1}, {1, 1}}, width, height, ColorYcbcr, color, channels, 2);
      OutputJob generic({{h, v}, {1, 1}, {1, 1}}, width, height, ColorYcbcr, color, channels, 2);
      for (OutputJob* job : {&fast, &generic}) {
        job->p().frame.max_h = h;
        job->p().frame.max_v = v;
        job->p().convert_color = 1;
      }
      for (int mcu = 0; mcu < 2; ++mcu) {
        for (int16_t& sample : fast.mcu) sample = static_cast<int16_t>(random() % 256);
        generic.mcu = fast.mcu;
        ASSERT_EQ(output_ycc_any_sampling(&fast.p(), mcu, mcu), JpegSuccess);
        ASSERT_EQ(output_upsampled_convert(&generic.p(), mcu, mcu), JpegSuccess);
      }
      EXPECT_EQ(fast.image, generic.image) << h << "x" << v << ", colour " << color;
      EXPECT_TRUE(fast.guards_intact());
    }
  }
}

TEST(ColourArithmetic, AnySamplingAtReducedScales) {
  // At 1/2 and 1/4 (blocks of w x w samples, rows 8 apart) each pixel is its
  // luma sample with the terms of the chroma sample that covers it.
  std::mt19937 random(23);
  for (auto [h, v] : {std::pair{1, 2}, {4, 1}, {4, 2}, {1, 4}, {3, 1}}) {
    for (int w : {4, 2}) {
      const int width = w * h + 3, height = w * v + 1;
      OutputJob job({{h, v}, {1, 1}, {1, 1}}, width, height, ColorYcbcr, ColorBgr, 3);
      job.p().frame.max_h = h;
      job.p().frame.max_v = v;
      job.p().convert_color = 1;
      job.p().upsample = 1;
      for (int mcu = 0; mcu < 2; ++mcu) {
        for (int16_t& sample : job.mcu) sample = static_cast<int16_t>(random() % 256);
        ASSERT_EQ(output_scaled(&job.p(), mcu, mcu, w, false), JpegSuccess);
        const int16_t* luma = job.mcu.data();
        const int16_t* cb = luma + 64 * h * v;
        const int16_t* cr = cb + 64;
        for (int y = 0; y < w * v && mcu * w * v + y < height; ++y) {
          for (int x = 0; x < w * h && mcu * w * h + x < width; ++x) {
            const ChromaTerms t(cb[8 * (y / v) + x / h], cr[8 * (y / v) + x / h]);
            const int32_t l = luma[64 * ((y / w) * h + x / w) + 8 * (y % w) + x % w];
            const uint8_t* px = job.pixel(mcu * w * h + x, mcu * w * v + y);
            ASSERT_EQ(px[0], t.blue(l)) << h << "x" << v << " at 1/" << 8 / w;
            ASSERT_EQ(px[1], t.green(l));
            ASSERT_EQ(px[2], t.red(l));
          }
        }
      }
      EXPECT_TRUE(job.guards_intact());
    }
  }
}

TEST(ColourArithmetic, GreyToThreeAndFourChannels) {
  // A 13x11 image (padded rows, bottom-up too): MCU (0, 0) whole, (1, 1)
  // cut by both edges; each pixel is its sample in every colour channel.
  for (int channels : {1, 3, 4}) {
    for (bool bottom_up : {false, true}) {
      const int32_t color = channels == 1 ? ColorGray : channels == 3 ? ColorBgr : ColorFourChannel;
      OutputJob job({{1, 1}}, 13, 11, ColorGray, color, channels, 3, bottom_up);
      ASSERT_EQ(job.setup(), JpegSuccess);
      for (int mcu : {0, 1}) {
        for (int i = 0; i < 64; ++i) job.mcu[i] = static_cast<int16_t>(40 * mcu + 3 * i);
        ASSERT_EQ(job.output(mcu, mcu), JpegSuccess);
      }
      for (int y = 0; y < 11; ++y) {
        for (int x = 0; x < 13; ++x) {
          const int mcu = x / 8 == y / 8 ? x / 8 : -1;
          if (mcu < 0) continue;
          const int row = bottom_up ? 10 - y : y;
          const int value = 40 * mcu + 3 * (8 * (y % 8) + x % 8);
          for (int c = 0; c < channels; ++c) {
            ASSERT_EQ(job.pixel(x, row)[c], c == 3 ? 255 : value)
                << channels << " " << x << "," << y;
          }
        }
      }
      EXPECT_TRUE(job.guards_intact());
    }
  }
}

TEST(Clipping, SeventeenBySeventeenFourTwoZero) {
  OutputJob job({{2, 2}, {1, 1}, {1, 1}}, 17, 17, ColorYcbcr, ColorBgr, 3);
  ASSERT_EQ(job.setup(), JpegSuccess);
  EXPECT_EQ(job.p().output_layout, 4);
  EXPECT_EQ(job.p().mcus_per_row, 2);
  EXPECT_EQ(job.p().mcu_rows, 2);
  const struct {
    int col, row;
    ClipRect visible;
  } cases[] = {
      {0, 0, {0, 0, 16, 16}}, {1, 0, {0, 0, 1, 16}}, {0, 1, {0, 0, 16, 1}}, {1, 1, {0, 0, 1, 1}}};
  for (const auto& c : cases) {
    uint8_t* position = nullptr;
    ClipRect visible;
    ASSERT_EQ(clip_mcu(&job.p(), 16, 16, c.col, c.row, 3, &position, &visible), JpegSuccess);
    EXPECT_EQ(visible.left, c.visible.left);
    EXPECT_EQ(visible.top, c.visible.top);
    EXPECT_EQ(visible.right, c.visible.right) << c.col << "," << c.row;
    EXPECT_EQ(visible.bottom, c.visible.bottom) << c.col << "," << c.row;
    EXPECT_EQ(position, job.pixel(16 * c.col, 16 * c.row));
  }
  // Every pixel of the image is written, nothing beyond it.
  for (int i = 0; i < 4; ++i) job.fill_block(i, 60 + 40 * i);
  job.fill_block(4, 128);
  job.fill_block(5, 128);
  for (int row = 0; row <= 2; ++row) {
    for (int col = 0; col <= 2; ++col) ASSERT_EQ(job.output(col, row), JpegSuccess);
  }
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 17; ++x) ASSERT_NE(job.pixel(x, y)[0], OutputJob::kFill) << x << "," << y;
  }
  // The corner MCU's pixel comes from its top-left quadrant (Y0 = 60).
  EXPECT_EQ(job.pixel(16, 16)[0], 60);
  EXPECT_EQ(job.pixel(15, 0)[0], 100) << "Y1";
  EXPECT_TRUE(job.guards_intact());
}

TEST(Clipping, RegionOfInterest) {
  OutputJob job({{2, 2}, {1, 1}, {1, 1}}, 16, 16, ColorYcbcr, ColorRgb, 3);
  job.p().roi_left = 8;
  job.p().roi_top = 8;
  job.p().roi_right = 24;
  job.p().roi_bottom = 24;
  uint8_t* position = nullptr;
  ClipRect visible;
  ASSERT_EQ(clip_mcu(&job.p(), 16, 16, 0, 0, 3, &position, &visible), JpegSuccess);
  EXPECT_EQ(visible.left, 8);
  EXPECT_EQ(visible.top, 8);
  EXPECT_EQ(visible.right, 16);
  EXPECT_EQ(visible.bottom, 16);
  EXPECT_EQ(position + 8 * 3 + 8 * job.p().out_line_bytes, job.pixel(0, 0))
      << "the MCU's pixel (8, 8) is the buffer's first";
  ASSERT_EQ(clip_mcu(&job.p(), 16, 16, 1, 1, 3, &position, &visible), JpegSuccess);
  EXPECT_EQ(visible.left, 0);
  EXPECT_EQ(visible.top, 0);
  EXPECT_EQ(visible.right, 8);
  EXPECT_EQ(visible.bottom, 8);
  EXPECT_EQ(position, job.pixel(8, 8));
  EXPECT_EQ(clip_mcu(&job.p(), 8, 8, 3, 1, 3, &position, &visible), JpegInvalidProperties)
      << "an MCU starting at x0 = 24 lies outside";
}

TEST(Clipping, BottomUpRows) {
  OutputJob job({{1, 1}}, 8, 4, ColorGray, ColorGray, 1, 0, true);
  ASSERT_EQ(job.setup(), JpegSuccess);
  for (int i = 0; i < 64; ++i) job.mcu[i] = static_cast<int16_t>(i / 8);  // sample = row
  ASSERT_EQ(job.output(0, 0), JpegSuccess);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(job.pixel(0, y)[0], 3 - y) << "buffer row " << y;
  EXPECT_TRUE(job.guards_intact());
}

TEST(Kernels, PerPixelPathGivesTheKernelsBytes) {
  struct Case {
    std::vector<std::vector<int>> sampling;
    int32_t jpeg_color, out_color, channels, layout;
  };
  const Case cases[] = {
      {{{1, 1}, {1, 1}, {1, 1}}, ColorYcbcr, ColorRgb, 3, 1},
      {{{1, 1}, {1, 1}, {1, 1}}, ColorYcbcr, ColorBgr, 3, 2},
      {{{2, 2}, {1, 1}, {1, 1}}, ColorYcbcr, ColorRgb, 3, 3},
      {{{2, 2}, {1, 1}, {1, 1}}, ColorYcbcr, ColorBgr, 3, 4},
      {{{2, 1}, {1, 1}, {1, 1}}, ColorYcbcr, ColorRgb, 3, 5},
      {{{2, 1}, {1, 1}, {1, 1}}, ColorYcbcr, ColorBgr, 3, 6},
      {{{1, 1}, {1, 1}, {1, 1}}, ColorYcbcr, ColorFourChannel, 4, 7},
      {{{2, 2}, {1, 1}, {1, 1}}, ColorYcbcr, ColorFourChannel, 4, 8},
      {{{2, 1}, {1, 1}, {1, 1}}, ColorYcbcr, ColorFourChannel, 4, 9},
      {{{1, 1}, {1, 1}, {1, 1}, {1, 1}}, ColorYcck, ColorFourChannel, 4, 10},
      {{{2, 2}, {1, 1}, {1, 1}, {2, 2}}, ColorYcck, ColorFourChannel, 4, 11},
      {{{2, 1}, {1, 1}, {1, 1}, {2, 1}}, ColorYcck, ColorFourChannel, 4, 12},
      {{{1, 1}, {1, 1}, {1, 1}}, ColorRgb, ColorFourChannel, 4, 13},
      {{{1, 1}, {1, 1}, {1, 1}, {1, 1}}, ColorFourChannel, ColorFourChannel, 4, 14},
      {{{1, 1}, {1, 1}, {1, 1}}, ColorRgb, ColorRgb, 3, 15},
      {{{2, 2}, {1, 1}, {1, 1}}, ColorRgb, ColorRgb, 3, 16},
      {{{2, 1}, {1, 1}, {1, 1}}, ColorRgb, ColorRgb, 3, 17},
      {{{2, 1}, {1, 1}, {1, 1}}, ColorYcbcr, ColorYcbcr, 2, 19},
  };
  std::mt19937 random(5);
  for (const Case& c : cases) {
    const int mcu_w = 8 * c.sampling[0][0], mcu_h = 8 * c.sampling[0][1];
    // Whole MCU (kernel) and a cut one (per-pixel path) over the same samples.
    OutputJob whole(c.sampling, mcu_w, mcu_h, c.jpeg_color, c.out_color, c.channels);
    OutputJob cut(c.sampling, mcu_w - 3, mcu_h - 1, c.jpeg_color, c.out_color, c.channels);
    ASSERT_EQ(whole.setup(), JpegSuccess);
    ASSERT_EQ(cut.setup(), JpegSuccess);
    ASSERT_EQ(whole.p().output_layout, c.layout);
    for (size_t i = 0; i < whole.mcu.size(); ++i) {
      whole.mcu[i] = cut.mcu[i] = static_cast<int16_t>(random() % 256);
    }
    ASSERT_EQ(whole.output(0, 0), JpegSuccess);
    ASSERT_EQ(cut.output(0, 0), JpegSuccess);
    for (int y = 0; y < mcu_h - 1; ++y) {
      for (int x = 0; x < mcu_w - 3; ++x) {
        for (int b = 0; b < c.channels; ++b) {
          ASSERT_EQ(cut.pixel(x, y)[b], whole.pixel(x, y)[b])
              << "layout " << c.layout << " pixel " << x << "," << y << " byte " << b;
        }
      }
    }
    EXPECT_TRUE(cut.guards_intact()) << "layout " << c.layout;
  }
}

TEST(RoutineChoice, GenericWritersCoverTheRest) {
  // 4:1:1 to RGB: the generic writer with in-place conversion, chroma
  // repeated four times across, and the in-place green rule (G = Y).
  OutputJob job({{4, 1}, {1, 1}, {1, 1}}, 32, 8, ColorYcbcr, ColorRgb, 3);
  ASSERT_EQ(job.setup(), JpegSuccess);
  EXPECT_EQ(job.p().output_layout, 0);
  for (int i = 0; i < 4; ++i) job.fill_block(i, 100);
  for (int i = 0; i < 64; ++i) job.mcu[4 * 64 + i] = static_cast<int16_t>(i % 8 == 1 ? 200 : 128);
  job.fill_block(5, 128);
  ASSERT_EQ(job.output(0, 0), JpegSuccess);
  EXPECT_EQ(job.pixel(0, 0)[1], 100) << "G = Y for neutral chroma";
  for (int x = 4; x < 8; ++x) EXPECT_EQ(job.pixel(x, 0)[2], job.pixel(4, 0)[2]) << "Cb repeated";
  EXPECT_NE(job.pixel(4, 0)[2], job.pixel(0, 0)[2]);
  EXPECT_TRUE(job.guards_intact());

  // Grey whose component claims 2x2 sampling: no specialised routine, but a
  // routine that writes the right picture rather than nothing or a stale one.
  OutputJob odd({{2, 2}}, 16, 16, ColorGray, ColorRgb, 3);
  ASSERT_EQ(odd.setup(), JpegSuccess);
  ASSERT_NE(odd.p().routines->mcu_output, nullptr);
  for (int i = 0; i < 4; ++i) odd.fill_block(i, 30 * (i + 1));
  ASSERT_EQ(odd.output(0, 0), JpegSuccess);
  EXPECT_EQ(odd.pixel(15, 15)[0], 120);
  EXPECT_EQ(odd.pixel(15, 15)[2], 120);
  EXPECT_TRUE(odd.guards_intact());
}

TEST(ReducedScale, SimpleSamplingCopiesChromaWithoutRepetition) {
  // 4:2:0 at 1/2 scale: luma blocks reconstructed at 4x4, chroma at 8x8.
  OutputJob job({{2, 2}, {1, 1}, {1, 1}}, 8, 8, ColorYcbcr, ColorRgb, 3);
  ASSERT_EQ(job.setup(), JpegSuccess);
  for (int i = 0; i < 4; ++i) job.fill_block(i, 128);
  for (int i = 0; i < 64; ++i) job.mcu[4 * 64 + i] = static_cast<int16_t>(i % 2 == 0 ? 100 : 160);
  job.fill_block(5, 128);
  // The interleaved scan of the three components.
  ScanComponent components[3] = {{0, 2, 2, nullptr, nullptr, nullptr},
                                 {1, 1, 1, nullptr, nullptr, nullptr},
                                 {2, 1, 1, nullptr, nullptr, nullptr}};
  ScanHeader scan{};
  scan.component_count = 3;
  scan.se = 63;
  scan.components = components;
  job.p().saved_scan = &scan;
  ASSERT_EQ(output_scaled(&job.p(), 0, 0, 4, true), JpegSuccess);
  // Neighbouring pixels get different Cb: no repetition.
  EXPECT_NE(job.pixel(0, 0)[2], job.pixel(1, 0)[2]);
  EXPECT_EQ(job.pixel(0, 0)[2], job.pixel(2, 0)[2]);
  // Without simple sampling the 4x4 chroma corner is repeated 2x2.
  OutputJob plain({{2, 2}, {1, 1}, {1, 1}}, 8, 8, ColorYcbcr, ColorRgb, 3);
  ASSERT_EQ(plain.setup(), JpegSuccess);
  plain.mcu = job.mcu;
  plain.p().mcu_buffer = plain.p().mcu_samples = plain.mcu.data();
  plain.p().saved_scan = &scan;
  ASSERT_EQ(output_scaled(&plain.p(), 0, 0, 4, false), JpegSuccess);
  EXPECT_EQ(plain.pixel(0, 0)[2], plain.pixel(1, 0)[2]);
  EXPECT_TRUE(job.guards_intact());
  job.p().saved_scan = nullptr;
  plain.p().saved_scan = nullptr;
}

namespace {

// Feeds a 2 x 2 MCU picture with sampling `first` (2x2 or 2x1) for the first
// component and 1x1 for the others through the smoothing upsampler, flush
// calls included. Samples are scattered (a hash), so that every rounding
// case of the filter comes up.
int luma_sample(int x, int y) {
  return static_cast<int>((static_cast<uint32_t>(x * 73 + y * 151) * 2654435761u) >> 24);
}
int chroma_sample(int n, int x, int y) {
  return static_cast<int>((static_cast<uint32_t>(n * 977 + x * 31 + y * 1021) * 2246822519u) >> 24);
}

void feed_smoothed_picture(OutputJob& job, const std::vector<int>& first) {
  const int max_v = first[1];
  const int mcus = 2, blocks = 2 * max_v;
  for (int row = 0; row <= mcus; ++row) {
    for (int col = 0; col <= mcus; ++col) {
      if (row < mcus && col < mcus) {
        for (int b = 0; b < blocks; ++b) {
          for (int i = 0; i < 64; ++i) {
            const int x = col * 16 + (b % 2) * 8 + i % 8, y = row * 8 * max_v + (b / 2) * 8 + i / 8;
            job.mcu[64 * b + i] = static_cast<int16_t>(luma_sample(x, y));
          }
        }
        for (int n = 1; n <= 2; ++n) {
          for (int i = 0; i < 64; ++i) {
            job.mcu[64 * (blocks + n - 1) + i] =
                static_cast<int16_t>(chroma_sample(n, col * 8 + i % 8, row * 8 + i / 8));
          }
        }
      }
      job.output(col, row);
    }
  }
}

}  // namespace

TEST(Smoothing, TriangleFilterWithDelayedOutputAndFlushes) {
  // RGB data with subsampled second and third components: no conversion, so
  // the channels show the filter's output directly.
  for (const std::vector<int>& first : {std::vector<int>{2, 2}, std::vector<int>{2, 1}}) {
    const int max_v = first[1];
    const int width = 32, height = 16 * max_v;  // 2 x 2 MCUs
    OutputJob job({first, {1, 1}, {1, 1}}, width, height, ColorRgb, ColorRgb, 3);
    job.p().smooth_upsampling = 1;
    ASSERT_EQ(job.setup(), JpegSuccess);
    const int chroma_w = width / 2, chroma_h = height / max_v;
    feed_smoothed_picture(job, first);
    auto chroma = chroma_sample;
    auto luma = luma_sample;
    auto clamped = [&](int n, int x, int y) {
      x = std::clamp(x, 0, chroma_w - 1);
      y = std::clamp(y, 0, chroma_h - 1);
      return chroma(n, x, y);
    };
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        ASSERT_EQ(job.pixel(x, y)[0], luma(x, y)) << x << "," << y;
        for (int n = 1; n <= 2; ++n) {
          int expected;
          const int cx = x / 2, dx = x % 2 == 0 ? -1 : 1;
          if (max_v == 1) {
            const int c = clamped(n, cx, y);
            expected = x % 2 == 0 ? (3 * c + clamped(n, cx - 1, y) + 1) >> 2
                                  : (3 * c + clamped(n, cx + 1, y) + 2) >> 2;
          } else {
            const int cy = y / 2, dy = y % 2 == 0 ? -1 : 1;
            expected = (9 * clamped(n, cx, cy) + 3 * clamped(n, cx + dx, cy) +
                        3 * clamped(n, cx, cy + dy) + clamped(n, cx + dx, cy + dy) +
                        (x % 2 == 0 ? 8 : 7)) >>
                       4;
          }
          ASSERT_EQ(job.pixel(x, y)[n], expected)
              << "sampling 2x" << max_v << " pixel " << x << "," << y << " channel " << n;
        }
      }
    }
    EXPECT_TRUE(job.guards_intact());
  }
}

TEST(Smoothing, ThenConversionIsTheConversionOfTheSmoothedSamples) {
  // The same samples as YCbCr data to RGB, BGR and four channels: each pixel
  // is the conversion of what the filter gives for RGB data.
  for (const std::vector<int>& first : {std::vector<int>{2, 2}, std::vector<int>{2, 1}}) {
    const int width = 32, height = 16 * first[1];
    OutputJob plain({first, {1, 1}, {1, 1}}, width, height, ColorRgb, ColorRgb, 3);
    plain.p().smooth_upsampling = 1;
    ASSERT_EQ(plain.setup(), JpegSuccess);
    feed_smoothed_picture(plain, first);
    for (const auto& [out_color, channels] :
         {std::pair{ColorRgb, 3}, std::pair{ColorBgr, 3}, std::pair{ColorFourChannel, 4}}) {
      OutputJob job({first, {1, 1}, {1, 1}}, width, height, ColorYcbcr, out_color, channels);
      job.p().smooth_upsampling = 1;
      ASSERT_EQ(job.setup(), JpegSuccess);
      feed_smoothed_picture(job, first);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          uint8_t expected[4] = {plain.pixel(x, y)[0], plain.pixel(x, y)[1], plain.pixel(x, y)[2],
                                 0};
          convert_pixel_in_place(expected, channels, out_color, ColorYcbcr);
          if (channels == 4) expected[3] = 255;
          for (int c = 0; c < channels; ++c) {
            ASSERT_EQ(job.pixel(x, y)[c], expected[c])
                << "sampling 2x" << first[1] << " colour " << out_color << " pixel " << x << ","
                << y << " channel " << c;
          }
        }
      }
      EXPECT_TRUE(job.guards_intact());
    }
  }
}
