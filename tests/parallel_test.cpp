// One image read or written by several threads: every byte of the image
// and the status are what one thread gives. Reads on sound data and on
// damaged data, with restart markers (runs of intervals, checked at their
// seams, else one thread again) and without (a pipeline of MCU rows);
// writes in bands joined at the bit. Run under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "jpeg/api/jpegcodec.h"
#include "tests/jpeg_test_util.h"

namespace {

// A 1024x768 picture with detail everywhere (gradients and noise).
std::vector<uint8_t> detailed_pixels(int32_t channels) {
  const int32_t width = 1024, height = 768;
  std::vector<uint8_t> pixels(size_t(width) * height * channels);
  std::mt19937 random(7);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      for (int32_t c = 0; c < channels; ++c) {
        const int32_t value = (x * (c + 1) + y * (3 - c)) / 5 + int32_t(random() % 48);
        pixels[(size_t(y) * width + x) * channels + c] = static_cast<uint8_t>(value & 0xFF);
      }
    }
  }
  return pixels;
}

struct WriteRequest {
  int32_t channels, subsampling, interval;
  int32_t optimize = 0, progressive = 0;
};

// The picture written as asked, with `threads`; empty on failure.
std::vector<uint8_t> write_picture(const WriteRequest& r, int32_t threads = 1) {
  std::vector<uint8_t> pixels = detailed_pixels(r.channels);
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  jpeg_init(&job);
  job.threads = threads;
  job.out_pixels = pixels.data();
  job.out_width = job.jpeg_width = 1024;
  job.out_height = job.jpeg_height = 768;
  job.out_channels = job.jpeg_channels = r.channels;
  job.out_color = r.channels == 1 ? ColorGray : ColorRgb;
  job.jpeg_color = r.channels == 1 ? ColorGray : ColorYcbcr;
  job.jpeg_subsampling = r.subsampling;
  job.quality = 90;
  job.write_restart_interval = r.interval;
  job.write_optimize = r.optimize;
  job.write_progressive = r.progressive;
  std::vector<uint8_t> out(pixels.size() * 2);
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  const JpegStatus status = jpeg_write(&job, IoWriteImageBuffer);
  out.resize(status == JpegSuccess ? size_t(job.jpeg_buffer_size) : 0);
  jpeg_free(&job);
  return out;
}

// The picture written with restart markers every `interval` MCUs.
std::vector<uint8_t> picture_with_restarts(int32_t channels, int32_t subsampling,
                                           int32_t interval) {
  return write_picture(WriteRequest{channels, subsampling, interval});
}

struct Read {
  JpegStatus status;
  std::vector<uint8_t> pixels;
};

// The image at 1/scale with `threads`, to RGB (grey files to grey); with
// `smooth`, chroma through the smoothing upsampler.
Read read_with(const std::vector<uint8_t>& data, int32_t threads, int scale, bool smooth = false) {
  BufferJob job(data);
  job.job.threads = threads;
  job.job.properties.smooth_upsampling = smooth ? 1 : 0;
  Read result{job.read(IoReadParamsBuffer), {}};
  if (result.status != JpegSuccess) return result;
  const bool grey = job.job.jpeg_channels == 1;
  job.job.out_width = (job.job.jpeg_width + scale - 1) / scale;
  job.job.out_height = (job.job.jpeg_height + scale - 1) / scale;
  job.job.out_channels = grey ? 1 : 3;
  job.job.out_color = grey ? ColorGray : ColorRgb;
  result.pixels.assign(size_t(job.job.out_width) * job.job.out_height * job.job.out_channels, 7);
  job.job.out_pixels = result.pixels.data();
  result.status = job.read(scaled_read_type(scale));
  return result;
}

std::vector<size_t> restart_markers(const std::vector<uint8_t>& data) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7) at.push_back(i);
  }
  return at;
}

// Reads with 2, 3 and 8 threads give one thread's status and bytes, at
// each scale and at full size through the smoothing upsampler.
void expect_as_one_thread(const std::vector<uint8_t>& data, const std::vector<int>& scales) {
  for (int scale : scales) {
    for (bool smooth : {false, true}) {
      if (smooth && scale != 1) continue;
      const Read one = read_with(data, 1, scale, smooth);
      for (int32_t threads : {2, 3, 8}) {
        const Read several = read_with(data, threads, scale, smooth);
        EXPECT_EQ(several.status, one.status)
            << threads << " threads, 1/" << scale << (smooth ? ", smoothed" : "");
        EXPECT_TRUE(several.pixels == one.pixels)
            << threads << " threads, 1/" << scale << (smooth ? ", smoothed" : "");
      }
    }
  }
}

TEST(ParallelRead, SoundDataGiveOneThreadsBytes) {
  // Restart markers at each row's end (64 MCUs of 4:2:0), in the middle of
  // rows (7 MCUs), and for 4:4:4 and grey every 100 MCUs; and none.
  // Progressive files, their scans decoded by several threads at once,
  // with and without restart markers.
  struct Case {
    int32_t channels, subsampling, interval;
    int32_t progressive = 0;
  };
  for (const Case& c :
       {Case{3, Sub420, 64}, Case{3, Sub420, 7}, Case{3, Sub444, 100}, Case{1, Sub444, 100},
        Case{3, Sub420, 0}, Case{3, Sub422, 0}, Case{1, Sub444, 0}, Case{3, Sub420, 0, 1},
        Case{3, Sub444, 30, 1}, Case{1, Sub444, 0, 1}}) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, sampling " +
                 std::to_string(c.subsampling) + ", interval " + std::to_string(c.interval) +
                 (c.progressive ? ", progressive" : ""));
    WriteRequest request{c.channels, c.subsampling, c.interval};
    request.progressive = c.progressive;
    const std::vector<uint8_t> data = write_picture(request);
    EXPECT_EQ(restart_markers(data).empty(), c.interval == 0);
    const Read one = read_with(data, 1, 1);
    ASSERT_EQ(one.status, JpegSuccess);
    expect_as_one_thread(data, {1, 2, 8});
  }
}

TEST(ParallelRead, DamagedDataGiveOneThreadsStatusAndBytes) {
  // Baseline and progressive files; a damaged progressive scan makes the
  // threads' scans start again with one thread.
  for (int32_t kind = 0; kind < 4; ++kind) {
    const int32_t interval = kind % 2 == 0 ? 48 : 0;
    WriteRequest request{3, Sub420, interval};
    request.progressive = kind / 2;
    const std::vector<uint8_t> data = write_picture(request);
    const std::vector<size_t> at = restart_markers(data);
    // The middle of the data: at a restart marker when there are some.
    const size_t middle = interval != 0 ? at[at.size() / 2] : data.size() / 2;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
    {
      // Garbage: blocks decode to something else, or fail.
      std::vector<uint8_t> d = data;
      for (size_t i = middle - 40; i < middle - 20; ++i) d[i] = static_cast<uint8_t>(i * 37);
      damaged.emplace_back("garbage", d);
    }
    {
      // A marker in the middle of the data: the scan ends there.
      std::vector<uint8_t> d = data;
      d[middle - 30] = 0xFF;
      d[middle - 29] = 0xC4;
      damaged.emplace_back("a marker inside the data", d);
    }
    damaged.emplace_back(
        "cut in the middle",
        std::vector<uint8_t>(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(middle + 9)));
    if (interval != 0) {
      std::vector<uint8_t> d = data;
      d.erase(d.begin() + static_cast<std::ptrdiff_t>(middle),
              d.begin() + static_cast<std::ptrdiff_t>(middle + 2));
      damaged.emplace_back("a restart marker missing", d);
      d = data;
      d[middle + 1] = static_cast<uint8_t>(0xD0 + ((d[middle + 1] - 0xD0 + 2) & 7));
      damaged.emplace_back("a restart marker misnumbered", d);
      d = data;
      const std::vector<uint8_t> extra{0xFF, 0xD3};
      d.insert(d.begin() + static_cast<std::ptrdiff_t>(at[3] + 2), extra.begin(), extra.end());
      damaged.emplace_back("a restart marker too many", d);
    }
    // Where the data end, the read says so (and keeps what it decoded).
    EXPECT_EQ(read_with(damaged[2].second, 1, 1).status, JpegEofError);
    for (const auto& [what, d] : damaged) {
      SCOPED_TRACE(what + (interval != 0 ? " (restart markers)" : " (none)") +
                   (request.progressive ? ", progressive" : ""));
      expect_as_one_thread(d, {1, 2});
    }
  }
}

// The job's next read goes on as after a one-thread read: a region of the
// same job after a threaded whole read gives the same pixels.
TEST(ParallelRead, ARegionAfterAThreadedReadIsOneThreads) {
  for (int32_t interval : {32, 0}) {
    const std::vector<uint8_t> data = picture_with_restarts(3, Sub422, interval);
    std::vector<uint8_t> regions[2];
    for (int32_t threads : {1, 4}) {
      BufferJob job(data);
      job.job.threads = threads;
      ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
      std::vector<uint8_t> whole(size_t(1024) * 768 * 3);
      job.job.out_pixels = whole.data();
      job.job.out_width = 1024;
      job.job.out_height = 768;
      job.job.out_color = ColorRgb;
      ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
      // A region of the same job afterwards.
      std::vector<uint8_t> region(size_t(200) * 100 * 3);
      job.job.out_pixels = region.data();
      job.job.out_width = 200;
      job.job.out_height = 100;
      job.job.properties.roi_left = 300;
      job.job.properties.roi_top = 500;
      job.job.properties.roi_right = 500;
      job.job.properties.roi_bottom = 600;
      ASSERT_EQ(job.read(IoReadImageBuffer), JpegRoiSuccess);
      regions[threads == 1 ? 0 : 1] = region;
      const Read one = read_with(data, 1, 1);
      EXPECT_TRUE(whole == one.pixels) << threads << " threads";
    }
    EXPECT_TRUE(regions[0] == regions[1]);
  }
}

// Bands written apart and joined at the bit (or at restart markers): the
// file is the one one thread writes, for every sampling, restart markers
// within and at the bands' edges, optimised tables (counted in bands) and
// progressive files (quantized in bands, their scans made apart).
TEST(ParallelWrite, ThreadsGiveOneThreadsBytes) {
  for (const WriteRequest& r :
       {WriteRequest{3, Sub420, 0}, WriteRequest{3, Sub444, 0}, WriteRequest{3, Sub422, 0},
        WriteRequest{1, Sub444, 0}, WriteRequest{3, Sub420, 7}, WriteRequest{3, Sub420, 64},
        WriteRequest{3, Sub420, 0, 1}, WriteRequest{3, Sub420, 5, 1},
        WriteRequest{3, Sub420, 0, 0, 1}}) {
    SCOPED_TRACE(std::to_string(r.channels) + " channels, sampling " +
                 std::to_string(r.subsampling) + ", interval " + std::to_string(r.interval) +
                 (r.optimize ? ", optimised" : "") + (r.progressive ? ", progressive" : ""));
    const std::vector<uint8_t> one = write_picture(r);
    ASSERT_FALSE(one.empty());
    for (int32_t threads : {2, 3, 8}) {
      EXPECT_TRUE(write_picture(r, threads) == one) << threads << " threads";
    }
  }
}

}  // namespace
