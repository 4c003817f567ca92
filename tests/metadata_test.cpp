// What photographs carry beside the image: EXIF (and its orientation), the
// ICC profile from its chunks, XMP; broken metadata are absent, never a
// broken image; a write carries what the caller gives it.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/jpeg_oracle.h"
#include "tests/jpeg_test_util.h"

namespace {

// An EXIF block ("Exif\0\0" and TIFF data) whose first directory holds the
// orientation tag, in either byte order; `directory` moves its offset.
std::vector<uint8_t> exif_block(int orientation, bool big_endian, uint32_t directory = 8) {
  std::vector<uint8_t> b = {'E', 'x', 'i', 'f', 0, 0};
  auto u16 = [&](uint32_t v) {
    if (big_endian) {
      b.push_back(uint8_t(v >> 8)), b.push_back(uint8_t(v));
    } else {
      b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8));
    }
  };
  auto u32 = [&](uint32_t v) {
    if (big_endian) {
      u16(v >> 16), u16(v & 0xFFFF);
    } else {
      u16(v & 0xFFFF), u16(v >> 16);
    }
  };
  b.push_back(big_endian ? 'M' : 'I');
  b.push_back(big_endian ? 'M' : 'I');
  u16(42);
  u32(directory);
  u16(2);                                        // two entries: another tag, then the orientation
  u16(0x010F), u16(2), u32(4), u32(0x41424300);  // Make "ABC"
  u16(0x0112), u16(3), u32(1), u16(static_cast<uint32_t>(orientation)), u16(0);
  u32(0);  // no next directory
  return b;
}

std::vector<uint8_t> icc_chunk(int number, int count, const std::vector<uint8_t>& part) {
  std::vector<uint8_t> b = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
  b.push_back(static_cast<uint8_t>(number));
  b.push_back(static_cast<uint8_t>(count));
  b.insert(b.end(), part.begin(), part.end());
  return b;
}

std::vector<uint8_t> xmp_block(const std::string& packet) {
  const std::string ns = "http://ns.adobe.com/xap/1.0/";
  std::vector<uint8_t> b(ns.begin(), ns.end());
  b.push_back(0);
  b.insert(b.end(), packet.begin(), packet.end());
  return b;
}

// The picture with `segments` after its SOI.
std::vector<uint8_t> photo_with(const JpegBuilder& segments) {
  const std::vector<uint8_t> picture = read_file(test_data("generated/base_420.jpg"));
  std::vector<uint8_t> out = segments.data;
  out.insert(out.begin(), {0xFF, 0xD8});
  out.insert(out.end(), picture.begin() + 2, picture.end());
  return out;
}

// A profile-like run of bytes of `size`.
std::vector<uint8_t> profile_bytes(size_t size) {
  std::vector<uint8_t> p(size);
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return p;
}

// libjpeg-turbo's reassembly of the same file's profile (empty when it has none).
std::vector<uint8_t> peer_profile(const std::vector<uint8_t>& data) {
  jpeg_decompress_struct info;
  OracleError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = oracle_error_exit;
  error.manager.emit_message = [](j_common_ptr, int) {};
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return {};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), data.size());
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  JOCTET* profile = nullptr;
  unsigned int size = 0;
  std::vector<uint8_t> out;
  if (jpeg_read_icc_profile(&info, &profile, &size)) out.assign(profile, profile + size);
  free(profile);
  jpeg_destroy_decompress(&info);
  return out;
}

struct Found {
  JpegStatus status;
  JpegMetadata m;
  std::vector<uint8_t> exif, icc, xmp;
};

Found metadata_of(const std::vector<uint8_t>& data, int32_t type = IoReadParamsBuffer) {
  BufferJob job(data);
  Found f{};
  f.status = job.read(IoReadParamsBuffer);
  if (type != IoReadParamsBuffer && f.status == JpegSuccess) {
    std::vector<uint8_t> pixels(size_t(job.job.jpeg_width) * job.job.jpeg_height * 3);
    job.job.out_pixels = pixels.data();
    job.job.out_width = job.job.jpeg_width;
    job.job.out_height = job.job.jpeg_height;
    f.status = job.read(type);
  }
  EXPECT_EQ(jpeg_metadata(&job.job, &f.m), JpegSuccess);
  if (f.m.exif != nullptr) f.exif.assign(f.m.exif, f.m.exif + f.m.exif_size);
  if (f.m.icc != nullptr) f.icc.assign(f.m.icc, f.m.icc + f.m.icc_size);
  if (f.m.xmp != nullptr) f.xmp.assign(f.m.xmp, f.m.xmp + f.m.xmp_size);
  return f;
}

TEST(Metadata, ExifIccAndXmpAsThePhotoCarriesThem) {
  const std::vector<uint8_t> profile = profile_bytes(150000);  // three chunks
  const std::vector<uint8_t> first(profile.begin(), profile.begin() + 65000),
      second(profile.begin() + 65000, profile.begin() + 130000),
      third(profile.begin() + 130000, profile.end());
  const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>a photo</x:xmpmeta>";
  for (bool big_endian : {true, false}) {
    for (bool shuffled : {false, true}) {
      SCOPED_TRACE(std::string(big_endian ? "Motorola" : "Intel") +
                   (shuffled ? ", chunks out of file order" : ""));
      JpegBuilder b;
      b.jfif().segment(0xE1, exif_block(6, big_endian));
      if (shuffled) {
        b.segment(0xE2, icc_chunk(3, 3, third)).segment(0xE2, icc_chunk(1, 3, first));
        b.segment(0xE2, icc_chunk(2, 3, second));
      } else {
        b.segment(0xE2, icc_chunk(1, 3, first)).segment(0xE2, icc_chunk(2, 3, second));
        b.segment(0xE2, icc_chunk(3, 3, third));
      }
      b.segment(0xE1, xmp_block(packet));
      const std::vector<uint8_t> data = photo_with(b);
      for (int32_t type : {IoReadParamsBuffer, IoReadImageBuffer, IoReadEighthBuffer}) {
        const Found f = metadata_of(data, type);
        ASSERT_EQ(f.status, JpegSuccess) << "type " << type;
        EXPECT_EQ(f.m.orientation, 6);
        EXPECT_EQ(f.exif, exif_block(6, big_endian));
        EXPECT_EQ(f.icc, profile);
        EXPECT_EQ(f.icc, peer_profile(data)) << "libjpeg-turbo's reassembly";
        EXPECT_EQ(std::string(f.xmp.begin(), f.xmp.end()), packet);
      }
    }
  }
  // From a file as from memory; a new read forgets the last one's.
  JpegBuilder b;
  b.segment(0xE1, exif_block(8, true)).segment(0xE2, icc_chunk(1, 1, first));
  const std::vector<uint8_t> data = photo_with(b);
  TempFile file(data);
  BufferJob job(read_file(test_data("generated/base_420.jpg")));
  job.job.file_name = file.path.c_str();
  ASSERT_EQ(job.read(IoReadParamsFile), JpegSuccess);
  JpegMetadata m;
  ASSERT_EQ(jpeg_metadata(&job.job, &m), JpegSuccess);
  EXPECT_EQ(m.orientation, 8);
  EXPECT_EQ(m.icc_size, 65000);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);  // the plain picture
  ASSERT_EQ(jpeg_metadata(&job.job, &m), JpegSuccess);
  EXPECT_EQ(m.orientation, 1);
  EXPECT_EQ(m.exif, nullptr);
  EXPECT_EQ(m.icc, nullptr);
  EXPECT_EQ(m.icc_size, 0);
}

TEST(Metadata, BrokenMetadataAreAbsentAndTheImageDecodes) {
  const std::vector<uint8_t> part = profile_bytes(100);
  struct Case {
    const char* what;
    JpegBuilder segments;
    int orientation;
    bool exif, icc;
  };
  auto with = [](std::initializer_list<std::vector<uint8_t>> app2) {
    JpegBuilder b;
    for (const auto& chunk : app2) b.segment(0xE2, chunk);
    return b;
  };
  std::vector<uint8_t> cut_exif = exif_block(6, true);
  cut_exif.resize(cut_exif.size() - 12);  // the directory runs past the block
  const Case cases[] = {
      {"a chunk missing", with({icc_chunk(1, 3, part), icc_chunk(3, 3, part)}), 1, false, false},
      {"a chunk twice", with({icc_chunk(1, 2, part), icc_chunk(1, 2, part)}), 1, false, false},
      {"numbered past the count", with({icc_chunk(1, 2, part), icc_chunk(3, 2, part)}), 1, false,
       false},
      {"number 0", with({icc_chunk(0, 1, part)}), 1, false, false},
      {"counts that differ", with({icc_chunk(1, 2, part), icc_chunk(2, 3, part)}), 1, false, false},
      {"a directory past the block", JpegBuilder().segment(0xE1, exif_block(6, true, 4000)), 1,
       true, false},
      {"a directory cut short", JpegBuilder().segment(0xE1, cut_exif), 1, true, false},
      {"orientation 9", JpegBuilder().segment(0xE1, exif_block(9, false)), 1, true, false},
      {"orientation 0", JpegBuilder().segment(0xE1, exif_block(0, false)), 1, true, false},
      {"a header alone", JpegBuilder().segment(0xE1, {'E', 'x', 'i', 'f', 0, 0}), 1, true, false},
  };
  const std::vector<uint8_t> plain = read_file(test_data("generated/base_420.jpg"));
  BufferJob reference(plain);
  ASSERT_EQ(reference.read(IoReadParamsBuffer), JpegSuccess);
  std::vector<uint8_t> expected(320 * 240 * 3);
  reference.job.out_pixels = expected.data();
  reference.job.out_width = 320;
  reference.job.out_height = 240;
  ASSERT_EQ(reference.read(IoReadImageBuffer), JpegSuccess);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> data = photo_with(c.segments);
    const Found f = metadata_of(data);
    ASSERT_EQ(f.status, JpegSuccess);
    EXPECT_EQ(f.m.orientation, c.orientation);
    EXPECT_EQ(!f.exif.empty(), c.exif);
    EXPECT_EQ(!f.icc.empty(), c.icc);
    EXPECT_EQ(!f.icc.empty(), !peer_profile(data).empty()) << "as libjpeg-turbo finds it";
    BufferJob job(data);
    std::vector<uint8_t> pixels(expected.size());
    job.job.out_pixels = pixels.data();
    job.job.out_width = 320;
    job.job.out_height = 240;
    ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
    EXPECT_EQ(pixels, expected);
  }
  // Not initialised, or nowhere to put the answer.
  JpegJob cleared{};
  JpegMetadata m;
  EXPECT_EQ(jpeg_metadata(&cleared, &m), JpegInvalidProperties);
  EXPECT_EQ(jpeg_metadata(&cleared, nullptr), JpegInvalidProperties);
}

// The segment markers of a file from SOI to its first DQT, SOF or SOS.
std::vector<int> header_markers(const std::vector<uint8_t>& file) {
  std::vector<int> markers;
  for (size_t at = 2; at + 4 <= file.size() && file[at] == 0xFF;) {
    const int marker = file[at + 1];
    if (marker == 0xDB || marker == 0xC0 || marker == 0xDA || marker == 0xC4) break;
    markers.push_back(marker);
    at += 2 + (size_t{file[at + 2]} << 8 | file[at + 3]);
  }
  return markers;
}

// A small RGB write on a job that keeps `metadata` (or none); the file, or
// empty with *status set.
std::vector<uint8_t> write_with(const JpegWriteMetadata* metadata, int32_t type,
                                JpegStatus* status = nullptr, size_t room = 1 << 20) {
  std::vector<uint8_t> rgb(48 * 32 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 13 / 7);
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  jpeg_init(&job);
  EXPECT_EQ(jpeg_set_metadata(&job, metadata), JpegSuccess);
  job.out_pixels = rgb.data();
  job.out_width = job.jpeg_width = 48;
  job.out_height = job.jpeg_height = 32;
  job.out_color = ColorRgb;
  std::vector<uint8_t> out(room + 16, 0xA5);
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(room);
  const JpegStatus result = jpeg_write(&job, type);
  if (status != nullptr) *status = result;
  jpeg_free(&job);
  for (size_t i = room; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "written past the end";
  out.resize(result == JpegSuccess ? static_cast<size_t>(job.jpeg_buffer_size) : 0);
  return out;
}

TEST(Metadata, AWriteCarriesWhatTheCallerGives) {
  const std::vector<uint8_t> exif = exif_block(6, true);
  const std::vector<uint8_t> tiff(exif.begin() + 6, exif.end());  // without "Exif\0\0"
  const std::vector<uint8_t> profile = profile_bytes(150000);     // three chunks
  const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>kept</x:xmpmeta>";
  const uint8_t maker_data[] = {'M', 'a', 'k', 'e', 'r', 0, 1, 2};
  const JpegSegment segments[] = {{0xEB, maker_data, sizeof maker_data}, {0xE0, nullptr, 0}};
  JpegWriteMetadata m{};
  m.exif = tiff.data();
  m.exif_size = static_cast<int32_t>(tiff.size());
  m.icc = profile.data();
  m.icc_size = static_cast<int32_t>(profile.size());
  m.xmp = reinterpret_cast<const uint8_t*>(packet.data());
  m.xmp_size = static_cast<int32_t>(packet.size());
  m.segments = segments;
  m.segment_count = 2;
  m.version_comment = 1;
  for (int32_t type : {IoWriteImageBuffer, IoWriteDataBuffer}) {
    SCOPED_TRACE(type == IoWriteImageBuffer ? "whole image" : "abbreviated image");
    const std::vector<uint8_t> file = write_with(&m, type);
    ASSERT_FALSE(file.empty());
    const std::vector<int> expected = {0xE0, 0xE1, 0xE1, 0xE2, 0xE2, 0xE2, 0xEB, 0xE0, 0xFE};
    EXPECT_EQ(header_markers(file), expected);
    if (type == IoWriteDataBuffer) continue;
    const Found f = metadata_of(file, IoReadImageBuffer);
    ASSERT_EQ(f.status, JpegSuccess);
    EXPECT_EQ(f.exif, exif) << "the header is written when the caller's block lacks it";
    EXPECT_EQ(f.m.orientation, 6);
    EXPECT_EQ(f.icc, profile);
    EXPECT_EQ(peer_profile(file), profile) << "libjpeg-turbo's reassembly";
    EXPECT_EQ(std::string(f.xmp.begin(), f.xmp.end()), packet);
  }
  // A block that has its header keeps it once; a tables file carries none.
  m.exif = exif.data();
  m.exif_size = static_cast<int32_t>(exif.size());
  EXPECT_EQ(metadata_of(write_with(&m, IoWriteImageBuffer)).exif, exif);
  EXPECT_EQ(header_markers(write_with(&m, IoWriteTablesBuffer)), std::vector<int>{});
  // Nothing asked: the JFIF segment alone, no version comment.
  EXPECT_EQ(header_markers(write_with(nullptr, IoWriteImageBuffer)), std::vector<int>{0xE0});
  // Room that ends inside the profile: -28, nothing past the end.
  JpegStatus status = JpegSuccess;
  write_with(&m, IoWriteImageBuffer, &status, 70000);
  EXPECT_EQ(status, JpegOutputTooSmall);
}

TEST(Metadata, AWriteRequestOutOfRangeIsRefusedAndTheLastOneStays) {
  const std::vector<uint8_t> big(70000, 1);
  const uint8_t kept[] = {'k', 'e', 'p', 't'};
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  EXPECT_EQ(jpeg_set_metadata(&job, nullptr), JpegInvalidProperties) << "not initialised";
  jpeg_init(&job);
  JpegWriteMetadata good{};
  good.xmp = kept;
  good.xmp_size = sizeof kept;
  ASSERT_EQ(jpeg_set_metadata(&job, &good), JpegSuccess);
  const JpegSegment eoi[] = {{0xD9, kept, 4}};
  const JpegSegment huge[] = {{0xE3, big.data(), 65534}};
  struct Bad {
    JpegWriteMetadata m;
    const char* detail;
  } bad[] = {
      {{big.data(), 65528, nullptr, 0, nullptr, 0, nullptr, 0, 0}, "exif_size must be 0 to 65527"},
      {{nullptr, 0, nullptr, -1, nullptr, 0, nullptr, 0, 0}, "icc_size must be 0 to 16707345"},
      {{nullptr, 0, nullptr, 10, nullptr, 0, nullptr, 0, 0}, "icc is null"},
      {{nullptr, 0, nullptr, 0, big.data(), 65505, nullptr, 0, 0}, "xmp_size must be 0 to 65504"},
      {{nullptr, 0, nullptr, 0, nullptr, 0, eoi, 1, 0}, "an APPn marker, 0xE0 to 0xEF, is 0xD9"},
      {{nullptr, 0, nullptr, 0, nullptr, 0, huge, 1, 0}, "size must be 0 to 65533"},
      {{nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 3, 0}, "segment_count"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.detail);
    EXPECT_EQ(jpeg_set_metadata(&job, &b.m), JpegInvalidProperties);
    EXPECT_NE(std::string(jpeg_status_detail(&job)).find(b.detail), std::string::npos)
        << jpeg_status_detail(&job);
  }
  // The earlier request still holds: the copy, not the caller's bytes.
  std::vector<uint8_t> rgb(16 * 16 * 3, 90), out(1 << 16);
  job.out_pixels = rgb.data();
  job.out_width = job.jpeg_width = 16;
  job.out_height = job.jpeg_height = 16;
  job.out_color = ColorRgb;
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  ASSERT_EQ(jpeg_write(&job, IoWriteImageBuffer), JpegSuccess);
  jpeg_free(&job);
  out.resize(static_cast<size_t>(job.jpeg_buffer_size));
  EXPECT_EQ(metadata_of(out).xmp, std::vector<uint8_t>(kept, kept + 4));
}

// The file a transform of `photo` writes (into memory).
std::vector<uint8_t> transformed_file(const std::vector<uint8_t>& photo, JpegTransform t) {
  BufferJob in(photo);
  JpegJob out{};
  jpeg_init(&out);
  std::vector<uint8_t> bytes(1 << 20);
  out.jpeg_buffer = bytes.data();
  out.jpeg_buffer_size = static_cast<int32_t>(bytes.size());
  EXPECT_EQ(jpeg_transform(&in.job, IoReadImageBuffer, &out, IoWriteImageBuffer, &t), JpegSuccess)
      << jpeg_status_detail(&out);
  bytes.resize(t.written ? out.jpeg_buffer_size : 0);
  jpeg_free(&out);
  return bytes;
}

// What a transform carries: the comment by default, EXIF, ICC and XMP as
// they were with copy all, nothing with copy none; auto-orient turns the
// image as the orientation asks and writes 1 into the EXIF kept, the rest
// of its bytes as they were.
TEST(Metadata, ATransformCarriesWhatItIsAskedTo) {
  const std::string comment = "taken on the ridge";
  const std::vector<uint8_t> profile = profile_bytes(70000);  // two chunks
  JpegBuilder segments;
  segments.segment(0xE1, exif_block(6, false))
      .segment(0xE2, icc_chunk(1, 2, {profile.begin(), profile.begin() + 65519}))
      .segment(0xE2, icc_chunk(2, 2, {profile.begin() + 65519, profile.end()}))
      .segment(0xE1, xmp_block("<x:xmpmeta/>"))
      .segment(0xFE, {comment.begin(), comment.end()});
  const std::vector<uint8_t> photo = photo_with(segments);
  const Found source = metadata_of(photo);
  ASSERT_EQ(source.m.orientation, 6);
  auto transformed = [&](int32_t copy, bool auto_orient, std::string* carried_comment) {
    JpegTransform t{};
    t.copy = copy;
    t.auto_orient = auto_orient;
    const std::vector<uint8_t> bytes = transformed_file(photo, t);
    // The comment the result carries, as a parameter read gives it.
    BufferJob again(bytes);
    uint8_t text[256] = {};
    again.job.properties.jpeg_comment = text;
    again.job.properties.jpeg_comment_size = sizeof text;
    EXPECT_EQ(again.read(IoReadParamsBuffer), JpegSuccess);
    const uint16_t size = again.job.properties.jpeg_comment_size;
    *carried_comment = size < sizeof text ? std::string(text, text + size) : "";
    return bytes;
  };
  std::string carried;
  Found all = metadata_of(transformed(CopyAll, false, &carried));
  EXPECT_EQ(carried, comment);
  EXPECT_EQ(all.exif, source.exif);
  EXPECT_EQ(all.icc, profile);
  EXPECT_EQ(all.xmp, source.xmp);
  EXPECT_EQ(all.m.orientation, 6);
  const Found comments = metadata_of(transformed(CopyComments, false, &carried));
  EXPECT_EQ(carried, comment);
  EXPECT_TRUE(comments.exif.empty() && comments.icc.empty() && comments.xmp.empty());
  const Found none = metadata_of(transformed(CopyNone, false, &carried));
  EXPECT_EQ(carried, "");
  EXPECT_TRUE(none.exif.empty() && none.icc.empty() && none.xmp.empty());

  const std::vector<uint8_t> upright = transformed(CopyAll, true, &carried);
  const Found oriented = metadata_of(upright);
  EXPECT_EQ(oriented.m.orientation, 1);
  ASSERT_EQ(oriented.exif.size(), source.exif.size());
  size_t differing = 0;
  for (size_t i = 0; i < source.exif.size(); ++i) differing += oriented.exif[i] != source.exif[i];
  EXPECT_EQ(differing, 1u);  // the orientation's low byte, 6 to 1
  // Orientation 6 is a turn of 90 degrees clockwise: the source's column x
  // from the bottom is the result's row x (whole MCUs: the photo is
  // 320x240 in 4:2:0).
  Image before, after;
  ASSERT_TRUE(oracle_decode(photo, &before));
  ASSERT_TRUE(oracle_decode(upright, &after));
  ASSERT_EQ(after.width, before.height);
  ASSERT_EQ(after.height, before.width);
  double error = 0;
  for (int y = 0; y < after.height; ++y) {
    for (int x = 0; x < after.width; ++x) {
      const int from = ((before.height - 1 - x) * before.width + y) * 3;
      error += std::abs(after.pixels[(size_t(y) * after.width + x) * 3] - before.pixels[from]);
    }
  }
  EXPECT_LT(error / (after.width * after.height), 2.0);  // the IDCT's rounding of a transpose
}

// A turn and a crop write the result's size into the EXIF block's pixel
// dimensions (a LONG and a SHORT here), its other bytes as they were.
TEST(Metadata, ATransformWritesTheNewSizeIntoTheExifBlock) {
  std::vector<uint8_t> exif = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8};
  auto u16 = [&](uint32_t v) { exif.push_back(uint8_t(v >> 8)), exif.push_back(uint8_t(v)); };
  auto u32 = [&](uint32_t v) { u16(v >> 16), u16(v & 0xFFFF); };
  u16(1), u16(0x8769), u16(4), u32(1), u32(26),
      u32(0);                                     // the first directory: where the Exif one is
  u16(2), u16(0xA002), u16(4), u32(1), u32(320);  // the Exif directory, at 26
  u16(0xA003), u16(3), u32(1), u16(240), u16(0), u32(0);
  JpegBuilder segments;
  segments.segment(0xE1, exif);
  JpegTransform t{};
  t.kind = TransformRotate90;
  t.copy = CopyAll;
  t.crop_width = 100, t.crop_height = 50;
  const Found found = metadata_of(transformed_file(photo_with(segments), t));  // of 320x240
  ASSERT_EQ(found.exif.size(), exif.size());
  std::vector<uint8_t> expected = exif;
  expected[6 + 26 + 2 + 8 + 3] = 100;  // PixelXDimension, LONG: 320 to 100
  expected[6 + 26 + 2 + 8 + 2] = 0;
  expected[6 + 26 + 2 + 12 + 8 + 1] = 50;  // PixelYDimension, SHORT: 240 to 50
  expected[6 + 26 + 2 + 12 + 8] = 0;
  EXPECT_EQ(found.exif, expected);
}

}  // namespace
