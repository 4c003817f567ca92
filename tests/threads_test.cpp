// The codec from several threads at once, each with a job of its own: every
// thread gets exactly what one thread alone gets. Run under ThreadSanitizer,
// this also shows that nothing the jobs share (the processor's routines, the
// fault guard's handlers) is written without a lock.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "jpeg/api/jpegcodec.h"
#include "tests/jpeg_test_util.h"

namespace {

struct Request {
  std::string file;
  int32_t type;  // a file read; the buffer read is the next type
  bool from_buffer;
  bool region;
  bool interrupt;
};

struct Result {
  JpegStatus status = JpegSuccess;
  std::vector<uint8_t> pixels;
};

// Reads `request` on `job`: the parameters, then the image into RGB.
Result decode(JpegJob& job, const Request& request, const std::vector<uint8_t>& bytes) {
  Result result;
  const std::string path = test_data("generated/" + request.file);
  job.file_name = path.c_str();
  job.jpeg_buffer = const_cast<uint8_t*>(bytes.data());
  job.jpeg_buffer_size = static_cast<int32_t>(bytes.size());
  job.properties.roi_left = job.properties.roi_top = 0;
  job.properties.roi_right = job.properties.roi_bottom = 0;
  job.properties.interrupt_mode = 0;
  // The colour a read assumes for data that do not say, as on a new job.
  job.jpeg_color = ColorYcbcr;
  job.jpeg_channels = 3;
  job.out_color = ColorRgb;
  job.out_channels = 3;
  result.status = jpeg_read(&job, request.from_buffer ? IoReadParamsBuffer : IoReadParamsFile);
  if (result.status != JpegSuccess) return result;
  const int scale = request.type == IoReadEighthFile ? 8 : 1;
  int32_t width = (job.jpeg_width + scale - 1) / scale;
  int32_t height = (job.jpeg_height + scale - 1) / scale;
  if (request.region) {
    job.properties.roi_left = width / 4;
    job.properties.roi_top = height / 3;
    job.properties.roi_right = width - width / 4;
    job.properties.roi_bottom = height - height / 5;
    width -= width / 4 + width / 4;
    height -= height / 3 + height / 5;
  }
  const int32_t channels = job.jpeg_channels == 4 ? 4 : 3;
  result.pixels.assign(static_cast<size_t>(width) * height * channels, 0);
  job.out_pixels = result.pixels.data();
  job.out_width = width;
  job.out_height = height;
  job.out_channels = channels;
  job.out_color = channels == 4 ? ColorFourChannel : ColorRgb;
  job.out_pad = 0;
  job.properties.interrupt_mode = request.interrupt ? 1 : 0;
  const int32_t type = request.type + (request.from_buffer ? 1 : 0);
  do {
    result.status = jpeg_read(&job, type);
  } while (result.status == JpegInterruptSuccess);
  job.out_pixels = nullptr;
  return result;
}

TEST(Threads, JobsOfTheirOwnDecodeAtOnceAsAlone) {
  const std::vector<std::string> files = {"base_420.jpg", "prog_420.jpg", "restart_rows.jpg",
                                          "gray.jpg",     "cmyk.jpg",     "truncated_half.jpg"};
  std::vector<Request> requests;
  for (const std::string& file : files) {
    for (int variant = 0; variant < 4; ++variant) {
      requests.push_back({file, variant == 3 ? IoReadEighthFile : IoReadImageFile, variant % 2 == 1,
                          variant == 2, variant == 1});
    }
  }
  std::vector<std::vector<uint8_t>> bytes;
  for (const std::string& file : files) bytes.push_back(read_file(test_data("generated/" + file)));
  auto bytes_of = [&](const Request& request) -> const std::vector<uint8_t>& {
    for (size_t i = 0; i < files.size(); ++i) {
      if (files[i] == request.file) return bytes[i];
    }
    return bytes[0];
  };

  // What one thread alone gets, each on a fresh job.
  std::vector<Result> alone;
  for (const Request& request : requests) {
    JpegJob job;
    ASSERT_EQ(jpeg_init(&job), JpegSuccess);
    alone.push_back(decode(job, request, bytes_of(request)));
    jpeg_free(&job);
  }

  // Four threads, each with one job for all its reads, each starting at a
  // different request so that different reads run side by side.
  constexpr int kThreads = 4;
  constexpr int kRounds = 2;
  std::vector<std::vector<Result>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      JpegJob job;
      if (jpeg_init(&job) != JpegSuccess) return;
      for (size_t n = 0; n < requests.size() * kRounds; ++n) {
        const Request& request = requests[(n + static_cast<size_t>(t) * 5) % requests.size()];
        got[t].push_back(decode(job, request, bytes_of(request)));
      }
      jpeg_free(&job);
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(got[t].size(), requests.size() * kRounds) << "thread " << t;
    for (size_t n = 0; n < got[t].size(); ++n) {
      const size_t r = (n + static_cast<size_t>(t) * 5) % requests.size();
      const Request& request = requests[r];
      SCOPED_TRACE("thread " + std::to_string(t) + ", " + request.file + ", request " +
                   std::to_string(r));
      EXPECT_EQ(got[t][n].status, alone[r].status);
      EXPECT_TRUE(got[t][n].pixels == alone[r].pixels);
    }
  }
  // The reads succeed where they should, so the comparison means something.
  for (size_t r = 0; r < requests.size(); ++r) {
    const JpegStatus expected = requests[r].file == "truncated_half.jpg" ? JpegEofError
                                : requests[r].region                     ? JpegRoiSuccess
                                                                         : JpegSuccess;
    EXPECT_EQ(alone[r].status, expected) << requests[r].file << ", request " << r;
  }
}

}  // namespace
