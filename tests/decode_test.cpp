// Whole-image decoding against oracles of its own: regions against crops,
// repeated regions, interrupt mode, bottom-up rows, sequential against
// progressive, the portable routines against the detected ones; restart
// intervals, the restart index, and broken data.

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "jpeg/decode/scan.h"
#include "tests/jpeg_test_util.h"
#include "tests/libjpeg_encode.h"

using namespace jpegcodec;

namespace {

struct Decoded {
  JpegStatus status = JpegSuccess;
  int32_t width = 0, height = 0, channels = 0;
  std::vector<uint8_t> pixels;
  uint8_t* at(int x, int y) {
    return pixels.data() + (static_cast<size_t>(y) * width + x) * channels;
  }
};

struct Request {
  int scale = 1;
  int32_t roi[4] = {};
  bool bottom_up = false;
  bool interrupt = false;
  int32_t out_color = ColorRgb;
  int32_t channels = 3;
  uint8_t fill = 0xEE;  // what the buffer holds before the decode
  bool smooth = false;  // the smoothing upsampler
};

// Decodes `data` as asked into a buffer that starts filled with 0xEE.
Decoded decode(const std::vector<uint8_t>& data, const Request& r = Request()) {
  Decoded d;
  BufferJob job(data);
  d.status = job.read(IoReadParamsBuffer);
  if (d.status != JpegSuccess) return d;
  if (job.job.jpeg_channels == 1 && r.out_color == ColorRgb) {
    job.job.jpeg_color = ColorGray;
  }
  d.channels = r.channels;
  d.width = (job.job.jpeg_width + r.scale - 1) / r.scale;
  d.height = (job.job.jpeg_height + r.scale - 1) / r.scale;
  if (r.roi[2] != 0) {
    for (int i = 0; i < 4; ++i) (&job.job.properties.roi_left)[i] = r.roi[i];
    d.width = std::min(r.roi[2], d.width) - r.roi[0];
    d.height = std::min(r.roi[3], d.height) - r.roi[1];
  }
  d.pixels.assign(static_cast<size_t>(d.width) * d.height * d.channels, r.fill);
  job.job.out_pixels = d.pixels.data();
  job.job.out_width = d.width;
  job.job.out_height = r.bottom_up ? -d.height : d.height;
  job.job.out_channels = r.channels;
  job.job.out_color = r.out_color;
  job.job.properties.smooth_upsampling = r.smooth ? 1 : 0;
  const int32_t type = scaled_read_type(r.scale);
  int calls = 0;
  do {
    if (r.interrupt) job.job.properties.interrupt_mode = 1;
    d.status = job.read(type);
    ++calls;
  } while (d.status == JpegInterruptSuccess && calls < 1000000);
  return d;
}

double psnr(const Decoded& a, const Decoded& b) {
  return pixels_psnr(a.pixels, b.pixels);
}

void expect_crop(Decoded& full, Decoded& region, int left, int top, const std::string& what) {
  ASSERT_EQ(region.status, full.status == JpegSuccess ? JpegRoiSuccess : full.status) << what;
  for (int y = 0; y < region.height; ++y) {
    for (int x = 0; x < region.width; ++x) {
      for (int c = 0; c < region.channels; ++c) {
        ASSERT_EQ(region.at(x, y)[c], full.at(left + x, top + y)[c])
            << what << " pixel " << x << "," << y << " channel " << c;
      }
    }
  }
}

}  // namespace

TEST(RegionDecode, EqualsTheFullDecodeCropped) {
  const char* files[] = {"generated/base_420.jpg",     "generated/base_422.jpg",
                         "generated/gray.jpg",         "generated/prog_420.jpg",
                         "generated/restart_rows.jpg", "generated/odd_33x9_420.jpg",
                         "generated/base_411.jpg",     "generated/seq_separate_scans.jpg"};
  const int regions[][4] = {{0, 0, 17, 9}, {13, 21, 90, 77}, {40, 16, 56, 32}, {5, 3, 6, 4}};
  for (const char* file : files) {
    const std::vector<uint8_t> data = read_file(test_data(file));
    for (int scale : {1, 2}) {
      Request whole;
      whole.scale = scale;
      Decoded full = decode(data, whole);
      ASSERT_EQ(full.status, JpegSuccess) << file;
      for (const auto& box : regions) {
        Request r = whole;
        for (int i = 0; i < 4; ++i) r.roi[i] = box[i];
        if (box[0] >= full.width || box[1] >= full.height) continue;
        Decoded region = decode(data, r);
        expect_crop(full, region, box[0], box[1],
                    std::string(file) + " scale " + std::to_string(scale) + " region " +
                        std::to_string(box[0]) + "," + std::to_string(box[1]));
      }
    }
  }
}

TEST(RegionDecode, ProgressiveRegionsSeeEveryScan) {
  // libjpeg-turbo's progression refines luma after the scans that first
  // complete every component; a region must include those refinements, and
  // with smoothing its last columns and rows too.
  const std::vector<uint8_t> progressive = encode(72, 56, 3, 0, true);
  const std::vector<uint8_t> sequential = encode(72, 56, 3);
  const int regions[][4] = {{0, 0, 72, 40}, {24, 16, 72, 56}, {9, 5, 70, 50}, {17, 17, 40, 33}};
  for (int kind = 0; kind < 4; ++kind) {
    const std::vector<uint8_t>& data = kind < 2 ? progressive : sequential;
    const bool smooth = kind % 2 == 1;
    Request whole;
    whole.smooth = smooth;
    Decoded full = decode(data, whole);
    ASSERT_EQ(full.status, JpegSuccess);
    for (const auto& box : regions) {
      Request r = whole;
      for (int i = 0; i < 4; ++i) r.roi[i] = box[i];
      Decoded region = decode(data, r);
      expect_crop(full, region, box[0], box[1],
                  std::string(kind < 2 ? "progressive " : "sequential ") +
                      (smooth ? "smoothed" : "plain") + " region " + std::to_string(box[0]) + "," +
                      std::to_string(box[1]));
    }
  }
}

TEST(RegionDecode, ARegionMustBeARectangleInTheImage) {
  const std::vector<uint8_t> data = read_file(test_data("generated/base_420.jpg"));
  const int32_t refused[][4] = {{50, 0, 40, 100},   {0, 60, 100, 60},     {320, 0, 0, 0},
                                {0, 240, 400, 300}, {INT32_MAX, 0, 0, 0}, {0, 0, -5, 10}};
  for (const auto& box : refused) {
    BufferJob job(data);
    std::vector<uint8_t> pixels(320 * 240 * 3, 0x11);
    job.job.out_pixels = pixels.data();
    job.job.out_width = 320;
    job.job.out_height = 240;
    job.job.out_color = ColorRgb;
    for (int i = 0; i < 4; ++i) (&job.job.properties.roi_left)[i] = box[i];
    EXPECT_EQ(job.read(IoReadImageBuffer), JpegInvalidProperties) << box[0] << "," << box[1];
    EXPECT_EQ(pixels, std::vector<uint8_t>(320 * 240 * 3, 0x11)) << "written to";
  }
  // Right and bottom edges of 0 reach the image's edges.
  Decoded full = decode(data);
  Decoded corner;
  corner.width = 20;
  corner.height = 40;
  corner.channels = 3;
  corner.pixels.assign(20 * 40 * 3, 0);
  BufferJob job(data);
  job.job.out_pixels = corner.pixels.data();
  job.job.out_width = 20;
  job.job.out_height = 40;
  job.job.out_color = ColorRgb;
  job.job.properties.roi_left = 300;
  job.job.properties.roi_top = 200;
  corner.status = job.read(IoReadImageBuffer);
  expect_crop(full, corner, 300, 200, "open edges");
}

TEST(RegionDecode, ARegionEqualToTheImageIsNoRegion) {
  const std::vector<uint8_t> data = read_file(test_data("generated/base_420.jpg"));
  Request r;
  r.roi[2] = 320;
  r.roi[3] = 240;
  EXPECT_EQ(decode(data, r).status, JpegSuccess) << "the whole-image decoder ran";
}

TEST(RegionDecode, RestartIndexTurnsALaterRegionIntoASeek) {
  // 15 MCU rows of 8 pixels.
  const std::vector<uint8_t> data = encode(64, 120, 1);
  Request grey;
  grey.out_color = ColorGray;
  grey.channels = 1;
  Decoded full = decode(data, grey);
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<uint8_t> pixels(64 * 24);
  auto read_region = [&](int top) {
    JPEG_PROPERTIES& p = job.job.properties;
    p.roi_left = 0;
    p.roi_top = top;
    p.roi_right = 64;
    p.roi_bottom = top + 24;
    job.job.out_pixels = pixels.data();
    job.job.out_width = 64;
    job.job.out_height = 24;
    job.job.out_channels = 1;
    job.job.out_color = ColorGray;
    job.job.jpeg_color = ColorGray;
    return job.read(IoReadImageBuffer);
  };
  ASSERT_EQ(read_region(80), JpegRoiSuccess);  // rows 10..12
  for (int row = 0; row <= 10; ++row)
    EXPECT_TRUE(restart_index_knows(&job.job.properties, row)) << row;
  for (int y = 0; y < 24; ++y) {
    ASSERT_EQ(0, std::memcmp(pixels.data() + 64 * y, full.at(0, 80 + y), 64)) << "row " << y;
  }
  // A second region above the first: straight to row 5 through the index.
  ASSERT_EQ(read_region(40), JpegRoiSuccess);
  for (int y = 0; y < 24; ++y) {
    ASSERT_EQ(0, std::memcmp(pixels.data() + 64 * y, full.at(0, 40 + y), 64)) << "row " << y;
  }
  // And the same region again gives the same bytes.
  std::vector<uint8_t> first(pixels);
  ASSERT_EQ(read_region(40), JpegRoiSuccess);
  EXPECT_EQ(first, pixels);
}

TEST(RegionDecode, AWholeReadOfALargeImageIndexesItForTheRegionsThatFollow) {
  // 1024 x 1024 4:2:0: 64 MCU rows, large enough for a whole read to record
  // the index. Each region read on the job that read the whole image gives
  // the region read of a new job; from a buffer and from a file, with and
  // without restart intervals, after full-size and 1/8 reads.
  const int32_t kSide = 1024;
  for (int restart : {0, 7}) {
    const std::vector<uint8_t> data = encode(kSide, kSide, 3, restart);
    TempFile file(data);
    Decoded full = decode(data);
    ASSERT_EQ(full.status, JpegSuccess);
    for (bool from_file : {false, true}) {
      for (int first_scale : {1, 8}) {
        SCOPED_TRACE(std::string(from_file ? "file" : "buffer") + ", restart " +
                     std::to_string(restart) + ", first read at 1/" + std::to_string(first_scale));
        BufferJob job(data);
        job.job.file_name = file.path.c_str();
        ASSERT_EQ(job.read(from_file ? IoReadParamsFile : IoReadParamsBuffer), JpegSuccess);
        const int32_t side = kSide / first_scale;
        std::vector<uint8_t> whole(size_t(side) * side * 3);
        job.job.out_pixels = whole.data();
        job.job.out_width = job.job.out_height = side;
        job.job.out_channels = 3;
        job.job.out_color = ColorRgb;
        const int32_t type = first_scale == 1 ? (from_file ? IoReadImageFile : IoReadImageBuffer)
                                              : (from_file ? IoReadEighthFile : IoReadEighthBuffer);
        ASSERT_EQ(job.read(type), JpegSuccess);
        if (first_scale == 1) {
          EXPECT_EQ(whole, full.pixels);
        }
        EXPECT_TRUE(restart_index_knows(&job.job.properties, 63)) << "the last row is indexed";
        // Lower regions first (the second, right of the first in its rows,
        // starts from a checkpoint the first recorded when the whole read
        // was at 1/8), then one above them, then one at the edges.
        for (const auto& roi :
             {std::array<int32_t, 4>{300, 700, 600, 900},
              std::array<int32_t, 4>{500, 720, 700, 800}, std::array<int32_t, 4>{40, 100, 560, 130},
              std::array<int32_t, 4>{1000, 1000, 1024, 1024}}) {
          const int32_t w = roi[2] - roi[0], h = roi[3] - roi[1];
          std::vector<uint8_t> region(size_t(w) * h * 3, 0xEE);
          JPEG_PROPERTIES& p = job.job.properties;
          p.roi_left = roi[0];
          p.roi_top = roi[1];
          p.roi_right = roi[2];
          p.roi_bottom = roi[3];
          job.job.out_pixels = region.data();
          job.job.out_width = w;
          job.job.out_height = h;
          ASSERT_EQ(job.read(from_file ? IoReadImageFile : IoReadImageBuffer), JpegRoiSuccess);
          for (int y = 0; y < h; ++y) {
            ASSERT_EQ(0, std::memcmp(region.data() + size_t(y) * w * 3, full.at(roi[0], roi[1] + y),
                                     size_t(w) * 3))
                << "region at " << roi[0] << "," << roi[1] << ", row " << y;
          }
        }
      }
    }
  }
}

TEST(ScaledDecode, EighthOfALargeImageIsItsBlocksMeans) {
  // At 1/8 a large image's blocks are read for their DC alone, their AC
  // codes passed over two at a time: each pixel is its block's mean (within
  // the rounding of the two transforms), so a code passed over wrongly, which
  // throws every later block off, cannot go unseen. Grey and colour.
  for (int components : {1, 3}) {
    // 1024 x 1024: large enough for the skip tables.
    const std::vector<uint8_t> data = encode(1024, 1024, components);
    Request full_request, eighth_request;
    if (components == 1) {
      full_request.out_color = eighth_request.out_color = ColorGray;
      full_request.channels = eighth_request.channels = 1;
    }
    eighth_request.scale = 8;
    Decoded full = decode(data, full_request);
    Decoded eighth = decode(data, eighth_request);
    ASSERT_EQ(full.status, JpegSuccess);
    ASSERT_EQ(eighth.status, JpegSuccess);
    int worst = 0;
    for (int by = 0; by < 128; ++by) {
      for (int bx = 0; bx < 128; ++bx) {
        for (int c = 0; c < full.channels; ++c) {
          int sum = 0;
          for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) sum += full.at(bx * 8 + x, by * 8 + y)[c];
          }
          worst = std::max(worst, std::abs((sum + 32) / 64 - eighth.at(bx, by)[c]));
        }
      }
    }
    // Colour: 4:2:0 chroma at 1/8 comes from 2x2 means, and the reduced
    // scale converts with the other green rule; a misread code would be off
    // by far more.
    EXPECT_LE(worst, components == 1 ? 3 : 8) << components << " component(s)";
  }
}

TEST(RegionDecode, AWholeReadWhoseDataEndedLeavesNoIndexToTrust) {
  // The data end in row 40 of 64: a region below gives what it gives on a
  // new job (grey where the data are missing), not bytes from a stale index.
  std::vector<uint8_t> data = encode(1024, 1024, 3);
  data.resize(data.size() * 5 / 8);
  Request region;
  region.roi[0] = 300;
  region.roi[1] = 600;
  region.roi[2] = 600;
  region.roi[3] = 900;
  const Decoded expected = decode(data, region);
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<uint8_t> whole(size_t(1024) * 1024 * 3);
  job.job.out_pixels = whole.data();
  job.job.out_width = job.job.out_height = 1024;
  job.job.out_channels = 3;
  job.job.out_color = ColorRgb;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegEofError);
  std::vector<uint8_t> pixels(size_t(300) * 300 * 3, 0xEE);
  for (int i = 0; i < 4; ++i) (&job.job.properties.roi_left)[i] = region.roi[i];
  job.job.out_pixels = pixels.data();
  job.job.out_width = job.job.out_height = 300;
  EXPECT_EQ(job.read(IoReadImageBuffer), expected.status);
  EXPECT_EQ(pixels, expected.pixels);
}

TEST(InterruptMode, GivesTheBytesOfOneCall) {
  // One call decodes and writes MCUs in batches (grey rows and colour at
  // 1/8 by the batch writers); interrupt mode goes MCU by MCU: the same
  // bytes at every scale, for grey to one, three and four channels, colour
  // to RGB and BGR, and files whose batches end at restart markers.
  struct Output {
    int32_t color, channels;
  };
  const Output grey_outputs[] = {{ColorGray, 1}, {ColorRgb, 3}, {ColorFourChannel, 4}};
  const Output colour_outputs[] = {{ColorRgb, 3}, {ColorBgr, 3}};
  for (const char* file :
       {"generated/base_420.jpg", "generated/base_422.jpg", "generated/base_444.jpg",
        "generated/base_440.jpg", "generated/prog_420.jpg", "generated/gray.jpg",
        "generated/restart_mcus.jpg", "generated/restart_rows.jpg"}) {
    const std::vector<uint8_t> data = read_file(test_data(file));
    const bool grey = std::string(file).find("gray") != std::string::npos;
    for (const Output& out :
         grey ? std::span<const Output>(grey_outputs) : std::span<const Output>(colour_outputs)) {
      for (int scale : {1, 2, 4, 8}) {
        Request r;
        r.scale = scale;
        r.out_color = out.color;
        r.channels = out.channels;
        Decoded once = decode(data, r);
        r.interrupt = true;
        Decoded stepped = decode(data, r);
        const std::string what = std::string(file) + " 1/" + std::to_string(scale) + ", " +
                                 std::to_string(out.channels) + " channels";
        ASSERT_EQ(once.status, JpegSuccess) << what;
        ASSERT_EQ(stepped.status, JpegSuccess) << what;
        EXPECT_EQ(once.pixels, stepped.pixels) << what;
      }
    }
  }
}

TEST(InterruptMode, ThreeByTwoMcusReturnOneFiveTimes) {
  const std::vector<uint8_t> data = encode(24, 16, 1);
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<uint8_t> pixels(24 * 16);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 24;
  job.job.out_height = 16;
  job.job.out_channels = 1;
  job.job.out_color = ColorGray;
  std::vector<JpegStatus> results;
  std::vector<std::pair<int, int>> reports;
  for (int call = 0; call < 10; ++call) {
    job.job.properties.interrupt_mode = 1;
    const JpegStatus status = job.read(IoReadImageBuffer);
    results.push_back(status);
    if (status != JpegInterruptSuccess) break;
    reports.emplace_back(job.job.properties.roi_left, job.job.properties.roi_top);
  }
  ASSERT_EQ(results.size(), 6u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(results[i], JpegInterruptSuccess) << i;
  EXPECT_EQ(results[5], JpegSuccess);
  EXPECT_EQ(reports[0], std::make_pair(0, 0));
  EXPECT_EQ(reports[3], std::make_pair(0, 1));
}

TEST(OutputLayouts, BottomUpIsTopDownFlipped) {
  for (const char* file :
       {"generated/base_420.jpg", "generated/cmyk.jpg", "generated/prog_444.jpg"}) {
    const std::vector<uint8_t> data = read_file(test_data(file));
    Request r;
    if (std::string(file).find("cmyk") != std::string::npos) {
      r.out_color = ColorFourChannel;
      r.channels = 4;
    }
    Decoded down = decode(data, r);
    r.bottom_up = true;
    Decoded up = decode(data, r);
    ASSERT_EQ(down.status, JpegSuccess) << file;
    ASSERT_EQ(up.status, JpegSuccess) << file;
    const size_t row = static_cast<size_t>(down.width) * down.channels;
    for (int y = 0; y < down.height; ++y) {
      ASSERT_EQ(0, std::memcmp(down.at(0, y), up.at(0, down.height - 1 - y), row))
          << file << " " << y;
    }
  }
}

TEST(OutputLayouts, SequentialAndProgressiveAgree) {
  const std::vector<uint8_t> sequential = encode(96, 64, 3);
  const std::vector<uint8_t> progressive = encode(96, 64, 3, 0, true);
  Decoded a = decode(sequential), b = decode(progressive);
  ASSERT_EQ(a.status, JpegSuccess);
  ASSERT_EQ(b.status, JpegSuccess);
  EXPECT_GE(psnr(a, b), 60.0) << "the same coefficients, coded two ways";
}

TEST(OutputLayouts, PortableRoutinesGiveTheSameBytes) {
  // The routines chosen for this processor against the portable ones forced
  // by JPEG_USECPU=0: the same bytes, at every scale and in both families.
  const char* saved = std::getenv("JPEG_USECPU");
  const std::string before = saved != nullptr ? saved : "";
  struct Layout {
    int32_t color, channels;
  };
  for (const char* file :
       {"generated/base_420.jpg", "generated/prog_420.jpg", "generated/base_444.jpg",
        "generated/base_422.jpg", "generated/base_440.jpg", "generated/base_411.jpg",
        "generated/odd_17x17_420.jpg", "generated/gray.jpg"}) {
    const std::vector<uint8_t> data = read_file(test_data(file));
    for (int variant = 0; variant < 8; ++variant) {
      // Every scale in RGB; BGR at full scale and 1/2; four channels at full
      // scale; a region at 1/2 whose edges cut MCUs.
      constexpr int kScales[8] = {1, 2, 8, 1, 1, 4, 2, 2};
      const int scale = kScales[variant];
      const Layout layout = variant == 3 || variant == 6 ? Layout{ColorBgr, 3}
                            : variant == 4               ? Layout{ColorFourChannel, 4}
                                                         : Layout{ColorRgb, 3};
      Request r;
      r.scale = scale;
      r.out_color = layout.color;
      r.channels = layout.channels;
      if (variant == 7) {
        const int32_t box[4] = {3, 5, 71, 37};
        std::copy(box, box + 4, r.roi);
      }
      if (saved != nullptr) {
        unsetenv("JPEG_USECPU");
      }
      Decoded detected = decode(data, r);
      setenv("JPEG_USECPU", "0", 1);
      Decoded portable = decode(data, r);
      if (saved != nullptr) {
        setenv("JPEG_USECPU", before.c_str(), 1);
      } else {
        unsetenv("JPEG_USECPU");
      }
      ASSERT_EQ(detected.status, variant == 7 ? JpegRoiSuccess : JpegSuccess)
          << file << " variant " << variant;
      EXPECT_TRUE(detected.pixels == portable.pixels) << file << " variant " << variant;
    }
  }
}

TEST(OutputLayouts, ReducedRgbIsTheFourChannelWritersColour) {
  // Three-channel output at reduced scale takes one-pass paths (whole
  // batches of MCUs a row at a time, or MCU by MCU) for 4:4:4, 4:2:2,
  // 4:4:0, 4:2:0 and the samplings of one chroma block an MCU; four
  // channels still go through the upsampling writer and the in-place
  // conversion. Their colours must agree byte for byte, for whole images
  // and for regions that cut MCUs.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (const char* file :
       {"generated/base_420.jpg", "generated/base_444.jpg", "generated/base_422.jpg",
        "generated/base_440.jpg", "generated/prog_420.jpg", "generated/odd_33x9_420.jpg",
        "generated/odd_17x17_prog.jpg"}) {
    files.emplace_back(file, read_file(test_data(file)));
  }
  for (auto [h, v] : {std::pair{1, 4}, {4, 1}, {4, 2}}) {
    EncodeOptions options;
    options.h0 = h;
    options.v0 = v;
    files.emplace_back(std::to_string(h) + "x" + std::to_string(v),
                       encode_with(150, 130, 3, options));
  }
  for (const auto& [file, data] : files) {
    for (int scale : {2, 4, 8}) {
      for (bool region : {false, true}) {
        Request three;
        three.scale = scale;
        if (region) {
          three.roi[0] = 1;
          three.roi[1] = 2;
          three.roi[2] = 30 / scale + 3;
          three.roi[3] = 20 / scale + 3;
        }
        Request four = three;
        four.out_color = ColorFourChannel;
        four.channels = 4;
        Decoded rgb = decode(data, three);
        Decoded rgbx = decode(data, four);
        ASSERT_EQ(rgb.status, rgbx.status) << file;
        ASSERT_EQ(rgb.width * rgb.height, rgbx.width * rgbx.height) << file;
        int differing = 0;
        for (int y = 0; y < rgb.height; ++y) {
          for (int x = 0; x < rgb.width; ++x) {
            differing += std::memcmp(rgb.at(x, y), rgbx.at(x, y), 3) != 0;
          }
        }
        EXPECT_EQ(differing, 0) << file << " scale " << scale << (region ? " region" : "");
      }
    }
  }
}

TEST(RestartIntervals, ResynchroniseWhereTheyShould) {
  // 10 MCUs with an interval of 5: one marker, after MCU 5; none after MCU 10.
  const std::vector<uint8_t> data = encode(80, 8, 1, 5);
  int markers = 0;
  for (size_t i = 0; i + 1 < data.size(); ++i)
    markers += data[i] == 0xFF && (data[i + 1] & 0xF8) == 0xD0;
  ASSERT_EQ(markers, 1);
  Decoded with = decode(data);
  Decoded without = decode(encode(80, 8, 1, 0));
  ASSERT_EQ(with.status, JpegSuccess);
  EXPECT_EQ(with.pixels, without.pixels);
  // Wrong restart numbers and garbage before a marker (corpus files).
  for (const char* file : {"generated/rst_wrong_numbers.jpg", "generated/rst_garbage.jpg",
                           "generated/restart_mcus.jpg", "generated/restart_prog.jpg"}) {
    Decoded d = decode(read_file(test_data(file)));
    EXPECT_EQ(d.status, JpegSuccess) << file;
  }
}

// Decodes twice into buffers filled differently: a byte the decode did not
// write would differ.
void expect_fully_written(const std::vector<uint8_t>& data, JpegStatus* status,
                          const Request& request = Request()) {
  Request a = request, b = request;
  a.fill = 0xEE;
  b.fill = 0x11;
  Decoded first = decode(data, a), second = decode(data, b);
  *status = first.status;
  EXPECT_EQ(first.status, second.status);
  EXPECT_EQ(first.pixels, second.pixels) << "every byte of the image is written";
  // An interrupt-mode read paints its grey before the first scan; a read
  // in one call paints it at the end where nothing was written: the same
  // image.
  Request c = request;
  c.interrupt = true;
  EXPECT_EQ(decode(data, c).pixels, first.pixels) << "grey exactly where nothing was written";
}

TEST(BrokenData, EndsWithAStatusAndACompleteImage) {
  JpegStatus status;
  expect_fully_written(read_file(test_data("generated/truncated_half.jpg")), &status);
  EXPECT_EQ(status, JpegEofError) << jpeg_status_text(status);
  // The grey of what the data no longer reach is painted where the data
  // stopped, at every size, written top-down or bottom-up, and for a
  // single-component image.
  for (int scale : {2, 8}) {
    for (bool bottom_up : {false, true}) {
      Request r;
      r.scale = scale;
      r.bottom_up = bottom_up;
      expect_fully_written(read_file(test_data("generated/truncated_half.jpg")), &status, r);
      EXPECT_EQ(status, JpegEofError) << "1/" << scale << (bottom_up ? ", bottom-up" : "");
    }
  }
  // And for regions: one the data's end cuts through, one wholly past it.
  for (const std::array<int32_t, 4>& roi :
       {std::array<int32_t, 4>{30, 60, 250, 200}, std::array<int32_t, 4>{40, 200, 300, 240}}) {
    Request r;
    for (int i = 0; i < 4; ++i) r.roi[i] = roi[i];
    expect_fully_written(read_file(test_data("generated/truncated_half.jpg")), &status, r);
    EXPECT_EQ(status, JpegEofError) << "region from row " << roi[1];
  }
  std::vector<uint8_t> grey = encode(200, 120, 1);
  grey.resize(grey.size() / 2);
  Request grey_request;
  grey_request.out_color = ColorGray;
  grey_request.channels = 1;
  expect_fully_written(grey, &status, grey_request);
  EXPECT_EQ(status, JpegEofError);
  // Progressive data cut in the middle: what the scans held is shown.
  std::vector<uint8_t> prog = read_file(test_data("generated/prog_420.jpg"));
  prog.resize(prog.size() * 2 / 3);
  expect_fully_written(prog, &status);
  EXPECT_LT(status, 0);
  // Damaged entropy data never crashes and always writes the whole image.
  std::vector<uint8_t> damaged = read_file(test_data("generated/base_420.jpg"));
  for (size_t i = 700; i < damaged.size(); i += 97) damaged[i] ^= 0x5A;
  expect_fully_written(damaged, &status);
}

TEST(BrokenData, ABadOutputBufferIsCaught) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports the wild access itself, before the processor faults";
#endif
  const std::vector<uint8_t> data = read_file(test_data("generated/base_420.jpg"));
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* forbidden = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  job.job.out_pixels = static_cast<uint8_t*>(forbidden);
  job.job.out_width = 320;
  job.job.out_height = 240;
  job.job.out_color = ColorRgb;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegExceptionDetected);
  munmap(forbidden, page);
  // The job can be freed and the codec used again.
  Decoded again = decode(data);
  EXPECT_EQ(again.status, JpegSuccess);
}

TEST(ReducedScale, EqualsTheBoxFilteredFullDecode) {
  for (const char* file :
       {"generated/base_420.jpg", "generated/base_422.jpg", "generated/gray.jpg",
        "generated/prog_420.jpg", "generated/base_444.jpg", "generated/seq_separate_scans.jpg"}) {
    const std::vector<uint8_t> data = read_file(test_data(file));
    Decoded full = decode(data);
    ASSERT_EQ(full.status, JpegSuccess) << file;
    for (int scale : {2, 4, 8}) {
      Request r;
      r.scale = scale;
      Decoded small = decode(data, r);
      ASSERT_EQ(small.status, JpegSuccess) << file << " 1/" << scale;
      // Box means of the full decode, over the pixels each reduced one covers.
      Decoded boxed = small;
      for (int y = 0; y < small.height; ++y) {
        for (int x = 0; x < small.width; ++x) {
          for (int c = 0; c < small.channels; ++c) {
            int sum = 0, n = 0;
            for (int j = y * scale; j < std::min((y + 1) * scale, full.height); ++j) {
              for (int i = x * scale; i < std::min((x + 1) * scale, full.width); ++i) {
                sum += full.at(i, j)[c];
                ++n;
              }
            }
            boxed.at(x, y)[c] = static_cast<uint8_t>((sum + n / 2) / n);
          }
        }
      }
      EXPECT_GE(psnr(small, boxed), 30.0) << file << " 1/" << scale;
    }
  }
}

TEST(FastTransform, StaysCloseToTheAccurateOne) {
  for (const char* file : {"generated/base_420.jpg", "generated/prog_444.jpg", "generated/gray.jpg",
                           "generated/q100.jpg", "generated/sof1_16bit_tables.jpg"}) {
    const std::vector<uint8_t> data = read_file(test_data(file));
    Decoded accurate = decode(data);
    // The family is chosen after the tables were read: they are prepared anew.
    BufferJob job(data);
    ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
    Decoded fast = accurate;
    std::fill(fast.pixels.begin(), fast.pixels.end(), 0);
    job.job.out_pixels = fast.pixels.data();
    job.job.out_width = fast.width;
    job.job.out_height = fast.height;
    job.job.out_channels = fast.channels;
    job.job.out_color = ColorRgb;
    if (job.job.jpeg_channels == 1) job.job.jpeg_color = ColorGray;
    job.job.properties.dct_family = 0;
    ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess) << file;
    EXPECT_GE(psnr(accurate, fast), 35.0) << file;
  }
}

TEST(BrokenData, InputsFoundByFuzzingEndWithAStatus) {
  // Each once crashed the codec or read out of bounds (run under the
  // sanitizers, this test is the regression check).
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(test_data("fuzz"))) {
    const std::vector<uint8_t> data = read_file(entry.path().string());
    for (int32_t color : {ColorRgb, ColorGray}) {
      Request r;
      r.out_color = color;
      r.channels = color == ColorGray ? 1 : 3;
      decode(data, r);
    }
    ++files;
  }
  EXPECT_GT(files, 0);
}

// The bytes of the first segment with marker `code` (marker and length
// included).
std::vector<uint8_t> segment_of(const std::vector<uint8_t>& data, uint8_t code) {
  size_t at = 2;
  while (at + 4 <= data.size()) {
    const size_t length = (size_t{data[at + 2]} << 8 | data[at + 3]) + 2;
    if (data[at + 1] == code) return {data.begin() + at, data.begin() + at + length};
    at += length;
  }
  return {};
}

TEST(BrokenData, ASecondFrameOfAnotherShapeIsMultiplyFrame) {
  const std::vector<uint8_t> grey = read_file(test_data("generated/gray.jpg"));
  const std::vector<uint8_t> colour = read_file(test_data("generated/base_444.jpg"));
  const std::vector<uint8_t> grey_frame = segment_of(grey, 0xC0);
  ASSERT_FALSE(grey_frame.empty());
  const auto after_frame =
      std::search(grey.begin(), grey.end(), grey_frame.begin(), grey_frame.end()) +
      static_cast<long>(grey_frame.size());
  Request r;
  r.out_color = ColorGray;
  r.channels = 1;
  const Decoded plain = decode(grey, r);
  ASSERT_EQ(plain.status, JpegSuccess);

  // The same frame header twice changes nothing.
  std::vector<uint8_t> twice(grey.begin(), after_frame);
  twice.insert(twice.end(), grey_frame.begin(), grey_frame.end());
  twice.insert(twice.end(), after_frame, grey.end());
  const Decoded again = decode(twice, r);
  EXPECT_EQ(again.status, JpegSuccess);
  EXPECT_EQ(again.pixels, plain.pixels);

  // Three components where one was announced: the header read refuses it.
  std::vector<uint8_t> other(grey.begin(), after_frame);
  const std::vector<uint8_t> colour_frame = segment_of(colour, 0xC0);
  other.insert(other.end(), colour_frame.begin(), colour_frame.end());
  other.insert(other.end(), after_frame, grey.end());
  EXPECT_EQ(decode(other, r).status, JpegMultipleFrames);

  // A colour image following the grey one's data: the image read laid out
  // for grey stops there instead of writing colour into it.
  std::vector<uint8_t> joined(grey.begin(), grey.end() - 2);  // without EOI
  joined.insert(joined.end(), colour.begin() + 2, colour.end());
  EXPECT_EQ(decode(joined, r).status, JpegMultipleFrames);
}

TEST(AbbreviatedImages, TablesFromOneStreamDecodeTheOther) {
  // Split a file into a tables-only stream and an image without tables.
  const std::vector<uint8_t> data = read_file(test_data("generated/base_420.jpg"));
  std::vector<uint8_t> tables = {0xFF, 0xD8}, image = {0xFF, 0xD8};
  size_t at = 2;
  while (at + 4 <= data.size()) {
    const uint8_t code = data[at + 1];
    if (code == 0xDA) {  // the scan and the rest
      image.insert(image.end(), data.begin() + at, data.end());
      break;
    }
    const size_t length = (size_t{data[at + 2]} << 8 | data[at + 3]) + 2;
    std::vector<uint8_t>& to = (code == 0xDB || code == 0xC4) ? tables : image;
    to.insert(to.end(), data.begin() + at, data.begin() + at + length);
    at += length;
  }
  tables.push_back(0xFF);
  tables.push_back(0xD9);
  Decoded full = decode(data);

  BufferJob job(tables);
  ASSERT_EQ(job.read(IoReadTablesBuffer), JpegSuccess);
  EXPECT_EQ(job.job.properties.dc_tables_read, 2);
  std::vector<uint8_t> pixels(full.pixels.size());
  job.job.jpeg_buffer = image.data();
  job.job.jpeg_buffer_size = static_cast<int32_t>(image.size());
  job.job.out_pixels = pixels.data();
  job.job.out_width = full.width;
  job.job.out_height = full.height;
  job.job.out_color = ColorRgb;
  ASSERT_EQ(job.read(IoReadAbbreviatedBuffer), JpegSuccess);
  EXPECT_EQ(pixels, full.pixels);
}

TEST(InterruptMode, ReportsTheMcuEachReturnCompletes) {
  // A region of a 4 x 3 MCU grey image: MCUs (1, 1) to (2, 2). A return
  // after each MCU but the region's last column; the report names the MCU
  // (left and top in MCUs, right and bottom as pixel edges).
  const std::vector<uint8_t> data = encode(32, 24, 1);
  BufferJob job(data);
  std::vector<uint8_t> pixels(16 * 16);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 16;
  job.job.out_height = 16;
  job.job.out_channels = 1;
  job.job.out_color = ColorGray;
  JPEG_PROPERTIES& p = job.job.properties;
  p.roi_left = 8;
  p.roi_top = 8;
  p.roi_right = 24;
  p.roi_bottom = 24;
  std::vector<std::vector<int32_t>> reports;
  JpegStatus status;
  do {
    p.interrupt_mode = 1;
    status = job.read(IoReadImageBuffer);
    if (status == JpegInterruptSuccess)
      reports.push_back({p.roi_left, p.roi_top, p.roi_right, p.roi_bottom});
  } while (status == JpegInterruptSuccess && reports.size() < 100);
  EXPECT_EQ(status, JpegRoiSuccess);
  const std::vector<std::vector<int32_t>> expected = {{1, 1, 16, 16}, {1, 2, 16, 24}};
  EXPECT_EQ(reports, expected);
  // And the region came out as in one call.
  Request whole;
  whole.out_color = ColorGray;
  whole.channels = 1;
  Decoded full = decode(data, whole);
  for (int y = 0; y < 16; ++y) {
    EXPECT_EQ(0, std::memcmp(pixels.data() + 16 * y, full.at(8, 8 + y), 16)) << "row " << y;
  }
}

TEST(InterruptMode, SmoothedReportsNeverNameARowAboveTheImage) {
  // 4:2:0 with smoothing: the output lags a row and a column behind.
  const std::vector<uint8_t> data = encode(48, 48, 3);
  BufferJob job(data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<uint8_t> pixels(48 * 48 * 3);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 48;
  job.job.out_height = 48;
  job.job.out_color = ColorRgb;
  JPEG_PROPERTIES& p = job.job.properties;
  p.smooth_upsampling = 1;
  JpegStatus status;
  int returns = 0;
  do {
    p.interrupt_mode = 1;
    status = job.read(IoReadImageBuffer);
    if (status == JpegInterruptSuccess) {
      ++returns;
      EXPECT_GE(p.roi_top, 0) << "return " << returns;
      EXPECT_GE(p.roi_left, 0) << "return " << returns;
    }
  } while (status == JpegInterruptSuccess && returns < 1000);
  EXPECT_EQ(status, JpegSuccess);
  EXPECT_GT(returns, 3);
  Request once;
  once.smooth = true;
  EXPECT_TRUE(decode(data, once).pixels == pixels) << "the bytes of one call";
}

TEST(OutputLayouts, PackedYcbcrIsLumaCbLumaCr) {
  // 4:2:2 kept as YCbCr: packed two bytes a pixel, Y0 Cb Y1 Cr, against the
  // three-channel layout (Y, Cb, Cr in every pixel).
  const std::vector<uint8_t> data = read_file(test_data("generated/base_422.jpg"));
  Request packed_request, planar_request;
  packed_request.out_color = planar_request.out_color = ColorYcbcr;
  packed_request.channels = 2;
  planar_request.channels = 3;
  Decoded packed = decode(data, packed_request), planar = decode(data, planar_request);
  ASSERT_EQ(packed.status, JpegSuccess);
  ASSERT_EQ(planar.status, JpegSuccess);
  for (int y = 0; y < planar.height; ++y) {
    for (int x = 0; x < planar.width; ++x) {
      const uint8_t* two = packed.at(x, y);
      const uint8_t* three = planar.at(x & ~1, y);
      ASSERT_EQ(two[0], planar.at(x, y)[0]) << x << "," << y;
      ASSERT_EQ(two[1], x % 2 == 0 ? three[1] : three[2]) << x << "," << y;
    }
  }
}

TEST(AbbreviatedImages, AThumbnailHoldingMarkerBytesIsPassedOver) {
  // An abbreviated-image read takes nothing from APP0 but must pass over
  // it whole: a JFIF thumbnail whose pixels hold FF D9 is no end of image.
  const std::vector<uint8_t> original = read_file(test_data("generated/base_420.jpg"));
  std::vector<uint8_t> app0 = {'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 2, 1};
  app0.insert(app0.end(), {0xFF, 0xD9, 0x00, 0xFF, 0xD9, 0x00});
  JpegBuilder with_thumbnail;
  with_thumbnail.soi().segment(0xE0, app0);
  with_thumbnail.raw(std::vector<uint8_t>(original.begin() + 2, original.end()));
  TempFile file(with_thumbnail.data);
  Decoded expected = decode(original);
  for (int32_t type : {IoReadAbbreviatedFile, IoReadAbbreviatedBuffer, IoReadImageFile}) {
    BufferJob job(with_thumbnail.data);
    job.job.file_name = file.path.c_str();
    std::vector<uint8_t> pixels(expected.pixels.size());
    job.job.out_pixels = pixels.data();
    job.job.out_width = expected.width;
    job.job.out_height = expected.height;
    job.job.out_color = ColorRgb;
    EXPECT_EQ(job.read(type), JpegSuccess) << "type " << type;
    EXPECT_TRUE(pixels == expected.pixels) << "type " << type;
  }
}
