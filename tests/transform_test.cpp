// Lossless transforms: each against jpegtran's result with the same options
// (both decoded by libjpeg-turbo), the coefficient writer against the
// coefficients it was given, crops that read only their rows, and the
// requests refused without leaving a file.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "jpeg/api/jpegcodec.h"
#include "tests/jpeg_oracle.h"
#include "tests/jpeg_test_util.h"
#include "tests/libjpeg_encode.h"

namespace {

struct Transformed {
  JpegStatus status = JpegSuccess;
  bool written = false;
  std::string detail;
  std::vector<uint8_t> bytes;
};

struct WriteOptions {
  bool optimize = false, progressive = false;
  int32_t threads = 1;
};

Transformed transform(const std::vector<uint8_t>& in, JpegTransform t, WriteOptions w = {}) {
  BufferJob source(in);
  JpegJob d{};
  jpeg_init(&d);
  std::vector<uint8_t> out(in.size() * 4 + 65536);
  d.jpeg_buffer = out.data();
  d.jpeg_buffer_size = static_cast<int32_t>(out.size());
  d.write_optimize = w.optimize;
  d.write_progressive = w.progressive;
  d.threads = w.threads;
  Transformed r;
  r.status = jpeg_transform(&source.job, IoReadImageBuffer, &d, IoWriteImageBuffer, &t);
  r.written = t.written != 0;
  r.detail = jpeg_status_detail(&d);
  if (r.written) r.bytes.assign(out.begin(), out.begin() + d.jpeg_buffer_size);
  jpeg_free(&d);
  return r;
}

// jpegtran's file for `args`, or nothing when it refuses.
std::vector<uint8_t> jpegtran(const std::vector<uint8_t>& in, const std::string& args) {
  TempFile input(in), output({});
  const std::string command =
      "jpegtran " + args + " -outfile " + output.path + " " + input.path + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  return read_file(output.path);
}

bool jpegtran_available() {
  return std::system("jpegtran -version >/dev/null 2>&1") == 0;
}

// One request in both forms.
struct Request {
  JpegTransform ours{};
  std::string theirs;
};

Request request(int32_t kind, const std::string& extra = "") {
  static const char* const kArgs[] = {
      "",           "-flip horizontal", "-flip vertical", "-transpose", "-transverse",
      "-rotate 90", "-rotate 180",      "-rotate 270"};
  Request r;
  r.ours.kind = kind;
  r.theirs = std::string(kArgs[kind]) + " " + extra;
  return r;
}

void crop(Request* r, int w, int h, int x, int y) {
  r->ours.crop_width = w;
  r->ours.crop_height = h;
  r->ours.crop_x = x;
  r->ours.crop_y = y;
  r->theirs += " -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) +
               "+" + std::to_string(y);
}

Image decoded(const std::vector<uint8_t>& file) {
  Image image;
  EXPECT_TRUE(oracle_decode(file, &image));
  return image;
}

TEST(Transform, EveryTransformDecodesToJpegtransPixels) {
  ASSERT_TRUE(jpegtran_available()) << "jpegtran (libjpeg-turbo-progs) is needed as the oracle";
  const char* const kFiles[] = {"generated/base_420.jpg",
                                "generated/base_422.jpg",
                                "generated/base_444.jpg",
                                "generated/base_440.jpg",
                                "generated/base_411.jpg",
                                "generated/gray.jpg",
                                "generated/cmyk.jpg",
                                "generated/rgb_adobe.jpg",
                                "generated/prog_420.jpg",
                                "generated/prog_succ_approx.jpg",
                                "generated/restart_mcus.jpg",
                                "generated/odd_33x9_420.jpg",
                                "generated/sof1_16bit_tables.jpg"};
  // And RGB named by its components' ids alone, no JFIF or Adobe segment.
  EncodeOptions rgb;
  rgb.rgb_data = true;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (const char* name : kFiles) files.emplace_back(name, read_file(test_data(name)));
  files.emplace_back("RGB by its ids", encode_with(61, 35, 3, rgb));
  int compared = 0, refused_by_both = 0;
  for (const auto& [name, file] : files) {
    Image source;
    ASSERT_TRUE(oracle_decode(file, &source)) << name;
    for (int32_t kind = TransformNone; kind <= TransformRotate270; ++kind) {
      const bool transposed = kind == TransformTranspose || kind == TransformTransverse ||
                              kind == TransformRotate90 || kind == TransformRotate270;
      const int fw = transposed ? source.height : source.width;
      const int fh = transposed ? source.width : source.height;
      std::vector<Request> requests;
      requests.push_back(request(kind));
      requests.push_back(request(kind, "-trim"));
      requests.push_back(request(kind, "-grayscale"));
      requests.back().ours.grayscale = 1;
      requests.back().ours.trim = 1;
      requests.back().theirs += " -trim";
      // A crop inside the image, and one reaching its far corner (where
      // trimming meets the crop).
      requests.push_back(request(kind));
      crop(&requests.back(), fw / 2, fh / 2 + 1, fw / 5, fh / 7);
      requests.push_back(request(kind, "-trim"));
      crop(&requests.back(), fw - fw / 3, fh - fh / 4, fw / 3, fh / 4);
      requests[1].ours.trim = requests.back().ours.trim = 1;
      for (Request& r : requests) {
        const Transformed ours = transform(file, r.ours);
        const std::vector<uint8_t> theirs = jpegtran(file, r.theirs);
        SCOPED_TRACE(name + " [" + r.theirs + "]");
        if (theirs.empty()) {
          // jpegtran refuses a grey result of RGB or CMYK data: so do we.
          EXPECT_LT(ours.status, 0);
          EXPECT_FALSE(ours.written);
          ++refused_by_both;
          continue;
        }
        ASSERT_EQ(ours.status, JpegSuccess) << ours.detail;
        const Image a = decoded(ours.bytes), b = decoded(theirs);
        ASSERT_EQ(a.width, b.width);
        ASSERT_EQ(a.height, b.height);
        ASSERT_EQ(a.channels, b.channels);
        ASSERT_TRUE(a.pixels == b.pixels);
        ++compared;
      }
    }
  }
  // 14 files, 8 transforms, 5 variants: the grey results of the RGB and
  // CMYK files are the only ones jpegtran refuses.
  EXPECT_EQ(compared + refused_by_both, 14 * 8 * 5);
  EXPECT_EQ(refused_by_both, 3 * 8);
  std::printf("%d transforms gave jpegtran's pixels; %d refused by both\n", compared,
              refused_by_both);
}

TEST(Transform, WritesOfEveryKindGiveTheSamePixels) {
  // A rotation written baseline, optimised, progressive, with restart
  // markers and with threads decodes the same each time, as jpegtran's.
  ASSERT_TRUE(jpegtran_available());
  EncodeOptions options;
  const std::vector<uint8_t> file = encode_with(1003, 701, 3, options);  // large enough for threads
  const std::vector<uint8_t> theirs = jpegtran(file, "-rotate 270");
  const Image expected = decoded(theirs);
  for (int variant = 0; variant < 5; ++variant) {
    JpegTransform t{};
    t.kind = TransformRotate270;
    WriteOptions w;
    w.optimize = variant == 1;
    w.progressive = variant == 2;
    t.restart_rows = variant == 3 ? 2 : 0;
    w.threads = variant == 4 ? 3 : 1;
    const Transformed ours = transform(file, t, w);
    ASSERT_EQ(ours.status, JpegSuccess) << variant << ": " << ours.detail;
    EXPECT_TRUE(decoded(ours.bytes).pixels == expected.pixels) << variant;
  }
}

TEST(Transform, ACropReadsOnlyTheRowsItKeeps) {
  // The file is cut off in its lower half: a crop near the top is whole and
  // right (the rows below are never read), the whole image is not.
  ASSERT_TRUE(jpegtran_available());
  EncodeOptions options;
  const std::vector<uint8_t> whole = encode_with(512, 1024, 3, options);
  const std::vector<uint8_t> cut(whole.begin(), whole.begin() + whole.size() * 2 / 5);
  Request r = request(TransformNone);
  crop(&r, 100, 90, 130, 70);
  const Transformed ours = transform(cut, r.ours);
  ASSERT_EQ(ours.status, JpegSuccess) << ours.detail;
  EXPECT_TRUE(decoded(ours.bytes).pixels == decoded(jpegtran(whole, r.theirs)).pixels);
  const Transformed all = transform(cut, JpegTransform{});
  EXPECT_LT(all.status, 0);
  EXPECT_FALSE(all.written);
}

bool exists(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0;
}

TEST(Transform, RefusedRequestsLeaveNoFile) {
  const std::vector<uint8_t> photo = read_file(test_data("generated/base_411.jpg"));  // 257x131
  const std::vector<uint8_t> cut(photo.begin(), photo.begin() + photo.size() / 2);
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    JpegTransform t;
    JpegStatus status;
  } cases[] = {
      {"a crop outside the image", photo, {}, JpegInvalidProperties},
      {"a crop reaching past it", photo, {}, JpegInvalidProperties},
      {"perfect with partial MCUs", photo, {}, JpegNotSupported},
      {"arithmetic coding", read_file(test_data("generated/arith.jpg")), {}, JpegUnsupportedFrame},
      {"12-bit samples",
       read_file(test_data("generated/bad_precision12.jpg")),
       {},
       JpegUnsupportedFrame},
      {"damaged data", cut, {}, JpegEofError},
      {"two transforms at once", photo, {}, JpegInvalidProperties},
  };
  cases[0].t.crop_x = 300, cases[0].t.crop_width = cases[0].t.crop_height = 8;
  cases[1].t.crop_x = 200, cases[1].t.crop_width = 100, cases[1].t.crop_height = 8;
  cases[2].t.kind = TransformRotate90, cases[2].t.perfect = 1;
  cases[6].t.kind = TransformRotate90, cases[6].t.auto_orient = 1;
  {
    // One job for both sides.
    BufferJob job(photo);
    JpegTransform t{};
    EXPECT_EQ(jpeg_transform(&job.job, IoReadImageBuffer, &job.job, IoWriteImageBuffer, &t),
              JpegInvalidProperties);
    EXPECT_EQ(t.written, 0);
  }
  for (Case& c : cases) {
    TempFile input(c.file);
    const std::string output = input.path + ".out.jpg";
    JpegJob s{}, d{};
    jpeg_init(&s);
    jpeg_init(&d);
    s.file_name = input.path.c_str();
    d.file_name = output.c_str();
    const JpegStatus status = jpeg_transform(&s, IoReadImageFile, &d, IoWriteImageFile, &c.t);
    EXPECT_EQ(status, c.status) << c.what << ": " << jpeg_status_detail(&d);
    EXPECT_NE(jpeg_status_detail(&d)[0], '\0') << c.what;
    EXPECT_FALSE(exists(output)) << c.what;
    EXPECT_EQ(c.t.written, 0) << c.what;
    // Damaged data are written as far as they were read when forced.
    if (c.status == JpegEofError) {
      c.t.force = 1;
      EXPECT_EQ(jpeg_transform(&s, IoReadImageFile, &d, IoWriteImageFile, &c.t), JpegEofError);
      EXPECT_EQ(c.t.written, 1);
      Image image;
      EXPECT_TRUE(oracle_decode(read_file(output), &image));
      EXPECT_EQ(image.width, 257);
      unlink(output.c_str());
    }
    jpeg_free(&s);
    jpeg_free(&d);
  }
}

// The coefficients of a file as the decoder gives them, plane by plane.
struct Coefficients {
  int32_t width = 0, height = 0, count = 0;
  int32_t h[4] = {}, v[4] = {}, id[4] = {};
  std::vector<int16_t> planes[4];
  uint16_t quant[4][64] = {};
};

Coefficients coefficients_of(const std::vector<uint8_t>& file) {
  BufferJob job(file);
  Coefficients c;
  EXPECT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  const JPEG_PROPERTIES& p = job.job.properties;
  c.width = job.job.jpeg_width;
  c.height = job.job.jpeg_height;
  c.count = p.frame.component_count;
  JpegCoefOutput output{};
  for (int32_t i = 0; i < c.count; ++i) {
    c.h[i] = p.frame.components[i].h;
    c.v[i] = p.frame.components[i].v;
    c.id[i] = p.frame.components[i].id;
    c.planes[i].assign(size_t(p.mcus_per_row) * c.h[i] * 8 * p.mcu_rows * c.v[i] * 8, 0);
    output.planes[i] = c.planes[i].data();
  }
  job.job.properties.coef_output = &output;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  for (int32_t i = 0; i < c.count; ++i) {
    for (int k = 0; k < 64; ++k) c.quant[i][k] = p.latched_raw[i][k];
  }
  return c;
}

TEST(Transform, TheCoefficientWriterKeepsEveryCoefficient) {
  const Coefficients given = coefficients_of(read_file(test_data("generated/base_420.jpg")));
  JpegCoefImage image{};
  image.width = given.width;
  image.height = given.height;
  image.color = ColorYcbcr;
  image.component_count = given.count;
  for (int32_t i = 0; i < given.count; ++i) {
    image.components[i] = {given.id[i], given.h[i], given.v[i], i, given.planes[i].data()};
    image.quant_tables[i] = given.quant[i];
  }
  auto write = [&](JpegJob* job) {
    std::vector<uint8_t> out(1 << 20);
    job->jpeg_buffer = out.data();
    job->jpeg_buffer_size = static_cast<int32_t>(out.size());
    const JpegStatus status = jpeg_write_coefficient_image(job, IoWriteImageBuffer, &image);
    out.resize(status == JpegSuccess ? job->jpeg_buffer_size : 0);
    return std::make_pair(status, out);
  };
  for (int variant = 0; variant < 4; ++variant) {
    JpegJob job{};
    jpeg_init(&job);
    job.write_optimize = variant == 1;
    job.write_progressive = variant == 2;
    job.write_restart_interval = variant == 3 ? 5 : 0;
    const auto [status, file] = write(&job);
    ASSERT_EQ(status, JpegSuccess) << variant << ": " << jpeg_status_detail(&job);
    const Coefficients back = coefficients_of(file);
    for (int32_t i = 0; i < given.count; ++i) {
      EXPECT_TRUE(back.planes[i] == given.planes[i]) << variant << " component " << i;
    }
    jpeg_free(&job);
  }
  // What an 8-bit frame cannot code, and a description out of range.
  JpegJob job{};
  jpeg_init(&job);
  std::vector<int16_t> wide = given.planes[1];
  wide[1] = 1024;
  image.components[1].plane = wide.data();
  EXPECT_EQ(write(&job).first, JpegInvalidProperties);
  EXPECT_NE(std::string(jpeg_status_detail(&job)).find("out of range"), std::string::npos);
  // A DC of 1024 would leave a difference of 12 bits' category, which the
  // standard tables have no code for.
  image.components[1].plane = given.planes[1].data();
  std::vector<int16_t> high_dc = given.planes[0];
  high_dc[0] = 1024;
  image.components[0].plane = high_dc.data();
  EXPECT_EQ(write(&job).first, JpegInvalidProperties);
  image.components[0].plane = given.planes[0].data();
  image.components[2].h = 5;
  EXPECT_EQ(write(&job).first, JpegInvalidProperties);
  EXPECT_NE(std::string(jpeg_status_detail(&job)).find("sampling"), std::string::npos);
  jpeg_free(&job);
}

}  // namespace
