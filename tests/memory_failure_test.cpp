// Allocation failures: whichever of the codec's allocations fails, the read
// that needed it says -5, leaks nothing (the sanitizer build checks), and
// the same job reads correctly once memory is there again.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "jpeg/cpu/memory.h"
#include "tests/jpeg_test_util.h"

using namespace jpegcodec;

namespace {

struct Step {
  int32_t type;  // a buffer type; the file type is the one before it
  bool from_file;
  int32_t roi[4];     // all 0: the whole image
  int32_t smoothing;  // the smoothing upsampler
};

struct Outcome {
  std::vector<JpegStatus> statuses;
  std::vector<std::vector<uint8_t>> pixels;
};

// Runs `steps` on `job`, each image read into a fresh RGB buffer sized from
// the parameters the job holds, up to the first that fails for memory.
Outcome run(JpegJob& job, const std::vector<Step>& steps) {
  Outcome out;
  for (const Step& step : steps) {
    std::memcpy(&job.properties.roi_left, step.roi, sizeof step.roi);
    job.properties.smooth_upsampling = step.smoothing;
    std::vector<uint8_t> pixels;
    if (step.type != IoReadParamsBuffer) {
      const bool region = step.roi[2] != 0;
      const int32_t width = region ? step.roi[2] - step.roi[0] : job.jpeg_width;
      const int32_t height = region ? step.roi[3] - step.roi[1] : job.jpeg_height;
      pixels.assign(static_cast<size_t>(width > 0 ? width : 1) * (height > 0 ? height : 1) * 3, 0);
      job.out_pixels = pixels.data();
      job.out_width = width;
      job.out_height = height;
      job.out_channels = 3;
      job.out_color = ColorRgb;
    }
    out.statuses.push_back(jpeg_read(&job, step.from_file ? step.type - 1 : step.type));
    out.pixels.push_back(pixels);
    job.out_pixels = nullptr;
    // Later steps rely on this one (its parameters, its stored data).
    if (out.statuses.back() == JpegMemoryError) break;
  }
  return out;
}

void check_every_failure(const std::string& file, const std::vector<Step>& steps) {
  SCOPED_TRACE(file);
  const std::string path = test_data("generated/" + file);
  std::vector<uint8_t> data = read_file(path);
  auto init = [&](JpegJob& job) {
    std::memset(&job, 0, sizeof job);
    const JpegStatus status = jpeg_init(&job);
    job.file_name = path.c_str();
    job.jpeg_buffer = data.data();
    job.jpeg_buffer_size = static_cast<int32_t>(data.size());
    return status;
  };
  JpegJob job;
  ASSERT_EQ(init(job), JpegSuccess);
  const Outcome expected = run(job, steps);
  jpeg_free(&job);

  int64_t failures_seen = 0;
  for (int64_t n = 0; n < 1000; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    codec_fail_allocation_after(n);
    bool failed = init(job) == JpegMemoryError;
    Outcome got;
    if (!failed) got = run(job, steps);
    codec_fail_allocation_after(-1);
    for (size_t i = 0; i < got.statuses.size(); ++i) {
      if (got.statuses[i] == JpegMemoryError) {
        failed = true;
        continue;
      }
      EXPECT_EQ(got.statuses[i], expected.statuses[i]) << "step " << i;
      EXPECT_TRUE(got.pixels[i] == expected.pixels[i]) << "step " << i;
    }
    if (!failed) {
      jpeg_free(&job);
      // Every allocation the steps make has been made to fail once.
      EXPECT_GT(failures_seen, 2);
      return;
    }
    ++failures_seen;
    // The job works again once memory is there (a job whose init failed is
    // only freed).
    if (!got.statuses.empty()) {
      const Outcome again = run(job, steps);
      EXPECT_EQ(again.statuses, expected.statuses);
      EXPECT_TRUE(again.pixels == expected.pixels);
    }
    jpeg_free(&job);
  }
  ADD_FAILURE() << "the steps kept failing";
}

}  // namespace

TEST(AllocationFailure, EveryOneIsMinusFiveAndTheJobRecovers) {
  // Progressive with smoothing: the coefficient store, the smoothing bands,
  // the MCU buffer; then a region of the same data from the store.
  check_every_failure("prog_420.jpg", {{IoReadParamsBuffer, true, {0, 0, 0, 0}, 1},
                                       {IoReadImageBuffer, true, {0, 0, 0, 0}, 1},
                                       {IoReadImageBuffer, true, {40, 100, 200, 180}, 1}});
  // Restart intervals: the restart index, and a second region through it.
  check_every_failure("restart_mcus.jpg", {{IoReadParamsBuffer, false, {0, 0, 0, 0}, 0},
                                           {IoReadImageBuffer, false, {16, 8, 120, 40}, 0},
                                           {IoReadImageBuffer, false, {16, 90, 240, 130}, 0}});
  // Components in separate scans, sequential, into the store.
  check_every_failure("seq_separate_scans.jpg", {{IoReadParamsBuffer, false, {0, 0, 0, 0}, 0},
                                                 {IoReadImageBuffer, false, {0, 0, 0, 0}, 0}});
}
