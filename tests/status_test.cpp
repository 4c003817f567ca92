// Honest statuses: data that end early are -11 whatever the input and the
// read, a file and a buffer of the same bytes give the same status and
// pixels, and what a read refuses it refuses before writing anything.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tests/jpeg_test_util.h"
#include "tests/libjpeg_encode.h"

namespace {

struct Outcome {
  JpegStatus status = JpegSuccess;
  std::vector<uint8_t> pixels;
};

// Reads `data` (from a file when `from_file`) as an RGB image of
// width x height, the region `roi` (all 0: the whole image) at `scale`,
// into a buffer that starts as `fill`.
Outcome read_image(const std::vector<uint8_t>& data, bool from_file, int width, int height,
                   const int32_t roi[4] = nullptr, int scale = 1, uint8_t fill = 0xEE,
                   bool interrupt = false) {
  TempFile file(data);
  BufferJob job(data);
  job.job.file_name = file.path.c_str();
  const int w = (width + scale - 1) / scale, h = (height + scale - 1) / scale;
  Outcome out;
  out.pixels.assign(static_cast<size_t>(w) * h * 3, fill);
  job.job.out_pixels = out.pixels.data();
  job.job.out_width = w;
  job.job.out_height = h;
  job.job.out_color = ColorRgb;
  if (roi != nullptr) std::memcpy(&job.job.properties.roi_left, roi, 4 * sizeof(int32_t));
  int32_t type = scaled_read_type(scale);
  if (from_file) type -= 1;
  int calls = 0;
  do {
    job.job.properties.interrupt_mode = interrupt ? 1 : 0;
    out.status = job.read(type);
  } while (out.status == JpegInterruptSuccess && ++calls < 100000);
  return out;
}

JpegStatus read_params(const std::vector<uint8_t>& data) {
  BufferJob job(data);
  return job.read(IoReadParamsBuffer);
}

// Where the entropy-coded data of the first scan start.
size_t scan_data_start(const std::vector<uint8_t>& data) {
  for (size_t i = 0; i + 3 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] == 0xDA)
      return i + 2 + (size_t{data[i + 2]} << 8 | data[i + 3]);
  }
  return data.size();
}

}  // namespace

TEST(HonestStatuses, DataThatEndEarlyAreEofWhateverTheRead) {
  const std::vector<uint8_t> soi_ff = {0xFF, 0xD8, 0xFF};
  EXPECT_EQ(read_params(soi_ff), JpegEofError);
  EXPECT_EQ(read_image(soi_ff, false, 8, 8).status, JpegEofError);
  EXPECT_EQ(read_image({0xFF, 0xD8}, false, 8, 8).status, JpegEofError);
  EXPECT_EQ(read_image({0xFF, 0xD8}, true, 8, 8).status, JpegEofError);
  // Tables and no image.
  const std::vector<uint8_t> tables = JpegBuilder().soi().dqt(0).eoi().data;
  EXPECT_EQ(read_params(tables), JpegNoImage);
  EXPECT_EQ(read_image(tables, false, 8, 8).status, JpegNoImage);
  EXPECT_EQ(read_image(tables, true, 8, 8).status, JpegNoImage);

  // A scan marker damaged by one bit: the frame gets no scan at all.
  std::vector<uint8_t> no_scan = encode(16, 16, 3);
  for (size_t i = 0; i + 1 < no_scan.size(); ++i) {
    if (no_scan[i] == 0xFF && no_scan[i + 1] == 0xDA) {
      no_scan[i + 1] ^= 0x80;
      break;
    }
  }
  EXPECT_EQ(read_image(no_scan, false, 16, 16).status, JpegEofError);
  EXPECT_EQ(read_image(no_scan, true, 16, 16).status, JpegEofError);

  // Scan data cut short, with and without restart markers, then EOI or
  // nothing: -11 from a file and from a buffer, whole, region and 1/8.
  for (int interval : {0, 2}) {
    const std::vector<uint8_t> full = encode(64, 64, 3, interval);
    const size_t cut = (scan_data_start(full) + full.size()) / 2;
    std::vector<uint8_t> bare(full.begin(), full.begin() + static_cast<long>(cut));
    std::vector<uint8_t> with_eoi = bare;
    with_eoi.insert(with_eoi.end(), {0xFF, 0xD9});
    const int32_t bottom[4] = {0, 40, 64, 64};
    for (const auto* data : {&bare, &with_eoi}) {
      for (bool from_file : {false, true}) {
        const std::string what = std::string(data == &bare ? "cut" : "cut, EOI") +
                                 (from_file ? ", file" : ", buffer") + ", interval " +
                                 std::to_string(interval);
        EXPECT_EQ(read_image(*data, from_file, 64, 64).status, JpegEofError) << what;
        EXPECT_EQ(read_image(*data, from_file, 64, 64, bottom).status, JpegEofError) << what;
        EXPECT_EQ(read_image(*data, from_file, 64, 64, nullptr, 8).status, JpegEofError) << what;
      }
    }
    // A region above the cut is whole.
    const int32_t top[4] = {0, 0, 64, 16};
    EXPECT_EQ(read_image(bare, false, 64, 64, top).status, JpegRoiSuccess);
  }
}

TEST(HonestStatuses, FileAndBufferGiveTheSameStatusAndPixels) {
  // Cut and damaged copies of three pictures, read three ways from a file
  // and from a buffer, and in interrupt mode; an image that was started is
  // written whole (two buffers filled differently before the read come out
  // equal).
  const std::vector<std::vector<uint8_t>> pictures = {encode(48, 40, 3), encode(48, 40, 3, 3),
                                                      encode(48, 40, 3, 0, true)};
  const int32_t region[4] = {8, 8, 40, 32};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  int reads = 0;
  for (const std::vector<uint8_t>& picture : pictures) {
    for (int variant = 0; variant < 24; ++variant) {
      std::vector<uint8_t> data = picture;
      if (variant % 2 == 0) {
        data.resize(2 + next() % (data.size() - 2));
      } else {
        data[2 + next() % (data.size() - 2)] ^= static_cast<uint8_t>(1u << (next() % 8));
      }
      for (int way = 0; way < 3; ++way) {
        const int32_t* roi = way == 1 ? region : nullptr;
        const int scale = way == 2 ? 8 : 1;
        const Outcome buffer = read_image(data, false, 48, 40, roi, scale);
        const Outcome file = read_image(data, true, 48, 40, roi, scale);
        const std::string what = "variant " + std::to_string(variant) + " way " +
                                 std::to_string(way) + " status " + std::to_string(buffer.status);
        EXPECT_EQ(buffer.status, file.status) << what;
        EXPECT_TRUE(buffer.pixels == file.pixels) << what;
        if (way == 0) {
          const Outcome stepped = read_image(data, false, 48, 40, nullptr, 1, 0xEE, true);
          EXPECT_EQ(stepped.status, buffer.status) << what << ", interrupt mode";
          EXPECT_TRUE(stepped.pixels == buffer.pixels) << what << ", interrupt mode";
        }
        if (buffer.status == JpegSuccess || buffer.status == JpegRoiSuccess ||
            buffer.status == JpegEofError) {
          const Outcome other = read_image(data, false, 48, 40, roi, scale, 0x11);
          EXPECT_TRUE(other.pixels == buffer.pixels) << what << ": not every pixel written";
        }
        ++reads;
      }
    }
  }
  EXPECT_EQ(reads, 3 * 24 * 3);
}

TEST(HonestStatuses, SweepOfCutAndDamagedPhotos) {
  // Three pictures (a real texture, a file with a restart marker every MCU,
  // a progressive one) cut at 200 points each, and 1000 copies with a few
  // bits flipped, each read whole, as a region and at 1/8 from a file and
  // from a buffer. File and buffer give the same status; where an image was
  // written, it is written whole: the file's read into a buffer of 0xEE
  // bytes and the buffer's into one of 0x11 bytes come out equal. Each read
  // must end well within a time no working decode comes near (milliseconds
  // here, under the sanitizers too): a read that does not is looping.
  static constexpr double kSecondsPerRead = 5.0;
  struct Picture {
    std::vector<uint8_t> data;
    int width, height;
  };
  const std::vector<Picture> pictures = {
      {read_file(std::string(KNOT_TEST_DATA_DIR) + "/../../textures/rust.jpg"), 256, 256},
      {read_file(test_data("generated/restart_mcus.jpg")), 257, 131},
      {read_file(test_data("generated/prog_420.jpg")), 320, 240}};
  uint32_t seed = 2026;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  auto timed = [](auto read) {
    timespec start{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    Outcome outcome = read();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                           1e-9 * static_cast<double>(end.tv_nsec - start.tv_nsec);
    EXPECT_LT(seconds, kSecondsPerRead);
    return outcome;
  };
  int reads = 0, written = 0;
  for (size_t p = 0; p < pictures.size(); ++p) {
    const Picture& picture = pictures[p];
    ASSERT_GT(picture.data.size(), 1000u);
    const int32_t region[4] = {picture.width / 4, picture.height / 2, picture.width - 8,
                               picture.height - 3};
    const int copies = 200 + (p == 0 ? 334 : 333);
    for (int copy = 0; copy < copies; ++copy) {
      std::vector<uint8_t> data = picture.data;
      if (copy < 200) {
        data.resize(2 + static_cast<size_t>(copy) * (data.size() - 2) / 200);
      } else {
        for (int flips = 1 + static_cast<int>(next() % 3); flips > 0; --flips) {
          data[2 + next() % (data.size() - 2)] ^= static_cast<uint8_t>(1u << (next() % 8));
        }
      }
      for (int way = 0; way < 3; ++way) {
        const int32_t* roi = way == 1 ? region : nullptr;
        const int scale = way == 2 ? 8 : 1;
        const int w = picture.width, h = picture.height;
        const Outcome file = timed([&] { return read_image(data, true, w, h, roi, scale, 0xEE); });
        const Outcome buffer =
            timed([&] { return read_image(data, false, w, h, roi, scale, 0x11); });
        const std::string what = "picture " + std::to_string(p) + " copy " + std::to_string(copy) +
                                 " way " + std::to_string(way) + " status " +
                                 std::to_string(file.status);
        ASSERT_EQ(file.status, buffer.status) << what;
        const bool image_written = file.status == JpegSuccess || file.status == JpegRoiSuccess ||
                                   file.status == JpegEofError || file.status == JpegBadRstMarker;
        if (image_written) {
          EXPECT_TRUE(file.pixels == buffer.pixels) << what << ": not every pixel written alike";
          ++written;
        } else {
          const Outcome same_fill = read_image(data, false, w, h, roi, scale, 0xEE);
          EXPECT_TRUE(file.pixels == same_fill.pixels) << what << ": file and buffer differ";
        }
        reads += 2;
      }
    }
  }
  EXPECT_EQ(reads, (600 + 1000) * 6);
  // Most damage still leaves an image to write, so the comparison is tested.
  EXPECT_GT(written, reads / 4);
}

TEST(HonestStatuses, RequestsThatCannotBeMetAreRefused) {
  const std::vector<uint8_t> data = encode(16, 16, 3);
  BufferJob job(data);
  std::vector<uint8_t> pixels(16 * 16 * 3);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 16;
  job.job.out_height = 16;
  // A row longer than a 32-bit count of bytes.
  job.job.out_pad = INT_MAX - 20;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegInvalidProperties);
  job.job.out_pad = INT_MAX - 16 * 3 + 1;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegInvalidProperties) << "one byte over";
  // A FIFO (or anything but a regular file) is no JPEG file, and opening it
  // does not wait for a writer.
  const std::string fifo = "/tmp/jpegcodec-test-fifo-" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  job.job.file_name = fifo.c_str();
  job.job.out_pad = 0;
  EXPECT_EQ(job.read(IoReadParamsFile), JpegInvalidFileName);
  EXPECT_EQ(job.read(IoReadImageFile), JpegInvalidFileName);
  unlink(fifo.c_str());
  job.job.file_name = "/dev/null";
  EXPECT_EQ(job.read(IoReadParamsFile), JpegInvalidFileName);
}
