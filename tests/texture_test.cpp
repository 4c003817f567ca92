// The knot's texture image: decoding, the colour set-up, padded rows, the
// red-blue swap, failures, and the dropped-file filter. (Uploading needs a
// GL context: the end-to-end tests cover it.)

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/jpeg_test_util.h"
#include "tests/libjpeg_encode.h"
#include "texture/knot_texture.h"
#include "texture/texture_files.h"

namespace {

struct TempJpeg {
  explicit TempJpeg(const std::vector<uint8_t>& data) {
    char name[] = "/tmp/knot-texture-XXXXXX";
    const int fd = mkstemp(name);
    path = name;
    if (fd >= 0) {
      if (write(fd, data.data(), data.size()) < 0) path.clear();
      close(fd);
    }
  }
  ~TempJpeg() { unlink(path.c_str()); }
  std::string path;
};

}  // namespace

TEST(TextureFiles, OnlyJpgAndUpperCaseJpgNamesAreTaken) {
  EXPECT_TRUE(is_texture_file_name("photo.jpg"));
  EXPECT_TRUE(is_texture_file_name("/home/me/PHOTO.JPG"));
  EXPECT_TRUE(is_texture_file_name("notes.jpg.txt")) << "a substring search, as it always was";
  EXPECT_FALSE(is_texture_file_name("photo.jpeg"));
  EXPECT_FALSE(is_texture_file_name("photo.Jpg"));
  EXPECT_FALSE(is_texture_file_name("picture.png"));
  EXPECT_FALSE(is_texture_file_name(""));
  EXPECT_FALSE(is_texture_file_name(nullptr));
}

TEST(TextureDecode, ColourImagesBecomeRgbWithRedAndBlueInPlace) {
  const std::string path = test_data("generated/base_444.jpg");
  KnotTexture texture;
  ASSERT_EQ(texture.decode_file(path.c_str()), nullptr);
  EXPECT_EQ(texture.channels, 3);
  EXPECT_EQ(texture.width, 320);
  EXPECT_EQ(texture.height, 240);
  // The codec's own RGB decode of the same file.
  BufferJob job(read_file(path));
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<uint8_t> rgb(320 * 240 * 3);
  job.job.out_pixels = rgb.data();
  job.job.out_width = 320;
  job.job.out_height = 240;
  job.job.out_color = ColorRgb;
  ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  EXPECT_EQ(0, std::memcmp(texture.pixels.get(), rgb.data(), rgb.size()));
  EXPECT_EQ(texture.gl_name, 0u) << "decoding alone makes no texture object";
}

TEST(TextureDecode, GreyImagesStayOneChannel) {
  KnotTexture texture;
  ASSERT_EQ(texture.decode_file(test_data("generated/gray.jpg").c_str()), nullptr);
  EXPECT_EQ(texture.channels, 1);
  EXPECT_EQ(texture.width, 320);
}

TEST(TextureDecode, RowsArePaddedToFourBytesAndTheSwapSkipsThePad) {
  TempJpeg narrow(encode(5, 3, 3));
  KnotTexture texture;
  ASSERT_EQ(texture.decode_file(narrow.path.c_str()), nullptr);
  EXPECT_EQ(KnotTexture::padded_row_bytes(5, 3), 16u);
  EXPECT_EQ(texture.width, 5);
  // The swap itself: pixels of each row reordered, the pad byte untouched.
  uint8_t rows[2 * 16];
  for (int i = 0; i < 32; ++i) rows[i] = static_cast<uint8_t>(i);
  KnotTexture::swap_red_blue(rows, 5, 2, 16);
  EXPECT_EQ(rows[0], 2);
  EXPECT_EQ(rows[2], 0);
  EXPECT_EQ(rows[12], 14);
  EXPECT_EQ(rows[14], 12);
  EXPECT_EQ(rows[15], 15) << "pad byte";
  EXPECT_EQ(rows[16], 18);
  EXPECT_EQ(rows[31], 31) << "pad byte";
}

TEST(TextureDecode, NonSquareImagesKeepTheirSize) {
  TempJpeg wide(encode(256, 128, 3));
  KnotTexture texture;
  ASSERT_EQ(texture.decode_file(wide.path.c_str()), nullptr);
  EXPECT_EQ(texture.width, 256);
  EXPECT_EQ(texture.height, 128);
}

TEST(TextureDecode, AFileThatCannotBeDecodedKeepsTheImage) {
  KnotTexture texture;
  ASSERT_EQ(texture.decode_file(test_data("generated/gray.jpg").c_str()), nullptr);
  const uint8_t* before = texture.pixels.get();
  const char* problem = texture.decode_file(test_data("generated/not_jpeg.jpg").c_str());
  ASSERT_NE(problem, nullptr);
  EXPECT_STREQ(problem, "Not JPEG");
  EXPECT_EQ(texture.pixels.get(), before);
  EXPECT_EQ(texture.width, 320);
  EXPECT_STREQ(texture.decode_file("/nonexistent.jpg"), "Invalid file name");
  EXPECT_STREQ(
      texture.decode_file(test_data("jpegsuite/lossless_huffman/32x32x8_grayscale.jpg").c_str()),
      "Unsupported frame was found");
}

TEST(TextureDecode, ADamagedFileShowsWhatCouldBeDecoded) {
  // Its data stop halfway: the codec says -11 and paints the rest grey.
  const std::string path = test_data("generated/truncated_half.jpg");
  KnotTexture texture;
  ASSERT_EQ(texture.decode_file(test_data("generated/gray.jpg").c_str()), nullptr);
  bool replaced = false;
  EXPECT_STREQ(texture.decode_file(path.c_str(), &replaced), "Error EOF");
  ASSERT_TRUE(replaced);
  // The same pixels as the codec's own read of it, swapped to red-green-blue.
  BufferJob job(read_file(path));
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  ASSERT_EQ(texture.width, job.job.jpeg_width);
  ASSERT_EQ(texture.channels, 3);
  const uint32_t row = KnotTexture::padded_row_bytes(texture.width, 3);
  std::vector<uint8_t> bgr(size_t(row) * texture.height);
  job.job.out_pixels = bgr.data();
  job.job.out_width = texture.width;
  job.job.out_height = texture.height;
  job.job.out_pad = static_cast<int32_t>(row) - texture.width * 3;
  ASSERT_EQ(job.read(IoReadImageBuffer), JpegEofError);
  KnotTexture::swap_red_blue(bgr.data(), texture.width, texture.height, row);
  EXPECT_EQ(std::memcmp(bgr.data(), texture.pixels.get(), bgr.size()), 0);
  // The last row is grey: data were missing there.
  const uint8_t* last = texture.pixels.get() + size_t(row) * (texture.height - 1);
  EXPECT_EQ(last[0], 128);
  EXPECT_EQ(last[3 * texture.width - 1], 128);

  // A file of which nothing can be decoded keeps it.
  const uint8_t* before = texture.pixels.get();
  EXPECT_STREQ(texture.decode_file(test_data("generated/not_jpeg.jpg").c_str(), &replaced),
               "Not JPEG");
  EXPECT_FALSE(replaced);
  EXPECT_EQ(texture.pixels.get(), before);
}
