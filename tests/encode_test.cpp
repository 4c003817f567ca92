// The encoder: known answers for its parts, then whole images written and
// read back by this codec and by libjpeg-turbo.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "jpeg/decode/huffman.h"
#include "jpeg/encode/encoder.h"
#include "jpeg/encode/fdct.h"
#include "jpeg/encode/huffman_encode.h"
#include "tests/jpeg_oracle.h"
#include "tests/jpeg_test_util.h"
#include "tests/libjpeg_encode.h"

using namespace jpegcodec;

namespace {

// A smooth picture with some texture: what a photo's blocks look like to
// the transform.
Image test_picture(int width, int height, int channels, int seed = 1) {
  Image picture{width, height, channels, {}};
  picture.pixels.resize(static_cast<size_t>(width) * height * channels);
  std::mt19937 random(static_cast<uint32_t>(seed));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        const double wave = 60 * std::sin((x + 7 * c) * 0.05) * std::cos((y - 5 * c) * 0.07);
        const int value = 128 + static_cast<int>(wave) + (x * (c + 1) + y * 2) % 40 - 20 +
                          static_cast<int>(random() % 7) - 3;
        picture.pixels[(static_cast<size_t>(y) * width + x) * channels + c] =
            static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
      }
    }
  }
  return picture;
}

// One write request: the caller's image and what to make of it.
struct Request {
  int32_t out_color = ColorRgb;
  int32_t jpeg_color = ColorYcbcr;
  int32_t jpeg_channels = 3;
  int32_t subsampling = Sub420;
  int32_t quality = 90;
  int32_t optimize = 0, progressive = 0, restart = 0;
  int32_t dct_family = 1;
};

// Writes `picture` to memory; the JPEG, or empty with *status set.
std::vector<uint8_t> write_jpeg(const Image& picture, const Request& r,
                                JpegStatus* status = nullptr, int32_t type = IoWriteImageBuffer) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  jpeg_init(&job);
  job.out_pixels = const_cast<uint8_t*>(picture.pixels.data());
  job.out_width = picture.width;
  job.out_height = picture.height;
  job.out_channels = picture.channels;
  job.out_color = r.out_color;
  job.jpeg_width = picture.width;
  job.jpeg_height = picture.height;
  job.jpeg_channels = r.jpeg_channels;
  job.jpeg_color = r.jpeg_color;
  job.jpeg_subsampling = r.subsampling;
  job.quality = r.quality;
  job.write_optimize = r.optimize;
  job.write_progressive = r.progressive;
  job.write_restart_interval = r.restart;
  job.properties.dct_family = r.dct_family;
  std::vector<uint8_t> out(picture.pixels.size() * 2 + 4096);
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  const JpegStatus result = jpeg_write(&job, type);
  if (status != nullptr) *status = result;
  out.resize(result == JpegSuccess ? static_cast<size_t>(job.jpeg_buffer_size) : 0);
  jpeg_free(&job);
  return out;
}

size_t count_markers(const std::vector<uint8_t>& data, uint8_t low, uint8_t high) {
  size_t n = 0;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] >= low && data[i + 1] <= high) ++n;
  }
  return n;
}

// libjpeg-turbo's file for the same pixels: accurate DCT, 4:2:0, the
// standard tables (or optimised ones).
std::vector<uint8_t> libjpeg_write(const Image& picture, int quality, bool optimize) {
  EncodeOptions options;  // the accurate DCT and 4:2:0 are libjpeg's defaults
  options.quality = quality;
  options.optimize = optimize;
  options.pixels = picture.pixels.data();
  return encode_with(picture.width, picture.height, 3, options);
}

}  // namespace

// ---- the parts -------------------------------------------------------------------

TEST(EncoderParts, QualityScalesTheAnnexKTables) {
  uint8_t table[64];
  quality_table(50, 0, table);
  EXPECT_EQ(table[0], 16);  // as printed
  EXPECT_EQ(table[63], 99);
  quality_table(50, 1, table);
  EXPECT_EQ(table[0], 17);
  quality_table(100, 0, table);
  for (uint8_t value : table) EXPECT_EQ(value, 1);
  quality_table(75, 0, table);  // 200 - 150 = 50 %
  EXPECT_EQ(table[0], 8);
  EXPECT_EQ(table[63], 50);     // (99 · 50 + 50) / 100
  quality_table(10, 0, table);  // 5000 / 10 = 500 %
  EXPECT_EQ(table[0], 80);
  EXPECT_EQ(table[63], 255);  // held to 255 for baseline
  quality_table(1, 1, table);
  for (uint8_t value : table) EXPECT_EQ(value, 255);
}

// Both forward transforms against T.81 A.3.3 in double precision, over
// random blocks and the extremes: the accurate family within 1.5 of 8·F,
// the fast one within 3 of 8·F·s(u)·s(v).
TEST(EncoderParts, ForwardTransformsMatchTheDefinition) {
  std::mt19937 random(3);
  double worst_accurate = 0, worst_fast = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    int16_t samples[64];
    fill_level_shifted(samples, trial % 5 < 3 ? trial % 5 : 4, random);
    int16_t accurate[64], fast[64];
    std::memcpy(accurate, samples, sizeof samples);
    std::memcpy(fast, samples, sizeof samples);
    fdct_accurate_portable(accurate);
    fdct_fast_portable(fast);
    for (int u = 0; u < 8; ++u) {
      for (int v = 0; v < 8; ++v) {
        double sum = 0;
        for (int y = 0; y < 8; ++y) {
          for (int x = 0; x < 8; ++x) {
            sum += samples[8 * y + x] * std::cos((2 * y + 1) * u * M_PI / 16) *
                   std::cos((2 * x + 1) * v * M_PI / 16);
          }
        }
        const double cu = u == 0 ? M_SQRT1_2 : 1, cv = v == 0 ? M_SQRT1_2 : 1;
        const double expected = 8 * 0.25 * cu * cv * sum;
        worst_accurate = std::max(worst_accurate, std::fabs(accurate[8 * u + v] - expected));
        const double scale = kFastScale[u] * kFastScale[v];
        worst_fast = std::max(worst_fast, std::fabs(fast[8 * u + v] - expected * scale));
      }
    }
  }
  EXPECT_LE(worst_accurate, 1.5);
  EXPECT_LE(worst_fast, 3.0);
}

// Tables made for counted symbols: every symbol with a code, no code
// longer than 16 bits, none all ones, and a set of codes that fills no
// more than the code space (Kraft) - also for counts so skewed that the
// unlimited lengths would pass 16.
TEST(EncoderParts, OptimalTablesFitSixteenBits) {
  for (int kind = 0; kind < 3; ++kind) {
    SymbolCounts counts{};
    int used = 0;
    if (kind == 0) {
      counts.count[0x00] = 1000;
      used = 1;  // a single symbol still needs a code of one bit
    } else {
      // Fibonacci-like counts make the deepest tree there is.
      uint32_t a = 1, b = 1;
      for (int s = 0; s < (kind == 1 ? 30 : 162); ++s, ++used) {
        counts.count[s] = kind == 1 ? a : 1 + static_cast<uint32_t>(s % 17) * 40;
        const uint32_t next = a + b;
        a = b;
        b = next > 100000000u ? 100000000u : next;
      }
    }
    HuffDefinition definition;
    optimal_table(counts, &definition);
    EXPECT_EQ(definition.symbol_count, used);
    double kraft = 0;
    int total = 0;
    for (int length = 1; length <= 16; ++length) {
      kraft += definition.counts[length - 1] / std::pow(2.0, length);
      total += definition.counts[length - 1];
    }
    EXPECT_EQ(total, used);
    EXPECT_LT(kraft, 1.0) << "the all-ones code stays free";
    HuffEncodeTable table;
    build_encode_table(definition.counts, definition.symbols, &table);
    for (int s = 0; s < 256; ++s) {
      if (counts.count[s] == 0) continue;
      ASSERT_GT(table.length[s], 0) << "symbol " << s;
      EXPECT_NE(table.code[s], (1u << table.length[s]) - 1) << "all ones";
    }
  }
}

// ---- whole images ------------------------------------------------------------------

// A flat grey image: every AC coefficient 0 and the DC the quantizer
// implies ((100 - 128) · 8 / 16 = -14 at quality 50), read back as the
// decoder's coefficients.
TEST(EncoderParts, TheBitWriterStuffsAndPadsAsBitByBit) {
  // Random codes of 0 to 32 bits, many of them all ones so that 0xFF bytes
  // fall at every place in the eight-byte words, against a writer that
  // takes one bit at a time.
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> out(20000, 0xEE);
    EntropyWriter w{0, 0, out.data()};
    std::vector<int> bits;
    const int codes = 1 + static_cast<int>(random() % 600);
    for (int i = 0; i < codes; ++i) {
      const int n = static_cast<int>(random() % 33);
      uint32_t value = random() % 4 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(random());
      value = n == 32 ? value : value & ((1u << n) - 1);
      put_bits(w, value, n);
      for (int b = n - 1; b >= 0; --b) bits.push_back((value >> b) & 1);
    }
    pad_and_flush(w);
    while (bits.size() % 8 != 0) bits.push_back(1);
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < bits.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t b = 0; b < 8; ++b) byte = static_cast<uint8_t>(byte << 1 | bits[i + b]);
      expected.push_back(byte);
      if (byte == 0xFF) expected.push_back(0);
    }
    const size_t written = static_cast<size_t>(w.next - out.data());
    ASSERT_EQ(written, expected.size()) << "round " << round;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << "round " << round;
    EXPECT_EQ(out[written], 0xEE) << "round " << round;
    EXPECT_EQ(w.count, 0);
  }
}

TEST(Encoder, FlatGreyGivesItsDcAlone) {
  Image grey{16, 16, 1, std::vector<uint8_t>(256, 100)};
  Request r;
  r.out_color = r.jpeg_color = ColorGray;
  r.jpeg_channels = 1;
  r.subsampling = Sub444;
  r.quality = 50;
  JpegStatus status;
  const std::vector<uint8_t> data = write_jpeg(grey, r, &status);
  ASSERT_EQ(status, JpegSuccess);
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<int16_t> plane(16 * 16);
  JpegCoefOutput coefficients{};
  coefficients.planes[0] = plane.data();
  job.job.properties.coef_output = &coefficients;
  std::vector<uint8_t> pixels(256);
  job.job.out_pixels = pixels.data();
  job.job.out_width = job.job.out_height = 16;
  job.job.out_channels = 1;
  job.job.out_color = ColorGray;
  ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  for (int by = 0; by < 2; ++by) {
    for (int bx = 0; bx < 2; ++bx) {
      for (int i = 0; i < 64; ++i) {
        const int16_t value = plane[(by * 8 + i / 8) * 16 + bx * 8 + i % 8];
        EXPECT_EQ(value, i == 0 ? -14 : 0) << "block " << by << "," << bx << " coefficient " << i;
      }
    }
  }
}

// A flat colour under 4:2:0: the chroma averaged over 2 × 2 samples stays
// exactly what it was, so every block is its DC alone. Y, Cb and Cr of
// (200, 50, 250) are 118, 203 and 187; the DC is 8 · (value - 128) over the
// table's first entry at quality 50 (16, 17, 17): -5, 35.3 and 27.8,
// rounded: -5, 35 and 28.
TEST(Encoder, FlatColourKeepsItsChromaExact) {
  Image flat{32, 32, 3, {}};
  for (int i = 0; i < 32 * 32; ++i) flat.pixels.insert(flat.pixels.end(), {200, 50, 250});
  Request r;
  r.quality = 50;
  JpegStatus status;
  const std::vector<uint8_t> data = write_jpeg(flat, r, &status);
  ASSERT_EQ(status, JpegSuccess);
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<int16_t> planes[3] = {std::vector<int16_t>(32 * 32), std::vector<int16_t>(16 * 16),
                                    std::vector<int16_t>(16 * 16)};
  JpegCoefOutput coefficients{};
  for (int c = 0; c < 3; ++c) coefficients.planes[c] = planes[c].data();
  job.job.properties.coef_output = &coefficients;
  std::vector<uint8_t> pixels(32 * 32 * 3);
  job.job.out_pixels = pixels.data();
  job.job.out_width = job.job.out_height = 32;
  job.job.out_channels = 3;
  job.job.out_color = ColorRgb;
  ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  const int expected_dc[3] = {-5, 35, 28};
  for (int c = 0; c < 3; ++c) {
    const int width = c == 0 ? 32 : 16;
    for (int i = 0; i < width * width; ++i) {
      const int x = i % width, y = i / width;
      const bool dc = x % 8 == 0 && y % 8 == 0;
      EXPECT_EQ(planes[c][i], dc ? expected_dc[c] : 0)
          << "component " << c << " at " << x << "," << y;
    }
  }
}

// Every colour pair of the encoding table, at each sampling it allows:
// read back by this codec, close to the source, and reported as written.
TEST(Encoder, EveryColourPairReadsBack) {
  struct Case {
    int32_t out_color, channels, jpeg_color, jpeg_channels, subsampling;
    double least_psnr;
  };
  const Case cases[] = {
      {ColorGray, 1, ColorGray, 1, Sub444, 36},
      {ColorGray, 1, ColorYcbcr, 3, Sub420, 36},
      {ColorRgb, 3, ColorYcbcr, 3, Sub444, 32},
      {ColorRgb, 3, ColorYcbcr, 3, Sub422, 30},
      {ColorRgb, 3, ColorYcbcr, 3, Sub420, 28},
      {ColorBgr, 3, ColorYcbcr, 3, Sub420, 28},
      {ColorRgb, 4, ColorYcbcr, 3, Sub422, 30},
      {ColorRgb, 3, ColorGray, 1, Sub444, 0},
      {ColorBgr, 3, ColorGray, 1, Sub444, 0},
      {ColorRgb, 3, ColorRgb, 3, Sub444, 34},
      {ColorBgr, 3, ColorRgb, 3, Sub444, 34},
      {ColorFourChannel, 4, ColorFourChannel, 4, Sub444, 34},
      {ColorFourChannel, 4, ColorYcck, 4, Sub420Alpha, 28},
      {ColorYcbcr, 3, ColorYcbcr, 3, Sub444, 0},  // YCbCr is read back only as 4:2:2 packed
      {ColorOther, 3, ColorOther, 2, Sub444, 34},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "colour " << c.out_color << "x" << c.channels << " to " << c.jpeg_color << "x"
                 << c.jpeg_channels << " sampling " << c.subsampling);
    const Image source = test_picture(41, 27, c.channels);
    Request r;
    r.out_color = c.out_color;
    r.jpeg_color = c.jpeg_color;
    r.jpeg_channels = c.jpeg_channels;
    r.subsampling = c.subsampling;
    JpegStatus status;
    const std::vector<uint8_t> data = write_jpeg(source, r, &status);
    ASSERT_EQ(status, JpegSuccess);
    // Read back in the caller's own layout.
    BufferJob job(data);
    ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
    EXPECT_EQ(job.job.jpeg_width, 41);
    EXPECT_EQ(job.job.jpeg_height, 27);
    EXPECT_EQ(job.job.jpeg_channels, c.jpeg_channels);
    if (c.jpeg_color != ColorOther) {
      EXPECT_EQ(job.job.jpeg_color, c.jpeg_color);
    }
    EXPECT_EQ(job.job.jpeg_subsampling, c.subsampling);
    if (c.least_psnr == 0) continue;  // grey from colour: no source to compare with
    Image back{41, 27, c.channels, std::vector<uint8_t>(source.pixels.size())};
    job.job.out_pixels = back.pixels.data();
    job.job.out_width = 41;
    job.job.out_height = 27;
    job.job.out_channels = c.channels;
    job.job.out_color = c.out_color;
    // Four bytes of RGB come back as red, green, blue and 255.
    if (c.channels == 4 && c.out_color == ColorRgb) job.job.out_color = ColorFourChannel;
    if (c.out_color == ColorOther) {
      job.job.jpeg_color = ColorOther;
      job.job.out_channels = c.jpeg_channels;
      back.pixels.assign(41 * 27 * 2, 0);
      back.channels = 2;
    }
    ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
    Image compared = source;
    if (c.out_color == ColorOther) {
      compared.channels = 2;
      compared.pixels.clear();
      for (size_t i = 0; i < source.pixels.size(); i += 3) {
        compared.pixels.push_back(source.pixels[i]);
        compared.pixels.push_back(source.pixels[i + 1]);
      }
    }
    if (c.channels == 4 && c.out_color == ColorRgb) {
      // The fourth byte is not written back; compare the colours alone.
      for (size_t i = 3; i < back.pixels.size(); i += 4) back.pixels[i] = compared.pixels[i];
    }
    EXPECT_GE(psnr(compared, back), c.least_psnr);
  }
}

// Progressive files and optimised tables carry the same coefficients as the
// baseline file with the standard tables: the same pixels, fewer bytes for
// optimised tables; restart markers change nothing either. libjpeg-turbo
// reads every one of them as this codec does.
TEST(Encoder, ProgressiveOptimisedAndRestartsKeepThePixels) {
  const Image source = test_picture(203, 117, 3, 5);
  Request base;
  JpegStatus status;
  const std::vector<uint8_t> plain = write_jpeg(source, base, &status);
  ASSERT_EQ(status, JpegSuccess);
  Image expected;
  ASSERT_EQ(our_decode(plain, &expected), JpegSuccess);
  // Standard tables or optimised ones, baseline or progressive, with and
  // without restart intervals (the symbols of an optimised file's first
  // pass are counted across them).
  for (int variant = 0; variant < 7; ++variant) {
    SCOPED_TRACE(testing::Message() << "variant " << variant);
    Request r = base;
    r.optimize = variant == 0 || variant == 4 || variant == 5 || variant == 6;
    r.progressive = variant == 1 || variant == 2 || variant == 4 || variant == 5;
    r.restart = variant == 2 || variant == 5 ? 3 : (variant == 3 || variant == 6 ? 1 : 0);
    const std::vector<uint8_t> data = write_jpeg(source, r, &status);
    ASSERT_EQ(status, JpegSuccess);
    Image ours, theirs;
    ASSERT_EQ(our_decode(data, &ours), JpegSuccess);
    EXPECT_EQ(ours.pixels, expected.pixels);
    ASSERT_TRUE(oracle_decode(data, &theirs));
    EXPECT_GE(psnr(ours, theirs), 45.0) << "libjpeg-turbo's transform differs a little";
    if (r.optimize && !r.progressive && r.restart == 0) {
      EXPECT_LT(data.size(), plain.size() * 95 / 100);
    }
    if (r.restart != 0) {
      EXPECT_GT(count_markers(data, 0xD0, 0xD7), 0u);
    }
    if (r.progressive) {
      EXPECT_GT(count_markers(data, 0xC2, 0xC2), 0u);
    }
  }
}

// Sizes at the edges: one pixel, odd sizes under 4:2:0 (the last column and
// line repeated to the MCU's edge), a line 65535 wide.
TEST(Encoder, ExtremeSizes) {
  for (const auto& size : std::vector<std::pair<int, int>>{{1, 1}, {17, 9}, {65535, 1}}) {
    SCOPED_TRACE(testing::Message() << size.first << "x" << size.second);
    const Image source = test_picture(size.first, size.second, 3);
    JpegStatus status;
    const std::vector<uint8_t> data = write_jpeg(source, Request{}, &status);
    ASSERT_EQ(status, JpegSuccess);
    Image ours, theirs;
    ASSERT_EQ(our_decode(data, &ours), JpegSuccess);
    EXPECT_EQ(ours.width, size.first);
    EXPECT_EQ(ours.height, size.second);
    EXPECT_GE(psnr(source, ours), 28.0);
    // libjpeg-turbo takes at most 65500 pixels a line.
    if (size.first <= 65500) {
      ASSERT_TRUE(oracle_decode(data, &theirs));
      EXPECT_GE(psnr(ours, theirs), 45.0);
    }
  }
}

// The caller's image as it is laid out: rows bottom-up, padded rows, a JPEG
// of the top-left part, and packed Y, Cb, Y, Cr for 4:2:2.
TEST(Encoder, CallerLayouts) {
  const Image source = test_picture(40, 24, 3, 9);
  JpegStatus status;
  Request r;
  r.subsampling = Sub444;
  const std::vector<uint8_t> reference = write_jpeg(source, r, &status);
  ASSERT_EQ(status, JpegSuccess);
  auto write_with = [&](const std::vector<uint8_t>& pixels, int32_t width, int32_t height,
                        int32_t pad, int32_t jpeg_width, int32_t jpeg_height) {
    BufferJob job({});
    job.job.out_pixels = const_cast<uint8_t*>(pixels.data());
    job.job.out_width = width;
    job.job.out_height = height;
    job.job.out_pad = pad;
    job.job.out_channels = 3;
    job.job.out_color = ColorRgb;
    job.job.jpeg_width = jpeg_width;
    job.job.jpeg_height = jpeg_height;
    job.job.jpeg_subsampling = Sub444;
    job.job.quality = 90;
    std::vector<uint8_t> out(1 << 16);
    job.job.jpeg_buffer = out.data();
    job.job.jpeg_buffer_size = static_cast<int32_t>(out.size());
    EXPECT_EQ(jpeg_write(&job.job, IoWriteImageBuffer), JpegSuccess);
    out.resize(static_cast<size_t>(job.job.jpeg_buffer_size));
    return out;
  };
  // Bottom-up rows with 5 bytes of padding.
  std::vector<uint8_t> flipped(static_cast<size_t>(24) * (40 * 3 + 5), 0xEE);
  for (int y = 0; y < 24; ++y) {
    std::memcpy(&flipped[static_cast<size_t>(23 - y) * (40 * 3 + 5)],
                &source.pixels[static_cast<size_t>(y) * 40 * 3], 40 * 3);
  }
  EXPECT_EQ(write_with(flipped, 40, -24, 5, 40, 24), reference);
  // A larger caller's image whose top-left part is the picture.
  std::vector<uint8_t> larger(static_cast<size_t>(50) * 30 * 3, 0x11);
  for (int y = 0; y < 24; ++y) {
    std::memcpy(&larger[static_cast<size_t>(y) * 50 * 3],
                &source.pixels[static_cast<size_t>(y) * 40 * 3], 40 * 3);
  }
  EXPECT_EQ(write_with(larger, 50, 30, 0, 40, 24), reference);

  // Packed YCbCr 4:2:2 is read as the YCbCr pixels it stands for.
  Image ycc = test_picture(40, 24, 3, 11);
  for (size_t i = 0; i < ycc.pixels.size(); i += 6) {
    ycc.pixels[i + 4] = ycc.pixels[i + 1];  // each pair shares its chroma
    ycc.pixels[i + 5] = ycc.pixels[i + 2];
  }
  std::vector<uint8_t> packed;
  for (size_t i = 0; i < ycc.pixels.size(); i += 6) {
    packed.insert(packed.end(),
                  {ycc.pixels[i], ycc.pixels[i + 1], ycc.pixels[i + 3], ycc.pixels[i + 2]});
  }
  Request yr;
  yr.out_color = ColorYcbcr;
  yr.subsampling = Sub422;
  const std::vector<uint8_t> from_pixels = write_jpeg(ycc, yr, &status);
  ASSERT_EQ(status, JpegSuccess);
  BufferJob job({});
  job.job.out_pixels = packed.data();
  job.job.out_width = 40;
  job.job.out_height = 24;
  job.job.out_channels = 3;
  job.job.out_color = ColorYcbcr;
  job.job.out_subsampling = Sub422;
  job.job.jpeg_width = 40;
  job.job.jpeg_height = 24;
  job.job.jpeg_subsampling = Sub422;
  job.job.quality = 90;
  std::vector<uint8_t> out(1 << 16);
  job.job.jpeg_buffer = out.data();
  job.job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  ASSERT_EQ(jpeg_write(&job.job, IoWriteImageBuffer), JpegSuccess);
  out.resize(static_cast<size_t>(job.job.jpeg_buffer_size));
  EXPECT_EQ(out, from_pixels);
}

// A tables file (types 10/11) read with type 5, then the abbreviated image
// (types 12/13) read with type 7 on the same job: the whole image's pixels.
TEST(Encoder, TablesFileAndAbbreviatedImage) {
  const Image source = test_picture(64, 48, 3, 13);
  JpegStatus status;
  Request r;
  const std::vector<uint8_t> whole = write_jpeg(source, r, &status);
  ASSERT_EQ(status, JpegSuccess);
  const std::vector<uint8_t> tables = write_jpeg(source, r, &status, IoWriteTablesBuffer);
  ASSERT_EQ(status, JpegSuccess);
  EXPECT_EQ(count_markers(tables, 0xDA, 0xDA), 0u) << "no scan";
  EXPECT_EQ(count_markers(tables, 0xC0, 0xC0), 0u) << "no frame";
  const std::vector<uint8_t> data = write_jpeg(source, r, &status, IoWriteDataBuffer);
  ASSERT_EQ(status, JpegSuccess);
  EXPECT_EQ(count_markers(data, 0xDB, 0xDB), 0u) << "no DQT";
  EXPECT_EQ(count_markers(data, 0xC4, 0xC4), 0u) << "no DHT";
  Image expected;
  ASSERT_EQ(our_decode(whole, &expected), JpegSuccess);
  BufferJob job(tables);
  ASSERT_EQ(job.read(IoReadTablesBuffer), JpegSuccess);
  std::vector<uint8_t> abbreviated = data;
  job.job.jpeg_buffer = abbreviated.data();
  job.job.jpeg_buffer_size = static_cast<int32_t>(abbreviated.size());
  std::vector<uint8_t> pixels(expected.pixels.size());
  job.job.out_pixels = pixels.data();
  job.job.out_width = 64;
  job.job.out_height = 48;
  job.job.out_channels = 3;
  job.job.out_color = ColorRgb;
  ASSERT_EQ(job.read(IoReadAbbreviatedBuffer), JpegSuccess);
  EXPECT_EQ(pixels, expected.pixels);
}

// Output that does not fit: -28 for a buffer, with nothing written past its
// end; a file whose writing fails half way is removed, with -23.
TEST(Encoder, OutputThatDoesNotFit) {
  const Image source = test_picture(128, 128, 3, 17);
  JpegStatus status;
  const std::vector<uint8_t> whole = write_jpeg(source, Request{}, &status);
  ASSERT_EQ(status, JpegSuccess);
  for (size_t room : {size_t{0}, size_t{10}, whole.size() / 2, whole.size() - 1}) {
    std::vector<uint8_t> out(room + 64, 0xA5);
    BufferJob job({});
    job.job.out_pixels = const_cast<uint8_t*>(source.pixels.data());
    job.job.out_width = job.job.out_height = 128;
    job.job.out_channels = 3;
    job.job.out_color = ColorRgb;
    job.job.jpeg_width = job.job.jpeg_height = 128;
    job.job.quality = 90;
    job.job.jpeg_buffer = out.data();
    job.job.jpeg_buffer_size = static_cast<int32_t>(room);
    const JpegStatus result = jpeg_write(&job.job, IoWriteImageBuffer);
    EXPECT_EQ(result, room == 0 ? JpegInvalidProperties : JpegOutputTooSmall) << room;
    for (size_t i = room; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << "byte " << i;
  }
  // A file limited to 1000 bytes, in a process of its own.
  const std::string path = "/tmp/jpegcodec-write-limit-" + std::to_string(getpid());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    JpegJob job;
    std::memset(&job, 0, sizeof job);
    jpeg_init(&job);
    job.out_pixels = const_cast<uint8_t*>(source.pixels.data());
    job.out_width = job.out_height = 128;
    job.out_channels = 3;
    job.out_color = ColorRgb;
    job.jpeg_width = job.jpeg_height = 128;
    job.quality = 90;
    job.file_name = path.c_str();
    const JpegStatus result = jpeg_write(&job, IoWriteImageFile);
    _exit(result == JpegFileError && access(path.c_str(), F_OK) != 0 ? 0 : 1);
  }
  int child_status = 0;
  waitpid(child, &child_status, 0);
  EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0)
      << "-23 and no file left behind";
  unlink(path.c_str());
}

// Bad requests are refused with the validation table's status before any
// file is made.
TEST(Encoder, BadRequestsLeaveNothing) {
  const Image source = test_picture(16, 16, 3);
  const std::string path = "/tmp/jpegcodec-write-bad-" + std::to_string(getpid());
  struct Bad {
    const char* what;
    void (*spoil)(JpegJob*);
    JpegStatus expected;
  };
  const Bad cases[] = {
      {"null pixels", [](JpegJob* j) { j->out_pixels = nullptr; }, JpegInvalidProperties},
      {"zero width", [](JpegJob* j) { j->out_width = 0; }, JpegInvalidProperties},
      {"zero JPEG height", [](JpegJob* j) { j->jpeg_height = 0; }, JpegInvalidProperties},
      {"JPEG taller than the image", [](JpegJob* j) { j->jpeg_height = 17; },
       JpegInvalidProperties},
      {"grey to RGB",
       [](JpegJob* j) {
         j->out_color = ColorGray;
         j->out_channels = 1;
         j->jpeg_color = ColorRgb;
       },
       JpegInvalidProperties},
      {"four channels to YCbCr",
       [](JpegJob* j) {
         j->out_color = ColorFourChannel;
         j->out_channels = 4;
       },
       JpegInvalidProperties},
      {"quality 0", [](JpegJob* j) { j->quality = 0; }, JpegInvalidProperties},
      {"five components",
       [](JpegJob* j) {
         j->out_color = j->jpeg_color = ColorOther;
         j->out_channels = j->jpeg_channels = 5;
         j->jpeg_subsampling = Sub444;
       },
       JpegNotSupported},
      {"4:2:2 of grey",
       [](JpegJob* j) {
         j->out_color = j->jpeg_color = ColorGray;
         j->out_channels = j->jpeg_channels = 1;
         j->jpeg_subsampling = Sub422;
       },
       JpegUnsupportedSubsampling},
  };
  for (const Bad& bad : cases) {
    BufferJob job({});
    job.job.out_pixels = const_cast<uint8_t*>(source.pixels.data());
    job.job.out_width = job.job.out_height = 16;
    job.job.out_channels = 3;
    job.job.out_color = ColorRgb;
    job.job.jpeg_width = job.job.jpeg_height = 16;
    job.job.file_name = path.c_str();
    bad.spoil(&job.job);
    EXPECT_EQ(jpeg_write(&job.job, IoWriteImageFile), bad.expected) << bad.what;
    EXPECT_NE(access(path.c_str(), F_OK), 0) << bad.what << ": no file";
  }
}

// Against libjpeg-turbo at the same quality, on the start-up texture (a
// photo-like picture): the same quality (PSNR against the source within
// 0.1 dB) at the same size (within 1 %, with the standard tables); the
// optimised tables at least 5 % smaller than libjpeg-turbo's standard ones.
TEST(Encoder, LikeLibjpegTurboAtTheSameQuality) {
  Image source;
  ASSERT_EQ(our_decode(read_file(test_data("../../textures/rust.jpg")), &source), JpegSuccess);
  ASSERT_EQ(source.channels, 3);
  for (int quality : {50, 75, 90, 95}) {
    SCOPED_TRACE(testing::Message() << "quality " << quality);
    Request r;
    r.quality = quality;
    JpegStatus status;
    const std::vector<uint8_t> ours = write_jpeg(source, r, &status);
    ASSERT_EQ(status, JpegSuccess);
    const std::vector<uint8_t> theirs = libjpeg_write(source, quality, false);
    Image ours_back, theirs_back;
    ASSERT_TRUE(oracle_decode(ours, &ours_back));
    ASSERT_TRUE(oracle_decode(theirs, &theirs_back));
    EXPECT_NEAR(psnr(source, ours_back), psnr(source, theirs_back), 0.1);
    EXPECT_NEAR(double(ours.size()), double(theirs.size()), 0.01 * double(theirs.size()));
    r.optimize = 1;
    const std::vector<uint8_t> optimised = write_jpeg(source, r, &status);
    ASSERT_EQ(status, JpegSuccess);
    const std::vector<uint8_t> theirs_optimised = libjpeg_write(source, quality, true);
    // On a picture this small the tables' own bytes weigh: as small as
    // libjpeg-turbo's optimised file, within 1 %.
    EXPECT_LT(double(optimised.size()), 1.01 * double(theirs_optimised.size()));
  }
  // A larger picture: at least 5 % smaller than libjpeg-turbo's standard file.
  const Image large = test_picture(1024, 768, 3, 23);
  Request r;
  r.quality = 75;
  r.optimize = 1;
  JpegStatus status;
  const std::vector<uint8_t> optimised = write_jpeg(large, r, &status);
  ASSERT_EQ(status, JpegSuccess);
  EXPECT_LT(double(optimised.size()), 0.95 * double(libjpeg_write(large, 75, false).size()));
}

// ---- where the entropy coding reaches its limits ------------------------------------

// Flat blocks with a few rare busy ones: symbol counts skewed enough that
// the optimal codes would be longer than 16 bits.
Image skewed_picture(int width, int height) {
  Image picture{width, height, 1, std::vector<uint8_t>(size_t(width) * height, 128)};
  std::mt19937 random(5);
  for (int by = 0; by < height / 8; ++by) {
    for (int bx = 0; bx < width / 8; ++bx) {
      // One block in 2^k has k levels of noise: each rarer symbol half as
      // common as the one before.
      const int k = __builtin_ctz(static_cast<unsigned>(by * (width / 8) + bx + 1));
      if (k < 2) continue;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          const int value = 128 + static_cast<int>(random() % (8u << (k > 12 ? 12 : k) / 2)) -
                            (4 << (k > 12 ? 12 : k) / 2);
          picture.pixels[size_t(by * 8 + y) * width + bx * 8 + x] =
              static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
        }
      }
    }
  }
  return picture;
}

// The longest code any DHT segment of `data` defines.
int longest_code(const std::vector<uint8_t>& data) {
  int longest = 0;
  for (size_t i = 2; i + 4 < data.size();) {
    if (data[i] != 0xFF || data[i + 1] == 0xDA) break;
    const size_t length = size_t(data[i + 2]) << 8 | data[i + 3];
    if (data[i + 1] == 0xC4) {
      for (size_t at = i + 4; at + 17 <= i + 2 + length;) {
        int symbols = 0;
        for (int l = 1; l <= 16; ++l) {
          if (data[at + l] != 0) longest = std::max(longest, l);
          symbols += data[at + l];
        }
        at += 17 + symbols;
      }
    }
    i += 2 + length;
  }
  return longest;
}

TEST(EncoderLimits, OptimalCodesHeldToSixteenBitsKeepThePixels) {
  const Image picture = skewed_picture(1024, 512);
  Request grey;
  grey.out_color = grey.jpeg_color = ColorGray;
  grey.jpeg_channels = 1;
  grey.subsampling = Sub444;
  grey.quality = 95;
  JpegStatus status;
  const std::vector<uint8_t> plain = write_jpeg(picture, grey, &status);
  ASSERT_EQ(status, JpegSuccess);
  Request optimised = grey;
  optimised.optimize = 1;
  const std::vector<uint8_t> data = write_jpeg(picture, optimised, &status);
  ASSERT_EQ(status, JpegSuccess);
  // The counts are skewed enough that the limit was needed.
  EXPECT_EQ(longest_code(data), 16);
  Image expected, ours, theirs;
  ASSERT_EQ(our_decode(plain, &expected), JpegSuccess);
  ASSERT_EQ(our_decode(data, &ours), JpegSuccess);
  EXPECT_EQ(ours.pixels, expected.pixels) << "the same coefficients, other codes";
  ASSERT_TRUE(oracle_decode(data, &theirs));
  EXPECT_GE(psnr(ours, theirs), 45.0);
}

TEST(EncoderLimits, ProgressiveFilesKeepTheBaselinePixels) {
  // Widths of 16k + 1 under 4:2:0 and 4:2:2 (a chroma block column that
  // only the last MCU has), and a band of more than 32,767 blocks, all
  // zero (end-of-band runs at their limit).
  struct Case {
    Image picture;
    int32_t subsampling;
    int32_t optimize;
  };
  Image flat{2048, 1040, 3, std::vector<uint8_t>(size_t(2048) * 1040 * 3, 90)};
  const Case cases[] = {{test_picture(33, 20, 3, 2), Sub420, 0},
                        {test_picture(49, 17, 3, 3), Sub422, 1},
                        {test_picture(17, 33, 3, 4), Sub420, 1},
                        {flat, Sub420, 0},
                        {flat, Sub444, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.picture.width << "x" << c.picture.height << " sampling " << c.subsampling);
    Request r;
    r.subsampling = c.subsampling;
    r.optimize = c.optimize;
    JpegStatus status;
    const std::vector<uint8_t> plain = write_jpeg(c.picture, r, &status);
    ASSERT_EQ(status, JpegSuccess);
    r.progressive = 1;
    const std::vector<uint8_t> progressive = write_jpeg(c.picture, r, &status);
    ASSERT_EQ(status, JpegSuccess);
    Image expected, ours, theirs;
    ASSERT_EQ(our_decode(plain, &expected), JpegSuccess);
    ASSERT_EQ(our_decode(progressive, &ours), JpegSuccess);
    EXPECT_EQ(ours.pixels, expected.pixels);
    ASSERT_TRUE(oracle_decode(progressive, &theirs));
    EXPECT_GE(psnr(ours, theirs), 45.0);
  }
}

TEST(EncoderLimits, PackedInputOfOddWidth) {
  // Y,Cb,Y,Cr pairs of a 17-pixel line: the last pixel has its Y and Cb
  // (its pair is cut), and its chroma stays its own.
  const int width = 17, height = 9;
  std::vector<uint8_t> packed(size_t(width) * 2 * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* px = packed.data() + size_t(y) * width * 2 + x * 2;
      px[0] = static_cast<uint8_t>(40 + 11 * x + 3 * y);                      // Y
      px[1] = static_cast<uint8_t>((x & 1) == 0 ? 90 + 8 * x : 200 - 4 * y);  // Cb or Cr
    }
  }
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  jpeg_init(&job);
  job.out_pixels = packed.data();
  job.out_width = job.jpeg_width = width;
  job.out_height = job.jpeg_height = height;
  job.out_channels = 3;
  job.out_color = job.jpeg_color = ColorYcbcr;
  job.out_subsampling = Sub422;
  job.jpeg_subsampling = Sub422;
  job.quality = 100;
  std::vector<uint8_t> out(65536);
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  ASSERT_EQ(jpeg_write(&job, IoWriteImageBuffer), JpegSuccess);
  out.resize(job.jpeg_buffer_size);
  jpeg_free(&job);
  // Read back as packed Y,Cb,Y,Cr: within the rounding of quality 100.
  BufferJob back(out);
  std::vector<uint8_t> again(packed.size() + 2, 0);
  back.job.out_pixels = again.data();
  back.job.out_width = width;
  back.job.out_height = height;
  back.job.out_channels = 2;
  back.job.out_color = ColorYcbcr;
  back.job.out_subsampling = Sub422;
  ASSERT_EQ(back.read(IoReadImageBuffer), JpegSuccess);
  int worst = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const size_t at = size_t(y) * width * 2 + x * 2;
      worst = std::max(worst, std::abs(int(again[at]) - packed[at]));
      if (x + 1 < width || (x & 1) == 0) {
        worst = std::max(worst, std::abs(int(again[at + 1]) - packed[at + 1]));
      }
    }
  }
  EXPECT_LE(worst, 2);
}

TEST(EncoderLimits, RestartIntervalUpToItsField) {
  const Image picture = test_picture(16, 16, 3);
  Request r;
  r.restart = 65535;
  JpegStatus status;
  const std::vector<uint8_t> data = write_jpeg(picture, r, &status);
  ASSERT_EQ(status, JpegSuccess);
  const std::vector<uint8_t> dri = {0xFF, 0xDD, 0x00, 0x04, 0xFF, 0xFF};
  EXPECT_NE(std::search(data.begin(), data.end(), dri.begin(), dri.end()), data.end());
  r.restart = 65536;
  EXPECT_TRUE(write_jpeg(picture, r, &status).empty());
  EXPECT_EQ(status, JpegInvalidProperties);
}
