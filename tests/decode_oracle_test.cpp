// Whole images against a peer decoder: every decodable file of the
// conformance corpus, decoded by this codec and by libjpeg-turbo (linked
// into the tests only, as an oracle), with box upsampling on both sides.

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/jpeg_oracle.h"
#include "tests/jpeg_test_util.h"
#include "tests/libjpeg_encode.h"

namespace {

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(test_data(""))) {
    const std::string path = entry.path().string();
    // The fuzzing regressions are broken on purpose.
    if (entry.path().extension() == ".jpg" && path.find("/fuzz/") == std::string::npos) {
      files.push_back(path);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool is_full_resolution(const std::vector<uint8_t>& data) {
  BufferJob job(data);
  return job.read(IoReadParamsBuffer) == JpegSuccess && job.job.jpeg_subsampling == Sub444;
}

}  // namespace

TEST(DecodeOracle, EveryDecodableCorpusFileAgreesWithLibjpegTurbo) {
  int decoded = 0;
  double lowest_full = 99, lowest_subsampled = 99;
  // Colour files: each channel's difference from libjpeg-turbo's, summed
  // over every pixel: single samples may round otherwise, no channel may
  // lean one way (a cast).
  double difference[3] = {};
  double colour_samples = 0;
  for (const std::string& path : corpus_files()) {
    const std::vector<uint8_t> data = read_file(path);
    Image ours, theirs;
    const JpegStatus status = our_decode(data, &ours);
    BufferJob probe(data);
    if (probe.read(IoReadParamsBuffer) != JpegSuccess) continue;  // refused at the header
    if (status == JpegUnsupportedFrame || status == JpegDnlError) continue;
    if (path.find("truncated") != std::string::npos ||
        path.find("tables_then") != std::string::npos) {
      continue;  // checked on their own below
    }
    ASSERT_EQ(status, JpegSuccess) << path;
    ASSERT_TRUE(oracle_decode(data, &theirs)) << path;
    ASSERT_EQ(ours.width, theirs.width) << path;
    ASSERT_EQ(ours.height, theirs.height) << path;
    ASSERT_EQ(ours.channels, theirs.channels) << path;
    const double db = psnr(ours, theirs);
    const bool exact_class = ours.channels == 1 || is_full_resolution(data);
    EXPECT_GE(db, exact_class ? 50.0 : 45.0) << path;
    double& lowest = exact_class ? lowest_full : lowest_subsampled;
    if (db < lowest) lowest = db;
    if (ours.channels == 3) {
      for (size_t i = 0; i < ours.pixels.size(); ++i) {
        difference[i % 3] += int{ours.pixels[i]} - int{theirs.pixels[i]};
      }
      colour_samples += static_cast<double>(ours.pixels.size()) / 3;
    }
    ++decoded;
  }
  EXPECT_GT(decoded, 100);
  for (int c = 0; c < 3; ++c) {
    EXPECT_LT(std::abs(difference[c] / colour_samples), 0.05) << "a cast in channel " << c;
  }
  std::printf("mean difference from libjpeg-turbo: R %+.3f, G %+.3f, B %+.3f\n",
              difference[0] / colour_samples, difference[1] / colour_samples,
              difference[2] / colour_samples);
  std::printf("%d files; lowest PSNR: %.1f dB grey and 4:4:4, %.1f dB subsampled\n", decoded,
              lowest_full, lowest_subsampled);
}

namespace {

std::string peer_corpus() {
  return std::string(KNOT_TEST_DATA_DIR) + "/../../../shared/corpus/peer";
}

// Our decode of a damaged file is what we wrote, whatever the status.
double psnr_against_peer(const std::string& path, JpegStatus* status) {
  const std::vector<uint8_t> data = read_file(path);
  Image ours, theirs;
  *status = our_decode(data, &ours);
  if (!oracle_decode(data, &theirs) || ours.pixels.empty()) return -1;
  if (ours.width != theirs.width || ours.height != theirs.height ||
      ours.channels != theirs.channels) {
    return -2;
  }
  return psnr(ours, theirs);
}

}  // namespace

// Files from other decoders' test suites (read in place, never copied into
// the project): the kinds of file other encoders make are decoded as
// libjpeg-turbo decodes them.
TEST(DecodeOracle, FilesOfOtherEncodersAgreeWithLibjpegTurbo) {
  if (!std::filesystem::exists(peer_corpus())) GTEST_SKIP() << "no peer corpus here";
  struct Expectation {
    const char* file;
    double least_db;
  };
  const Expectation expected[] = {
      // Grey files whose one component declares 2x2 sampling.
      {"differ/tests__reftest__images__grayscale_16x24_sampling2x2.jpg", 45},
      {"differ/tests__reftest__images__grayscale_24x16_sampling2x2.jpg", 45},
      {"differ/tests__reftest__images__blank_800x280.jpg", 45},
      // Luma alone in the first scan, both chroma components interleaved in
      // the second.
      {"differ/tests__crashtest__images__imagetestsuite__865db3dd2d380626f16b6f9dc6d62dba.jpg", 45},
      // Component ids 'R', 'G', 'B' and neither JFIF nor Adobe: RGB data.
      {"differ/test-images__jpeg__weird_sampling_2.jpeg", 45},
      // A sequential frame whose scan header says Al = 8.
      {"differ/fuzz-afl__in__id_000170,src_000000,op_flip1,pos_307,+cov.jpg", 45},
      // A comment segment whose length is 0.
      {"ours_fails/test__data__artificial-jpeg__hippopotamus-bad-comment-length.jpeg", 45},
  };
  for (const Expectation& e : expected) {
    JpegStatus status;
    const double db = psnr_against_peer(peer_corpus() + "/" + e.file, &status);
    EXPECT_GE(db, e.least_db) << e.file << " status " << status;
  }
  // The whole collection, for the record.
  int files = 0, close = 0;
  for (const char* folder : {"differ", "ours_fails"}) {
    for (const auto& entry : std::filesystem::directory_iterator(peer_corpus() + "/" + folder)) {
      JpegStatus status;
      const double db = psnr_against_peer(entry.path().string(), &status);
      ++files;
      if (db >= 30) ++close;
      std::printf("%6.1f dB  status %4d  %s/%s\n", db, status, folder,
                  entry.path().filename().c_str());
    }
  }
  std::printf("%d of %d files within 30 dB of libjpeg-turbo\n", close, files);
}

namespace {

// An image read straight away, with the job's defaults for the data's
// colour (no parameter read first).
JpegStatus direct_decode(const std::vector<uint8_t>& data, int width, int height, int32_t out_color,
                         int channels, Image* out) {
  BufferJob job(data);
  out->width = width;
  out->height = height;
  out->channels = channels;
  out->pixels.assign(static_cast<size_t>(width) * height * channels, 0);
  job.job.out_pixels = out->pixels.data();
  job.job.out_width = width;
  job.job.out_height = height;
  job.job.out_channels = channels;
  job.job.out_color = out_color;
  return job.read(IoReadImageBuffer);
}

// The same picture through both decoders; grey expanded to RGB for a
// comparison with an RGB decode of ours.
void expect_like_libjpeg(const std::vector<uint8_t>& data, const std::string& what) {
  Image ours, theirs;
  ASSERT_EQ(our_decode(data, &ours), JpegSuccess) << what;
  ASSERT_TRUE(oracle_decode(data, &theirs)) << what;
  ASSERT_EQ(ours.width, theirs.width) << what;
  ASSERT_EQ(ours.channels, theirs.channels) << what;
  EXPECT_GE(psnr(ours, theirs), 45.0) << what;
}

}  // namespace

// Inputs of the kinds other encoders make, made here with libjpeg-turbo.
TEST(DecodeOracle, KindsOfFileOtherEncodersMake) {
  EncodeOptions grey22;
  grey22.h0 = grey22.v0 = 2;
  expect_like_libjpeg(encode_with(40, 24, 1, grey22), "grey declaring 2x2");
  EncodeOptions grey31;
  grey31.h0 = 3;
  grey31.v0 = 1;
  grey31.restart_interval = 1;
  expect_like_libjpeg(encode_with(53, 21, 1, grey31), "grey declaring 3x1, restart every MCU");

  EncodeOptions luma_then_chroma;
  luma_then_chroma.scans = {{0}, {1, 2}};
  expect_like_libjpeg(encode_with(48, 40, 3, luma_then_chroma), "Y, then Cb and Cr together");
  EncodeOptions chroma_first;
  chroma_first.scans = {{2}, {0, 1}};
  expect_like_libjpeg(encode_with(40, 33, 3, chroma_first), "Cr, then Y and Cb together");

  EncodeOptions rgb;
  rgb.rgb_data = true;
  const std::vector<uint8_t> rgb_file = encode_with(32, 16, 3, rgb);
  expect_like_libjpeg(rgb_file, "components R, G, B without JFIF or Adobe");

  // A sequential scan header that says Al = 8: read as the whole band.
  std::vector<uint8_t> odd_al = encode(24, 16, 3);
  for (size_t i = 0; i + 1 < odd_al.size(); ++i) {
    if (odd_al[i] == 0xFF && odd_al[i + 1] == 0xDA) {
      const size_t length = size_t{odd_al[i + 2]} << 8 | odd_al[i + 3];
      odd_al[i + 2 + length - 1] = 0x08;
      break;
    }
  }
  expect_like_libjpeg(odd_al, "Al = 8 in a sequential scan");

  // A comment whose length field is 0.
  std::vector<uint8_t> bad_comment = encode(16, 16, 3);
  bad_comment.insert(bad_comment.begin() + 2, {0xFF, 0xFE, 0x00, 0x00});
  expect_like_libjpeg(bad_comment, "COM of length 0");
}

TEST(DecodeOracle, AnImageReadFindsTheDataColourItself) {
  // Grey data into RGB without a parameter read: each grey value three
  // times (white stays white).
  const std::vector<uint8_t> grey = encode(16, 8, 1);
  Image direct, gray;
  ASSERT_EQ(direct_decode(grey, 16, 8, ColorRgb, 3, &direct), JpegSuccess);
  ASSERT_EQ(our_decode(grey, &gray), JpegSuccess);
  ASSERT_EQ(gray.channels, 1);
  for (size_t i = 0; i < gray.pixels.size(); ++i) {
    for (int c = 0; c < 3; ++c) ASSERT_EQ(direct.pixels[3 * i + c], gray.pixels[i]) << i;
  }
  // RGB data with an Adobe segment, and with R, G, B ids: as after a
  // parameter read.
  EncodeOptions rgb;
  rgb.rgb_data = true;
  for (const std::vector<uint8_t>& data :
       {read_file(test_data("generated/rgb_adobe.jpg")), encode_with(32, 16, 3, rgb)}) {
    Image after_params;
    ASSERT_EQ(our_decode(data, &after_params), JpegSuccess);
    ASSERT_EQ(direct_decode(data, after_params.width, after_params.height, ColorRgb, 3, &direct),
              JpegSuccess);
    EXPECT_EQ(direct.pixels, after_params.pixels);
  }
}

TEST(DecodeOracle, PackedYcbcrOfComponentsInSeparateScans) {
  // 4:2:2 with one scan a component, kept as YCbCr: what the interleaved
  // file gives, and nothing written past a row of one byte a pixel.
  EncodeOptions separate;
  separate.h0 = 2;
  separate.v0 = 1;
  separate.scans = {{0}, {1}, {2}};
  EncodeOptions together = separate;
  together.scans.clear();
  const std::vector<uint8_t> a = encode_with(34, 10, 3, separate);
  const std::vector<uint8_t> b = encode_with(34, 10, 3, together);
  for (int channels : {1, 2, 3}) {
    std::vector<std::vector<uint8_t>> images;
    for (const std::vector<uint8_t>* data : {&a, &b}) {
      BufferJob job(*data);
      ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
      std::vector<uint8_t> pixels(34 * 10 * static_cast<size_t>(channels) + 64, 0x5A);
      job.job.out_pixels = pixels.data();
      job.job.out_width = 34;
      job.job.out_height = 10;
      job.job.out_channels = channels;
      job.job.out_color = ColorYcbcr;
      ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess) << channels;
      for (size_t i = pixels.size() - 64; i < pixels.size(); ++i) {
        ASSERT_EQ(pixels[i], 0x5A) << "written past the image, " << channels << " channels";
      }
      images.push_back(pixels);
    }
    EXPECT_EQ(images[0], images[1]) << channels << " channels";
  }
}

namespace {

// Positions of the restart markers in `data`.
std::vector<size_t> restart_markers(const std::vector<uint8_t>& data) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7) at.push_back(i);
  }
  return at;
}

}  // namespace

TEST(DecodeOracle, DamagedRestartIntervalsAreResynchronised) {
  // Restart markers lost, out of order, or behind garbage: the rest of the
  // image decodes as libjpeg-turbo decodes it, and the read says -25.
  const std::vector<uint8_t> clean = encode(96, 64, 3, 2);
  const std::vector<size_t> markers = restart_markers(clean);
  ASSERT_GT(markers.size(), 10u);
  struct Variant {
    const char* what;
    std::vector<uint8_t> data;
    JpegStatus status;
  };
  std::vector<Variant> variants;
  std::vector<uint8_t> missing = clean;
  missing.erase(missing.begin() + static_cast<long>(markers[4]),
                missing.begin() + static_cast<long>(markers[4]) + 2);
  variants.push_back({"a restart marker missing", missing, JpegBadRstMarker});
  std::vector<uint8_t> two_missing = missing;
  two_missing.erase(two_missing.begin() + static_cast<long>(markers[8]) - 2,
                    two_missing.begin() + static_cast<long>(markers[8]));
  variants.push_back({"two restart markers missing", two_missing, JpegBadRstMarker});
  // Whole intervals lost, markers and data: the marker found is one or two
  // numbers ahead of the one due, and the intervals between stay grey.
  for (size_t lost : {size_t{1}, size_t{2}}) {
    std::vector<uint8_t> cut = clean;
    cut.erase(cut.begin() + static_cast<long>(markers[4]),
              cut.begin() + static_cast<long>(markers[4 + lost]));
    variants.push_back(
        {lost == 1 ? "an interval lost" : "two intervals lost", cut, JpegBadRstMarker});
  }
  std::vector<uint8_t> swapped = clean;
  std::swap(swapped[markers[5] + 1], swapped[markers[6] + 1]);
  variants.push_back({"two restart markers swapped", swapped, JpegBadRstMarker});
  std::vector<uint8_t> garbage = clean;
  garbage.insert(garbage.begin() + static_cast<long>(markers[3]), {0x12, 0x34, 0x56});
  variants.push_back({"garbage before a restart marker", garbage, JpegSuccess});
  // A code that is no marker inside an interval: the interval ends there,
  // the next restart marker resumes.
  std::vector<uint8_t> stray = clean;
  stray.insert(stray.begin() + static_cast<long>(markers[2]) - 3, {0xFF, 0x49});
  variants.push_back({"a stray marker code inside an interval", stray, JpegBadRstMarker});

  // A progressive picture whose first scan loses the end of its data: the
  // later scans are decoded all the same.
  const std::vector<uint8_t> progressive = encode(96, 64, 3, 0, true);
  size_t first_scan = 0, second_scan = 0;
  for (size_t i = 0; i + 1 < progressive.size(); ++i) {
    if (progressive[i] == 0xFF && progressive[i + 1] == 0xDA) {
      (first_scan == 0 ? first_scan : second_scan) = i;
      if (second_scan != 0) break;
    }
  }
  ASSERT_GT(second_scan, first_scan + 40);
  // The DC scan's data end well before the tables and the scan after them.
  size_t scan_end = first_scan + 2;
  while (!(progressive[scan_end] == 0xFF && progressive[scan_end + 1] != 0 &&
           (progressive[scan_end + 1] < 0xD0 || progressive[scan_end + 1] > 0xD7))) {
    ++scan_end;
  }
  std::vector<uint8_t> short_scan = progressive;
  short_scan.erase(short_scan.begin() + static_cast<long>(first_scan + (scan_end - first_scan) / 2),
                   short_scan.begin() + static_cast<long>(scan_end));
  variants.push_back({"a progressive scan cut short, later scans whole", short_scan, JpegEofError});

  for (const Variant& v : variants) {
    Image ours, theirs;
    EXPECT_EQ(our_decode(v.data, &ours), v.status) << v.what;
    ASSERT_TRUE(oracle_decode(v.data, &theirs)) << v.what;
    ASSERT_EQ(ours.pixels.size(), theirs.pixels.size()) << v.what;
    // Zero bits finish the MCU where the data break, as in libjpeg-turbo.
    EXPECT_GE(psnr(ours, theirs), 45.0) << v.what;
  }
}
