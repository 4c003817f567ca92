// The rule that decides whether a read continues what the last one left
// or starts afresh, on the job's state as a read leaves it: which endings
// leave something, and which next requests may take it up.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "jpeg/drive/continuation.h"
#include "jpeg/stream/io_types.h"

using namespace jpegcodec;

namespace {

// A job's state after a read of a 1024x768 sequential frame from a buffer.
struct LastRead {
  LastRead() {
    std::memset(&p, 0, sizeof p);
    p.jpeg_width = 1024;
    p.jpeg_height = 768;
    p.out_width = 1024;
    p.out_height = 768;
    p.out_channels = 3;
    p.out_color = ColorBgr;
    p.dct_family = 1;
    p.out_pixels = pixels;
    source.buffer = data.data();
    source.size = static_cast<int32_t>(data.size());
  }
  void region(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    p.roi_left = left;
    p.roi_top = top;
    p.roi_right = right;
    p.roi_bottom = bottom;
  }
  // The request an interrupted decode must see again to resume.
  void remember_request() {
    resume_request_of(&p, p.resume_request);
    p.resume_pixels = p.out_pixels;
  }
  JPEG_PROPERTIES p;
  std::vector<uint8_t> data = std::vector<uint8_t>(5000, 7);
  uint8_t pixels[16] = {};
  ScanHeader scan{};
  Source source;
};

TEST(Continuation, AnInterruptedDecodeResumesOnlyForTheSameRequest) {
  LastRead last;
  last.p.saved_scan = &last.scan;
  last.remember_request();
  record_continuation(&last.p, IoReadImageBuffer, JpegInterruptSuccess, last.source);
  EXPECT_TRUE(continues_last_read(&last.p, IoReadImageBuffer, last.source));
  EXPECT_FALSE(continues_last_read(&last.p, IoReadHalfBuffer, last.source)) << "another type";
  Source other = last.source;
  other.size -= 1;
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, other)) << "other data";
  last.p.out_width = 512;
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, last.source)) << "another size";
  last.p.out_width = 1024;
  uint8_t elsewhere[16];
  last.p.out_pixels = elsewhere;
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, last.source)) << "another image";
  // A file's decode resumes only while its file is open.
  Source file;
  file.file = true;
  file.id[0] = 42;
  last.p.out_pixels = last.pixels;
  record_continuation(&last.p, IoReadImageFile, JpegInterruptSuccess, file);
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageFile, file));
}

TEST(Continuation, ARegionContinuesThroughTheIndexOrTheStore) {
  // A region of a sequential scan leaves its scan and index for a further
  // region of the same data, not for a whole image.
  LastRead last;
  last.p.saved_scan = &last.scan;
  last.region(0, 0, 256, 256);
  record_continuation(&last.p, IoReadImageBuffer, JpegRoiSuccess, last.source);
  last.region(512, 512, 768, 640);
  EXPECT_TRUE(continues_last_read(&last.p, IoReadImageBuffer, last.source));
  last.region(0, 0, 0, 0);
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, last.source)) << "whole image";
  last.region(2000, 0, 0, 0);
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, last.source)) << "outside";
  EXPECT_FALSE(continues_last_read(&last.p, IoReadParamsBuffer, last.source)) << "parameters";

  // A progressive frame whose coefficients were all decoded serves regions,
  // except at 1/8, where the store kept DC values alone.
  LastRead progressive;
  int16_t store[64] = {};
  progressive.p.progressive_scans = 5;
  progressive.p.coef_buffer = store;
  progressive.p.image_output_done = 1;
  progressive.p.io_type = IoReadImageBuffer;
  record_continuation(&progressive.p, IoReadImageBuffer, JpegSuccess, progressive.source);
  progressive.region(100, 100, 300, 200);
  EXPECT_TRUE(continues_last_read(&progressive.p, IoReadImageBuffer, progressive.source));
  progressive.p.interrupt_mode = 1;
  EXPECT_FALSE(continues_last_read(&progressive.p, IoReadImageBuffer, progressive.source))
      << "in interrupt mode the scans report their progress afresh";
  progressive.p.interrupt_mode = 0;
  progressive.p.io_type = IoReadEighthBuffer;
  record_continuation(&progressive.p, IoReadEighthBuffer, JpegSuccess, progressive.source);
  EXPECT_FALSE(continues_last_read(&progressive.p, IoReadImageBuffer, progressive.source));
}

TEST(Continuation, FailuresAndOtherReadsLeaveNothing) {
  LastRead last;
  last.p.saved_scan = &last.scan;
  last.remember_request();
  for (JpegStatus status : {JpegEofError, JpegDataError, JpegBadRstMarker}) {
    record_continuation(&last.p, IoReadImageBuffer, status, last.source);
    EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, last.source)) << status;
  }
  // A whole sequential image whose index does not cover its scan, and
  // coefficient output, leave nothing either.
  last.region(10, 10, 20, 20);
  record_continuation(&last.p, IoReadImageBuffer, JpegSuccess, last.source);
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, last.source));
  JpegCoefOutput planes{};
  last.p.coef_output = &planes;
  record_continuation(&last.p, IoReadImageBuffer, JpegRoiSuccess, last.source);
  last.p.coef_output = nullptr;
  EXPECT_FALSE(continues_last_read(&last.p, IoReadImageBuffer, last.source));
}

TEST(Continuation, TheFingerprintTellsRefilledMemory) {
  std::vector<uint8_t> data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 / 7);
  const uint64_t print = buffer_fingerprint(data.data(), static_cast<int32_t>(data.size()));
  EXPECT_EQ(print, buffer_fingerprint(data.data(), static_cast<int32_t>(data.size())));
  // A change at the start, at the end, or at a sampled byte is another print.
  for (size_t at : {size_t{0}, size_t{4095}, data.size() - 1, 128 * data.size() / 256}) {
    std::vector<uint8_t> changed = data;
    changed[at] ^= 1;
    EXPECT_NE(print, buffer_fingerprint(changed.data(), static_cast<int32_t>(changed.size())))
        << "byte " << at;
  }
  EXPECT_NE(buffer_fingerprint(data.data(), 10), buffer_fingerprint(data.data(), 11));
}

}  // namespace
