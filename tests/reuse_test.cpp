// One job, many reads: every read on a reused job gives what the same read
// gives on a new job (status, pixels, reported fields). Random sequences of
// reads of every kind, from files and buffers, with regions, scales and
// interrupt mode, each checked against a new job; the sequences that once
// failed are kept as regression cases.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/jpeg_test_util.h"
#include "tests/libjpeg_encode.h"

namespace {

struct TestFile {
  std::string path;
  std::vector<uint8_t> data;
  int32_t width = 0, height = 0;
};

// Where the segment with marker `code` starts (its 0xFF), or npos.
size_t find_segment(const std::vector<uint8_t>& data, uint8_t code) {
  for (size_t i = 2; i + 3 < data.size();) {
    if (data[i] != 0xFF) return std::string::npos;
    if (data[i + 1] == code) return i;
    if (data[i + 1] == 0xDA) return std::string::npos;  // entropy-coded data follow
    i += 2 + (size_t(data[i + 2]) << 8 | data[i + 3]);
  }
  return std::string::npos;
}

// Files whose odd structure once made a reused job differ from a new one:
// a four-component file; a scan that lists its components in reverse frame
// order, and one that lists one twice; an Adobe segment after the scan.
std::vector<std::vector<uint8_t>> crafted_files() {
  std::vector<std::vector<uint8_t>> out{read_file(test_data("generated/cmyk.jpg"))};
  const std::vector<uint8_t> base = read_file(test_data("generated/base_444.jpg"));
  const size_t sos = find_segment(base, 0xDA);
  std::vector<uint8_t> reversed = base, twice = base;
  // Ns at sos + 4, then (Cs, Td/Ta) pairs.
  for (int i = 0; i < 2; ++i) {
    std::swap(reversed[sos + 5 + i], reversed[sos + 9 + i]);
    twice[sos + 9 + i] = base[sos + 5 + i];
  }
  out.push_back(reversed);
  out.push_back(twice);
  std::vector<uint8_t> late = read_file(test_data("generated/ycck.jpg"));
  const size_t adobe = find_segment(late, 0xEE);
  const size_t length = 2 + (size_t(late[adobe + 2]) << 8 | late[adobe + 3]);
  const std::vector<uint8_t> segment(late.begin() + ptrdiff_t(adobe),
                                     late.begin() + ptrdiff_t(adobe + length));
  late.erase(late.begin() + ptrdiff_t(adobe), late.begin() + ptrdiff_t(adobe + length));
  late.insert(late.end() - 2, segment.begin(), segment.end());
  out.push_back(late);
  return out;
}

const std::vector<TestFile>& test_files() {
  static const std::vector<TestFile> files = [] {
    std::vector<TestFile> out;
    for (const char* name :
         {"generated/base_420.jpg", "generated/prog_420.jpg", "generated/restart_rows.jpg",
          "generated/gray.jpg", "generated/seq_separate_scans.jpg", "generated/odd_17x17_prog.jpg",
          "generated/rgb_adobe.jpg", "generated/base_422.jpg", "generated/jfif_thumb.jpg",
          "generated/truncated_half.jpg", "generated/restart_prog.jpg"}) {
      TestFile f;
      f.path = test_data(name);
      f.data = read_file(f.path);
      BufferJob probe(f.data);
      probe.read(IoReadParamsBuffer);
      f.width = probe.job.jpeg_width;
      f.height = probe.job.jpeg_height;
      out.push_back(std::move(f));
    }
    for (const std::vector<uint8_t>& data : crafted_files()) {
      static std::vector<std::unique_ptr<TempFile>> kept;
      kept.push_back(std::make_unique<TempFile>(data));
      TestFile f;
      f.path = kept.back()->path;
      f.data = data;
      BufferJob probe(f.data);
      probe.read(IoReadParamsBuffer);
      f.width = probe.job.jpeg_width;
      f.height = probe.job.jpeg_height;
      out.push_back(std::move(f));
    }
    return out;
  }();
  return files;
}

// One read as a caller asks for it.
struct ReadRequest {
  size_t file = 0;
  int32_t type = IoReadParamsBuffer;
  int32_t roi[4] = {};
  bool interrupt = false;
  int stop_after = -1;  // interrupt mode: abandon after this many calls (-1: go to the end)
  int32_t out_color = ColorRgb;
  int32_t out_channels = 3;
  int32_t dct_family = 1;
};

std::string describe(const ReadRequest& r) {
  return "file " + std::to_string(r.file) + " type " + std::to_string(r.type) + " roi " +
         std::to_string(r.roi[0]) + "," + std::to_string(r.roi[1]) + "," +
         std::to_string(r.roi[2]) + "," + std::to_string(r.roi[3]) +
         (r.interrupt ? " interrupt " + std::to_string(r.stop_after) : "") + " colour " +
         std::to_string(r.out_color) + "/" + std::to_string(r.out_channels) + " family " +
         std::to_string(r.dct_family);
}

int scale_of(int32_t type) {
  if (type == IoReadHalfFile || type == IoReadHalfBuffer) return 2;
  if (type == IoReadQuarterFile || type == IoReadQuarterBuffer) return 4;
  if (type == IoReadEighthFile || type == IoReadEighthBuffer) return 8;
  return 1;
}

// What a read gave: its statuses (one per call) and what it wrote.
struct ReadResult {
  std::vector<JpegStatus> statuses;
  std::vector<uint8_t> pixels;
  int32_t fields[19] = {};  // the public fields and the region after the read
  bool operator==(const ReadResult& o) const {
    return statuses == o.statuses && pixels == o.pixels &&
           std::memcmp(fields, o.fields, sizeof fields) == 0;
  }
};

// Runs a read on `job` whose public fields are the caller's; the image
// buffer is new for every read, so a write through an earlier one is a
// use after free under AddressSanitizer.
ReadResult run_read(JpegJob& job, const ReadRequest& r) {
  const TestFile& f = test_files()[r.file];
  const int scale = scale_of(r.type);
  const int32_t width = r.type == IoReadThumbnailFile || r.type == IoReadThumbnailBuffer
                            ? 64
                            : (f.width + scale - 1) / scale;
  const int32_t height = r.type == IoReadThumbnailFile || r.type == IoReadThumbnailBuffer
                             ? 64
                             : (f.height + scale - 1) / scale;
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * r.out_channels + 16, 0xEE);
  job.file_name = f.path.c_str();
  job.jpeg_buffer = const_cast<uint8_t*>(f.data.data());
  job.jpeg_buffer_size = static_cast<int32_t>(f.data.size());
  job.out_pixels = pixels.data();
  job.out_width = width;
  job.out_height = height;
  job.out_pad = 0;
  job.out_channels = r.out_channels;
  job.out_color = r.out_color;
  JPEG_PROPERTIES& p = job.properties;
  p.roi_left = r.roi[0];
  p.roi_top = r.roi[1];
  p.roi_right = r.roi[2];
  p.roi_bottom = r.roi[3];
  p.dct_family = r.dct_family;
  ReadResult result;
  for (int call = 0;; ++call) {
    if (r.interrupt && call == r.stop_after) break;
    p.interrupt_mode = r.interrupt ? 1 : 0;
    const JpegStatus status = jpeg_read(&job, r.type);
    result.statuses.push_back(status);
    if (status != JpegInterruptSuccess || call > 100000) break;
  }
  result.pixels = std::move(pixels);
  const int32_t fields[] = {
      job.out_width,        job.out_height,  job.out_pad,      job.out_channels,  job.out_color,
      job.out_subsampling,  job.jpeg_width,  job.jpeg_height,  job.jpeg_channels, job.jpeg_color,
      job.jpeg_subsampling, job.thumb_width, job.thumb_height, job.convert_color, job.upsample,
      p.roi_left,           p.roi_top,       p.roi_right,      p.roi_bottom};
  std::memcpy(result.fields, fields, sizeof fields);
  job.out_pixels = nullptr;
  return result;
}

ReadResult run_on_new_job(const JpegJob& reused_before, const ReadRequest& r) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  EXPECT_EQ(jpeg_init(&job), JpegSuccess);
  // The caller's fields as the reused job had them before the read; the
  // data colour and components only where they are the caller's word, not
  // what the last read reported (a new job has its defaults there).
  job.jpeg_width = reused_before.jpeg_width;
  job.jpeg_height = reused_before.jpeg_height;
  const JPEG_PROPERTIES& before = reused_before.properties;
  const bool callers_word = reused_before.jpeg_color != before.reported_jpeg_color ||
                            reused_before.jpeg_channels != before.reported_jpeg_channels;
  if (callers_word) {
    job.jpeg_channels = reused_before.jpeg_channels;
    job.jpeg_color = reused_before.jpeg_color;
  }
  job.jpeg_subsampling = reused_before.jpeg_subsampling;
  job.thumb_width = reused_before.thumb_width;
  job.thumb_height = reused_before.thumb_height;
  job.convert_color = reused_before.convert_color;
  job.upsample = reused_before.upsample;
  ReadResult result = run_read(job, r);
  // A read that reports nothing leaves the two fields as they were.
  if (!callers_word && job.jpeg_color == 3 && job.jpeg_channels == 3 &&
      result.statuses.back() != JpegSuccess) {
    result.fields[8] = reused_before.jpeg_channels;
    result.fields[9] = reused_before.jpeg_color;
  }
  jpeg_free(&job);
  return result;
}

// A random read; one time in three of the same file and type as `last`,
// which is where reads continue each other.
ReadRequest random_request(std::mt19937& random, const ReadRequest* last) {
  static const int32_t kTypes[] = {
      IoReadParamsFile, IoReadParamsBuffer, IoReadImageFile,       IoReadImageBuffer,
      IoReadHalfFile,   IoReadHalfBuffer,   IoReadQuarterFile,     IoReadQuarterBuffer,
      IoReadEighthFile, IoReadEighthBuffer, IoReadThumbnailFile,   IoReadThumbnailBuffer,
      IoReadTablesFile, IoReadTablesBuffer, IoReadAbbreviatedFile, IoReadAbbreviatedBuffer,
      IoReadImageFile,  IoReadImageBuffer,  IoReadImageBuffer,     IoReadImageFile};
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  ReadRequest r;
  r.file = static_cast<size_t>(pick(static_cast<int>(test_files().size())));
  r.type = kTypes[pick(static_cast<int>(std::size(kTypes)))];
  if (last != nullptr && pick(3) == 0) {
    r.file = last->file;
    r.type = last->type;
  }
  const TestFile& f = test_files()[r.file];
  const int scale = scale_of(r.type);
  const int w = (f.width + scale - 1) / scale, h = (f.height + scale - 1) / scale;
  switch (pick(6)) {
    case 0:
    case 1:
      break;  // the whole image
    case 2:
    case 3: {  // a region inside the image
      r.roi[0] = pick(w);
      r.roi[1] = pick(h);
      r.roi[2] = r.roi[0] + 1 + pick(w - r.roi[0]);
      r.roi[3] = r.roi[1] + 1 + pick(h - r.roi[1]);
      break;
    }
    case 4:  // open edges, or reaching past the image
      r.roi[0] = pick(w);
      r.roi[1] = pick(h);
      r.roi[2] = pick(2) ? 0 : w + 5;
      r.roi[3] = pick(2) ? 0 : h + 5;
      break;
    default:  // no rectangle at all
      r.roi[0] = 10 + pick(w + 10);
      r.roi[2] = r.roi[0] - pick(10);
      r.roi[3] = h;
      break;
  }
  r.interrupt = pick(3) == 0;
  if (r.interrupt && pick(2) == 0) r.stop_after = 1 + pick(6);
  switch (pick(5)) {
    case 0:
      r.out_color = ColorGray;
      r.out_channels = 1;
      break;
    case 1:
      r.out_color = ColorBgr;
      break;
    case 2:
      r.out_color = ColorFourChannel;
      r.out_channels = 4;
      break;
    default:
      break;
  }
  r.dct_family = pick(4) == 0 ? 0 : 1;
  return r;
}

// Runs the sequence drawn from `seed` on one job, each read against a new
// job; returns the first read that differs, or "".
std::string run_sequence(uint32_t seed, int reads) {
  std::mt19937 random(seed);
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (jpeg_init(&job) != JpegSuccess) return "init";
  std::string failure;
  ReadRequest last;
  for (int i = 0; i < reads && failure.empty(); ++i) {
    const ReadRequest r = random_request(random, i > 0 ? &last : nullptr);
    last = r;
    if (std::getenv("REUSE_TRACE") != nullptr) std::fprintf(stderr, "%s\n", describe(r).c_str());
    const JpegJob before = job;
    const ReadResult expected = run_on_new_job(before, r);
    const ReadResult got = run_read(job, r);
    if (!(got == expected)) {
      failure = "seed " + std::to_string(seed) + " read " + std::to_string(i) + ": " + describe(r) +
                " gave status " + std::to_string(got.statuses.back()) + " after " +
                std::to_string(got.statuses.size()) + " calls, a new job " +
                std::to_string(expected.statuses.back()) + " after " +
                std::to_string(expected.statuses.size()) +
                (got.pixels == expected.pixels ? "" : "; the pixels differ");
    }
  }
  jpeg_free(&job);
  return failure;
}

}  // namespace

TEST(ReusedJob, EveryReadGivesWhatANewJobGives) {
  // Sequences that once went wrong, then fresh ones.
  // (Seeds whose sequences failed while reads shared state: an abandoned
  // region resumed by a header read, regions and scales continuing other
  // reads, interrupted progressive regions, tables reads reporting an old
  // frame, an abandoned interrupted decode resumed by a new request.)
  const uint32_t kRegressions[] = {1u, 1002u, 1005u, 1007u, 1010u, 1032u, 2002u, 2005u};
  for (uint32_t seed : kRegressions) EXPECT_EQ(run_sequence(seed, 16), "");
  for (uint32_t seed = 2000; seed < 2150; ++seed) {
    const std::string failure = run_sequence(seed, 12);
    EXPECT_EQ(failure, "");
  }
}

namespace {

ReadRequest request(size_t file, int32_t type, std::initializer_list<int32_t> roi = {}) {
  ReadRequest r;
  r.file = file;
  r.type = type;
  int i = 0;
  for (int32_t edge : roi) r.roi[i++] = edge;
  return r;
}

// Runs `reads` one after another on one job, each against a new job.
void expect_each_as_on_a_new_job(const std::vector<ReadRequest>& reads, const char* what) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  ASSERT_EQ(jpeg_init(&job), JpegSuccess);
  for (size_t i = 0; i < reads.size(); ++i) {
    const JpegJob before = job;
    const ReadResult expected = run_on_new_job(before, reads[i]);
    const ReadResult got = run_read(job, reads[i]);
    EXPECT_EQ(got.statuses, expected.statuses) << what << ", read " << i;
    EXPECT_TRUE(got.pixels == expected.pixels) << what << ", read " << i;
  }
  jpeg_free(&job);
}

}  // namespace

TEST(ReusedJob, EachKnownWayOfMixingReads) {
  const size_t base = 0, prog = 1, restarts = 2, gray = 3, adobe = 6;
  // An abandoned region or interrupted decode, then a header read.
  ReadRequest interrupted = request(base, IoReadImageBuffer);
  interrupted.interrupt = true;
  interrupted.stop_after = 2;
  expect_each_as_on_a_new_job(
      {request(base, IoReadImageBuffer, {0, 0, 40, 40}), request(base, IoReadParamsBuffer),
       interrupted, request(base, IoReadParamsBuffer), request(base, IoReadImageBuffer)},
      "abandoned reads");
  // A region, then the whole image, of files with and without restarts.
  expect_each_as_on_a_new_job(
      {request(base, IoReadImageBuffer, {16, 100, 200, 180}), request(base, IoReadImageBuffer),
       request(restarts, IoReadImageFile, {16, 100, 200, 180}), request(restarts, IoReadImageFile)},
      "region then whole");
  // Header, whole, region of one file; regions from the index again, one
  // with open right and bottom edges.
  expect_each_as_on_a_new_job(
      {request(restarts, IoReadParamsFile), request(restarts, IoReadImageFile),
       request(restarts, IoReadImageFile, {8, 120, 90, 200}),
       request(restarts, IoReadImageFile, {30, 20, 50, 60}),
       request(restarts, IoReadImageFile, {300, 200, 0, 0}),
       request(prog, IoReadImageBuffer, {0, 0, 20, 20}),
       request(prog, IoReadImageBuffer, {300, 200, 0, 0})},
      "header, whole, regions");
  // File then buffer and back; two header reads; two half-size reads.
  expect_each_as_on_a_new_job({request(base, IoReadImageFile, {0, 64, 64, 128}),
                               request(base, IoReadImageBuffer, {0, 64, 64, 128}),
                               request(gray, IoReadParamsFile), request(gray, IoReadParamsBuffer),
                               request(gray, IoReadParamsBuffer), request(prog, IoReadHalfFile),
                               request(prog, IoReadHalfFile), request(base, IoReadImageFile)},
                              "file and buffer");
  // Images of other sizes and colours on one job; progressive regions.
  expect_each_as_on_a_new_job(
      {request(base, IoReadImageBuffer), request(5, IoReadImageBuffer),
       request(adobe, IoReadImageFile), request(prog, IoReadImageBuffer, {100, 50, 180, 130}),
       request(prog, IoReadEighthBuffer, {3, 2, 30, 20}), request(gray, IoReadImageFile)},
      "other images");
  // Files of odd structure read twice, or in another way after a whole read.
  const size_t cmyk = 11, reversed = 12, twice = 13, adobe_late = 14;
  ReadRequest four = request(cmyk, IoReadImageBuffer), four_region = four;
  four.out_color = four_region.out_color = ColorFourChannel;
  four.out_channels = four_region.out_channels = 4;
  four_region.roi[0] = 5, four_region.roi[1] = 7, four_region.roi[2] = 38;
  four_region.roi[3] = 27;
  expect_each_as_on_a_new_job({four, four_region}, "a four-component region after the whole");
  ReadRequest late = four;
  late.file = adobe_late;
  expect_each_as_on_a_new_job({late, late}, "an Adobe segment after the scan, twice");
  expect_each_as_on_a_new_job(
      {request(reversed, IoReadImageBuffer), request(reversed, IoReadEighthBuffer),
       request(twice, IoReadImageBuffer), request(twice, IoReadEighthBuffer)},
      "scans listing components out of order, or one twice, then 1/8");
  // A parameter read with RGB output asked for after a four-component file.
  ReadRequest params = request(base, IoReadParamsBuffer);
  expect_each_as_on_a_new_job({four, params}, "a header read after a CMYK file");
}

TEST(ReusedJob, InitialisingTwiceReleasesTheFirstState) {
  // Under LeakSanitizer a second jpeg_init that dropped the first one's
  // allocations fails the run; here the job must also still work.
  BufferJob job(test_files()[0].data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  ASSERT_EQ(jpeg_init(&job.job), JpegSuccess);
  job.job.jpeg_buffer = job.data.data();
  job.job.jpeg_buffer_size = static_cast<int32_t>(job.data.size());
  EXPECT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  EXPECT_EQ(job.job.jpeg_width, test_files()[0].width);
}

TEST(ReusedJob, NewBytesInTheSameBufferAreNewData) {
  // A caller that refills one buffer with another file of the same size: a
  // region read must not seek through what the first file left.
  for (bool progressive : {false, true}) {
    std::vector<uint8_t> a = encode(64, 64, 3, 0, progressive);
    std::vector<uint8_t> b = encode(64, 64, 1, 0, progressive);
    const size_t size = std::max(a.size(), b.size());
    a.resize(size, 0);  // bytes after the end of image are passed over
    b.resize(size, 0);
    std::vector<uint8_t> buffer = a;
    JpegJob job;
    std::memset(&job, 0, sizeof job);
    ASSERT_EQ(jpeg_init(&job), JpegSuccess);
    std::vector<uint8_t> pixels(32 * 32 * 3), expected(32 * 32 * 3);
    auto region_read = [&](JpegJob& j, uint8_t* data, uint8_t* out) {
      j.jpeg_buffer = data;
      j.jpeg_buffer_size = static_cast<int32_t>(size);
      j.out_pixels = out;
      j.out_width = 32;
      j.out_height = 32;
      j.out_color = ColorRgb;
      j.properties.roi_left = j.properties.roi_top = 16;
      j.properties.roi_right = j.properties.roi_bottom = 48;
      return jpeg_read(&j, IoReadImageBuffer);
    };
    ASSERT_EQ(region_read(job, buffer.data(), pixels.data()), JpegRoiSuccess);
    buffer = b;  // the same memory, the same size
    ASSERT_EQ(region_read(job, buffer.data(), pixels.data()), JpegRoiSuccess);
    JpegJob fresh;
    std::memset(&fresh, 0, sizeof fresh);
    ASSERT_EQ(jpeg_init(&fresh), JpegSuccess);
    ASSERT_EQ(region_read(fresh, b.data(), expected.data()), JpegRoiSuccess);
    EXPECT_TRUE(pixels == expected) << (progressive ? "progressive" : "sequential");
    jpeg_free(&fresh);
    jpeg_free(&job);
  }
}
