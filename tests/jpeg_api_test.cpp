// The codec's front end: defaults, validation, statuses, version, processor
// classification, the routine table, file access and the fault guard.

#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/cpu/cpu.h"
#include "jpeg/cpu/file_io.h"
#include "jpeg/api/routines.h"
#include "jpeg/cpu/routine_table.h"
#include "tests/jpeg_test_util.h"

using namespace jpegcodec;

namespace {

// A job cleared and initialised, freed at the end of the test.
struct Job {
  Job() {
    std::memset(&job, 0, sizeof job);
    status = jpeg_init(&job);
  }
  ~Job() { jpeg_free(&job); }
  JpegJob* operator->() { return &job; }
  JpegJob job;
  JpegStatus status;
};

// What a request that passed validation gets from the parser: the 16 zero
// bytes of these tests hold no marker, and the search runs out of data.
constexpr JpegStatus kParsedNothing = JpegEofError;

// Sets up a job as a valid whole-image read of a file that does not exist,
// so that validation passes and the open fails with -10.
void make_valid_image_request(JpegJob* job, uint8_t* pixels) {
  job->file_name = "/nonexistent/picture.jpg";
  job->jpeg_buffer = pixels;
  job->jpeg_buffer_size = 16;
  job->out_pixels = pixels;
  job->out_width = 4;
  job->out_height = 4;
  job->out_channels = 3;
  job->out_color = ColorBgr;
  job->jpeg_color = ColorYcbcr;
  job->jpeg_channels = 3;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace

TEST(JpegInit, ClearedRecordGetsTheDefaults) {
  Job j;
  ASSERT_EQ(j.status, JpegSuccess);
  const JpegJob& job = j.job;
  EXPECT_EQ(job.use_properties, 0);
  EXPECT_EQ(job.out_pixels, nullptr);
  EXPECT_EQ(job.out_width, 0);
  EXPECT_EQ(job.out_height, 0);
  EXPECT_EQ(job.out_pad, 0);
  EXPECT_EQ(job.out_channels, 3);
  EXPECT_EQ(job.out_color, 2);
  EXPECT_EQ(job.out_subsampling, 0);
  EXPECT_EQ(job.file_name, nullptr);
  EXPECT_EQ(job.jpeg_buffer, nullptr);
  EXPECT_EQ(job.jpeg_buffer_size, 0);
  EXPECT_EQ(job.jpeg_width, 0);
  EXPECT_EQ(job.jpeg_height, 0);
  EXPECT_EQ(job.jpeg_channels, 3);
  EXPECT_EQ(job.jpeg_color, 3);
  EXPECT_EQ(job.jpeg_subsampling, 1);
  EXPECT_EQ(job.thumb_width, 0);
  EXPECT_EQ(job.thumb_height, 0);
  EXPECT_EQ(job.convert_color, 1);
  EXPECT_EQ(job.upsample, 1);
  EXPECT_EQ(job.quality, 75);

  const JPEG_PROPERTIES& p = job.properties;
  EXPECT_EQ(p.io_type, -1);
  EXPECT_EQ(p.dct_family, 1);
  EXPECT_EQ(p.output_layout, 0);
  EXPECT_EQ(p.interrupt_mode, 0);
  EXPECT_EQ(p.out_channels, 3);
  EXPECT_EQ(p.jpeg_subsampling, 1);
  EXPECT_EQ(p.quality, 75);
  EXPECT_EQ(p.frame.component_count, 4);
  ASSERT_NE(p.frame.components, nullptr);
  EXPECT_EQ(p.frame.components[0].quant_index, 0);
  EXPECT_EQ(p.frame.components[3].quant_index, 1);
  EXPECT_EQ(p.first_pass, 1);
  EXPECT_EQ(p.jfif_version, 0x0101);
  EXPECT_EQ(p.x_density, 1);
  EXPECT_EQ(p.adobe_version, 100);
  EXPECT_EQ(p.jpeg_comment, nullptr);
  EXPECT_EQ(p.quant_tables[2].values, p.quant_tables[2].storage);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p.quant_tables[1].values) % 8, 0u);
  ASSERT_NE(p.routines, nullptr);
  EXPECT_EQ(p.stream.routines, p.routines);
  EXPECT_EQ(p.stream.cpu_kind, p.cpu_kind);
}

TEST(JpegFree, ReleasesAndRefusesAFreedJob) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  ASSERT_EQ(jpeg_init(&job), JpegSuccess);
  // An open file is closed by jpeg_free.
  char path[] = "/tmp/jpegcodec-test-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  job.properties.stream.file = file_open(path, FileAccess::Read);
  ASSERT_NE(job.properties.stream.file, nullptr);
  EXPECT_EQ(jpeg_free(&job), JpegSuccess);
  EXPECT_EQ(job.properties.stream.file, nullptr);
  EXPECT_EQ(job.properties.routines, nullptr);
  EXPECT_EQ(job.properties.frame.components, nullptr);
  unlink(path);
  // A freed job must be initialised again; reads say so instead of crashing.
  EXPECT_EQ(jpeg_read(&job, IoReadParamsFile), JpegInvalidProperties);
  EXPECT_EQ(jpeg_free(&job), JpegSuccess) << "freeing twice is harmless";
  // Too many components in the frame: -8, and the table is still released.
  ASSERT_EQ(jpeg_init(&job), JpegSuccess);
  job.properties.frame.component_count = 256;
  EXPECT_EQ(jpeg_free(&job), JpegInvalidProperties);
  EXPECT_EQ(job.properties.routines, nullptr);
  free(job.properties.frame.components);
}

TEST(JpegRead, TypeAndSourceChecksComeFirst) {
  Job j;
  uint8_t pixels[4096] = {};
  make_valid_image_request(&j.job, pixels);
  EXPECT_EQ(jpeg_read(&j.job, 22), JpegInvalidProperties);
  EXPECT_EQ(jpeg_read(&j.job, -1), JpegInvalidProperties);
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageFile), JpegInvalidFileName);
  j->file_name = nullptr;
  EXPECT_EQ(jpeg_read(&j.job, IoReadParamsFile), JpegInvalidProperties);
  j->jpeg_buffer = nullptr;
  EXPECT_EQ(jpeg_read(&j.job, IoReadParamsBuffer), JpegInvalidProperties);
  j->jpeg_buffer = pixels;
  j->jpeg_buffer_size = 0;
  EXPECT_EQ(jpeg_read(&j.job, IoReadParamsBuffer), JpegInvalidProperties);
  j->jpeg_buffer_size = 16;
  j->file_name = "/";  // a directory is not a JPEG file
  EXPECT_EQ(jpeg_read(&j.job, IoReadParamsFile), JpegInvalidFileName);
  j->jpeg_channels = 0;
  EXPECT_EQ(jpeg_read(&j.job, IoReadParamsBuffer), JpegInvalidProperties);
  j->jpeg_channels = 257;
  EXPECT_EQ(jpeg_read(&j.job, IoReadParamsBuffer), JpegInvalidProperties);
}

// Each refusal says which check refused it, in the job's detail text; a
// request that goes ahead leaves the text empty.
TEST(JpegRead, RefusalsNameTheCheck) {
  Job j;
  uint8_t pixels[4096] = {};
  make_valid_image_request(&j.job, pixels);
  const std::vector<std::uint8_t> data = read_file(test_data("generated/base_420.jpg"));
  struct Case {
    void (*spoil)(JpegJob*);
    int32_t type;
    const char* detail;
  };
  const Case cases[] = {
      {[](JpegJob*) {}, 22, "the I/O type must be 0 to 21, is 22"},
      {[](JpegJob* job) { job->out_width = 0; }, IoReadImageBuffer,
       "out_width must be 1 to 65535, is 0"},
      {[](JpegJob* job) { job->out_pixels = nullptr; }, IoReadImageBuffer, "out_pixels is null"},
      {[](JpegJob* job) { job->out_pad = -1; }, IoReadImageBuffer,
       "out_pad must not be negative, is -1"},
      {[](JpegJob* job) { job->jpeg_channels = 0; }, IoReadParamsBuffer,
       "jpeg_channels must be 1 to 256, is 0"},
      {[](JpegJob* job) { job->out_color = ColorFourChannel; }, IoReadImageBuffer,
       "no conversion from jpeg_color 3 with 3 channels to out_color 5 with 3"},
      {[](JpegJob* job) { job->quality = 0; }, IoWriteImageBuffer,
       "quality must be 1 to 100, is 0"},
      {[](JpegJob* job) { job->jpeg_width = 5; }, IoWriteImageBuffer,
       "a JPEG of 5x4 is larger than the caller's 4x4 image"},
  };
  for (const Case& c : cases) {
    make_valid_image_request(&j.job, pixels);
    j->jpeg_buffer = const_cast<uint8_t*>(data.data());
    j->jpeg_buffer_size = static_cast<int32_t>(data.size());
    j->jpeg_width = j->jpeg_height = 4;
    j->jpeg_subsampling = Sub444;
    j->quality = 75;
    j->out_pad = 0;
    c.spoil(&j.job);
    const JpegStatus status = c.type >= IoWriteImageFile && c.type <= IoWriteDataBuffer
                                  ? jpeg_write(&j.job, c.type)
                                  : jpeg_read(&j.job, c.type);
    EXPECT_LT(status, 0) << c.detail;
    EXPECT_STREQ(jpeg_status_detail(&j.job), c.detail);
  }
  make_valid_image_request(&j.job, pixels);
  j->jpeg_buffer = const_cast<uint8_t*>(data.data());
  j->jpeg_buffer_size = static_cast<int32_t>(data.size());
  EXPECT_EQ(jpeg_read(&j.job, IoReadParamsBuffer), JpegSuccess);
  EXPECT_STREQ(jpeg_status_detail(&j.job), "") << "a read that goes ahead clears it";
  EXPECT_STREQ(jpeg_status_detail(nullptr), "");
}

TEST(JpegRead, EveryImageTypeChecksTheCallersImageBeforeOpening) {
  const int32_t image_types[] = {2, 3, 6, 7, 14, 15, 16, 17, 18, 19};
  for (int32_t type : image_types) {
    Job j;
    uint8_t pixels[4096] = {};
    make_valid_image_request(&j.job, pixels);
    j->out_width = 0;
    EXPECT_EQ(jpeg_read(&j.job, type), JpegInvalidProperties) << "out_width 0, type " << type;
    j->out_width = 65536;
    EXPECT_EQ(jpeg_read(&j.job, type), JpegInvalidProperties) << "type " << type;
    j->out_width = 4;
    j->out_pixels = nullptr;
    EXPECT_EQ(jpeg_read(&j.job, type), JpegInvalidProperties) << "null pixels, type " << type;
    j->out_pixels = pixels;
    j->out_height = -65536;
    EXPECT_EQ(jpeg_read(&j.job, type), JpegInvalidProperties) << "type " << type;
    j->out_height = -4;
    j->out_pad = -1;
    EXPECT_EQ(jpeg_read(&j.job, type), JpegInvalidProperties) << "type " << type;
    j->out_pad = 0;
    j->out_channels = 256;
    EXPECT_EQ(jpeg_read(&j.job, type), JpegInvalidProperties) << "type " << type;
    j->out_channels = 3;
    j->out_subsampling = Sub420;
    EXPECT_EQ(jpeg_read(&j.job, type), JpegUnsupportedSubsampling) << "type " << type;
    j->out_subsampling = Sub422;  // packed 4:2:2 only as YCbCr
    EXPECT_EQ(jpeg_read(&j.job, type), JpegUnsupportedSubsampling) << "type " << type;
    j->out_subsampling = Sub444;
    // With everything right the request gets as far as the source.
    const JpegStatus expected = type % 2 == 0 ? JpegInvalidFileName : kParsedNothing;
    EXPECT_EQ(jpeg_read(&j.job, type), expected) << "type " << type;
  }
}

TEST(JpegRead, ThumbnailsNeedRgbOrBgr) {
  Job j;
  uint8_t pixels[4096] = {};
  make_valid_image_request(&j.job, pixels);
  j->out_color = ColorGray;
  j->out_channels = 1;
  EXPECT_EQ(jpeg_read(&j.job, IoReadThumbnailFile), JpegThumbnailWrongColor);
  EXPECT_EQ(jpeg_read(&j.job, IoReadThumbnailBuffer), JpegThumbnailWrongColor);
  j->out_color = ColorRgb;
  j->out_channels = 3;
  EXPECT_EQ(jpeg_read(&j.job, IoReadThumbnailFile), JpegInvalidFileName);
}

TEST(JpegRead, ColourCombinationsFollowTheTable) {
  struct Row {
    int32_t jpeg_color, jpeg_channels, out_color, out_channels;
    bool allowed;
  };
  const Row rows[] = {
      {ColorGray, 1, ColorGray, 1, true},
      {ColorGray, 1, ColorRgb, 3, true},
      {ColorGray, 1, ColorBgr, 3, true},
      {ColorGray, 1, ColorFourChannel, 4, true},
      {ColorGray, 1, ColorYcbcr, 3, false},
      {ColorGray, 3, ColorGray, 1, false},
      {ColorGray, 1, ColorRgb, 4, false},
      {ColorRgb, 3, ColorRgb, 3, true},
      {ColorRgb, 3, ColorBgr, 3, true},
      {ColorRgb, 3, ColorFourChannel, 4, true},
      {ColorRgb, 3, ColorGray, 1, false},
      {ColorYcbcr, 3, ColorGray, 1, true},
      {ColorYcbcr, 3, ColorRgb, 3, true},
      {ColorYcbcr, 3, ColorBgr, 3, true},
      {ColorYcbcr, 3, ColorFourChannel, 4, true},
      {ColorYcbcr, 3, ColorFourChannel, 3, false},
      {ColorYcbcr, 3, ColorYcbcr, 2, true},
      {ColorYcbcr, 3, ColorYcbcr, 7, true},
      {ColorYcbcr, 1, ColorRgb, 3, false},
      {ColorFourChannel, 4, ColorFourChannel, 4, true},
      {ColorFourChannel, 4, ColorRgb, 3, false},
      {ColorYcck, 4, ColorFourChannel, 4, true},
      {ColorYcck, 4, ColorBgr, 3, false},
      {ColorOther, 2, ColorOther, 2, true},
      {ColorOther, 5, ColorOther, 1, true},
      {ColorOther, 2, ColorRgb, 3, false},
      {7, 3, ColorRgb, 3, false},
  };
  for (const Row& row : rows) {
    Job j;
    uint8_t pixels[4096] = {};
    make_valid_image_request(&j.job, pixels);
    j->jpeg_color = row.jpeg_color;
    j->jpeg_channels = row.jpeg_channels;
    j->out_color = row.out_color;
    j->out_channels = row.out_channels;
    if (row.out_color == ColorYcbcr) j->out_subsampling = Sub422;
    const JpegStatus status = jpeg_read(&j.job, IoReadImageBuffer);
    EXPECT_EQ(status, row.allowed ? kParsedNothing : JpegInvalidProperties)
        << "jpeg " << row.jpeg_color << "/" << row.jpeg_channels << " to out " << row.out_color
        << "/" << row.out_channels;
  }
}

TEST(JpegRead, TransformFamilyAndSmoothingChecks) {
  Job j;
  uint8_t pixels[4096] = {};
  make_valid_image_request(&j.job, pixels);
  j->properties.dct_family = 2;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), JpegInvalidProperties);
  j->properties.dct_family = 0;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing);
  int32_t descriptor[5] = {};
  j->properties.coef_output = descriptor;
  j->properties.smooth_upsampling = 1;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), JpegInvalidProperties);
  // A coefficient output needs no caller image.
  j->properties.smooth_upsampling = 0;
  j->out_pixels = nullptr;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing);
}

TEST(JpegRead, UsePropertiesSkipsValidationAndThePublicFields) {
  Job j;
  uint8_t data[16] = {};
  j->use_properties = 1;
  // Public fields that validation would refuse.
  j->out_width = 0;
  j->out_pixels = nullptr;
  j->jpeg_channels = 0;
  j->file_name = "/nonexistent";
  j->properties.jpeg_buffer = data;
  j->properties.jpeg_buffer_size = sizeof data;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing);
  EXPECT_EQ(j->properties.stream.data_start, data) << "the properties' buffer was used";
  EXPECT_EQ(j->out_width, 0);
}

TEST(JpegRead, BottomUpOutputStartsAtTheLastRow) {
  Job j;
  uint8_t pixels[4 * 13] = {};
  make_valid_image_request(&j.job, pixels);
  j->out_width = 4;
  j->out_height = -4;
  j->out_pad = 1;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing);
  EXPECT_EQ(j->properties.out_line_bytes, -13);
  EXPECT_EQ(j->properties.stream.out_start, pixels + 3 * 13);
}

TEST(JpegWrite, ValidatesBeforeTouchingFilesAndCreatesAnew) {
  Job j;
  uint8_t pixels[4096] = {};
  make_valid_image_request(&j.job, pixels);
  j->jpeg_width = 4;
  j->jpeg_height = 4;
  j->jpeg_subsampling = Sub420;
  char path[] = "/tmp/jpegcodec-write-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "keep", 4), 4);
  close(fd);
  j->file_name = path;
  // A refused request leaves an existing file as it was.
  j->quality = 101;
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageFile), JpegInvalidProperties);
  j->out_width = 0;
  j->quality = 75;
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageFile), JpegInvalidProperties);
  j->out_width = 4;
  char text[8] = {};
  FILE* f = std::fopen(path, "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fread(text, 1, sizeof text, f), 4u) << "a refused write keeps the file";
  std::fclose(f);
  // An accepted one makes it anew: a JPEG from its first byte.
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageFile), JpegSuccess);
  f = std::fopen(path, "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fread(text, 1, 2, f), 2u);
  std::fclose(f);
  EXPECT_EQ(static_cast<uint8_t>(text[0]), 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(text[1]), 0xD8);
  unlink(path);
  j->file_name = "/nonexistent/dir/out.jpg";
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageFile), JpegInvalidFileName);
  EXPECT_EQ(jpeg_write(&j.job, IoReadImageFile), JpegInvalidProperties);
  // Encoder-only rules.
  j->jpeg_width = 0;
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageBuffer), JpegInvalidProperties);
  j->jpeg_width = 5;
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageBuffer), JpegInvalidProperties)
      << "a JPEG wider than the caller's image";
  j->jpeg_width = 4;
  j->jpeg_subsampling = Sub420Alpha;
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageBuffer), JpegUnsupportedSubsampling);
  j->jpeg_subsampling = Sub444;
  j->write_restart_interval = 65536;
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageBuffer), JpegInvalidProperties);
  j->write_restart_interval = 0;
  j->out_color = ColorRgb;
  j->out_channels = 4;
  j->jpeg_color = ColorRgb;
  EXPECT_EQ(jpeg_write(&j.job, IoWriteImageBuffer), JpegInvalidProperties) << "RGB 4 to RGB 3";
}

TEST(JpegStatusText, EveryCodeHasItsText) {
  const std::pair<int, const char*> texts[] = {
      {2, "ROI Success"},
      {1, "Interrupt Success"},
      {0, "Success"},
      {-1, "Exception detected"},
      {-2, "Invalid Encoder"},
      {-3, "Unsupported subsampling"},
      {-4, "Unsupported bytes per pixel"},
      {-5, "Memory error"},
      {-6, "Bad Huffman table"},
      {-7, "Bad Quantization table"},
      {-8, "Invalid JPEG_PROPERTIES"},
      {-9, "Error close file"},
      {-10, "Invalid file name"},
      {-11, "Error EOF"},
      {-12, "Not supported"},
      {-13, "Not JPEG"},
      {-14, "Error COMP"},
      {-15, "Error SOF"},
      {-16, "Error DNL"},
      {-17, "No Huffman table"},
      {-18, "No Quantization table"},
      {-19, "No frame"},
      {-20, "Multiply frame"},
      {-21, "Data error"},
      {-22, "No image"},
      {-23, "File error"},
      {-24, "Internal error"},
      {-25, "Bad RST marker"},
      {-26, "Thumbnail too small"},
      {-27, "Thumbnail has wrong color"},
      {-28, "Output buffer too small"},
      {-29, "Unsupported frame was found"},
      {-30, "Error access to jpeg_comment buffer"},
      {-99, "Reserved"},
      {-31, "Unknown error code"},
      {3, "Unknown error code"},
      {-100, "Unknown error code"},
      {-98, "Unknown error code"},
  };
  for (const auto& [code, text] : texts) EXPECT_STREQ(jpeg_status_text(code), text) << code;
}

TEST(JpegVersionRecord, NumbersAndTexts) {
  const JpegVersion* v = jpeg_version();
  EXPECT_EQ(v->major, 1);
  EXPECT_EQ(v->minor, 51);
  EXPECT_EQ(v->build, 12);
  EXPECT_STREQ(v->library_name, "libjpegcodec.so");
  EXPECT_STREQ(v->version, "1.51.12");
  EXPECT_STREQ(v->full_version, "[1.51.12.44]");
  EXPECT_STREQ(v->build_date, "May 30 2001");
  EXPECT_STREQ(v->tool, "Microsoft*");
}

TEST(CpuClassification, EveryRowOfTheTable) {
  struct Row {
    int32_t family;
    uint32_t features;
    CpuKind kind;
  };
  const uint32_t b23 = kFeatureSimd64, b25 = kFeatureSimd128Float, b26 = kFeatureSimd128Integer;
  const Row rows[] = {
      {5, 0, CpuFamily5},
      {5, b23, CpuFamily5Simd64},
      {5, b23 | b25 | b26, CpuFamily5Simd64},
      {6, 0, CpuFamily6},
      {6, b25, CpuFamily6},  // bit 25 without bit 23
      {6, b23, CpuFamily6Simd64},
      {6, b23 | b26, CpuFamily6Simd64},
      {6, b23 | b25, CpuFamily6Simd64Plus},
      {6, b23 | b25 | b26, CpuFamily6Simd64Plus},
      {15, b26, CpuFamily15Simd128},
      {15, b23 | b25, CpuGeneric},  // family 15 without bit 26
      {4, b23 | b25 | b26, CpuGeneric},
      {0, 0, CpuGeneric},
  };
  for (const Row& row : rows) {
    CpuInfo info;
    info.family = row.family;
    info.features = row.features;
    EXPECT_EQ(classify_cpu_info(info, -1), row.kind)
        << "family " << row.family << " features " << std::hex << row.features;
    // The vendor does not matter.
    std::strcpy(info.vendor, "AuthenticAMD");
    EXPECT_EQ(classify_cpu_info(info, -1), row.kind);
    // A setting of 0 to 6 overrides; anything else is ignored.
    for (int32_t setting = 0; setting <= 6; ++setting) {
      EXPECT_EQ(classify_cpu_info(info, setting), setting);
    }
    EXPECT_EQ(classify_cpu_info(info, 7), row.kind);
  }
}

TEST(CpuClassification, SettingComesFromJpegUsecpu) {
  const std::pair<const char*, int32_t> cases[] = {
      {nullptr, -1}, {"", -1},  {"0", 0},   {"3", 3},   {"6", 6},   {"7", -1},
      {"-1", -1},    {"x", -1}, {"2x", -1}, {" 2", -1}, {"+2", -1}, {"99999999999", -1},
  };
  for (const auto& [value, expected] : cases) {
    ScopedEnv env("JPEG_USECPU", value);
    EXPECT_EQ(read_cpu_setting(nullptr), expected) << (value ? value : "(absent)");
  }
  ScopedEnv env("JPEG_USECPU", "4");
  EXPECT_EQ(classify_cpu(), CpuFamily6Simd64);
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  ASSERT_EQ(jpeg_init(&job), JpegSuccess);
  EXPECT_EQ(job.properties.cpu_kind, CpuFamily6Simd64) << "the forced kind reached the job";
  jpeg_free(&job);
}

TEST(CpuClassification, IdentificationReadsThisProcessor) {
  CpuInfo info;
#if defined(__x86_64__)
  ASSERT_TRUE(identify_cpu(&info));
  EXPECT_EQ(std::strlen(info.vendor), 12u);
  EXPECT_NE(info.features & (1u << 26), 0u) << "every x86-64 processor has SSE2";
  EXPECT_GE(info.family, 5);
  EXPECT_LE(info.family, 15);
#else
  identify_cpu(&info);
#endif
}

TEST(RoutineTable, FillLeavesTheCurrentSlotsEmpty) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  ASSERT_EQ(jpeg_init(&job), JpegSuccess);
  const RoutineTable* t = job.properties.routines;
  for (size_t word : {17, 18, 19, 20, 21, 24, 40}) {
    EXPECT_EQ(routine_table_word(t, word), 0u) << "word " << word;
  }
  EXPECT_EQ(routine_table_word(t, 68), routine_table_word(t, 66));
  EXPECT_EQ(routine_table_word(t, 0), 0u);
  for (size_t word = 1; word <= 5; ++word) EXPECT_EQ(routine_table_word(t, word), 0u);
  EXPECT_NE(t->end_of_scan, nullptr);
  EXPECT_EQ(t->quantize_current, t->quantize_fast);
  jpeg_free(&job);
}

TEST(RoutineTable, PortableKindsFillIdenticalTables) {
  RoutineTable tables[kCpuKindCount];
  for (int kind = 0; kind < kCpuKindCount; ++kind) {
    std::memset(&tables[kind], 0, sizeof(RoutineTable));
    fill_routine_table(&tables[kind], static_cast<CpuKind>(kind));
  }
  EXPECT_EQ(0, std::memcmp(&tables[0], &tables[1], sizeof(RoutineTable)));
  EXPECT_EQ(0, std::memcmp(&tables[0], &tables[2], sizeof(RoutineTable)));
}

TEST(Quantize, RoundsTheScaledProduct) {
  int16_t block[64];
  uint16_t table[64];
  for (int i = 0; i < 64; ++i) {
    block[i] = static_cast<int16_t>(i * 37 - 1000);
    table[i] = static_cast<uint16_t>(1000 + i * 300);
  }
  int16_t fast[64], accurate[64];
  std::memcpy(fast, block, sizeof block);
  std::memcpy(accurate, block, sizeof block);
  RoutineTable t{};
  fill_routine_table(&t, CpuGeneric);
  t.quantize_fast(fast, table);
  t.quantize_accurate(accurate, table);
  for (int i = 0; i < 64; ++i) {
    const int32_t expected = (block[i] * int32_t{table[i]} + 16384) >> 15;
    EXPECT_EQ(fast[i], expected) << i;
    EXPECT_EQ(accurate[i], expected) << i;
  }
  // The accurate family's table is unsigned: 40000 is not negative.
  int16_t one[64] = {16384};
  uint16_t big[64] = {40000};
  t.quantize_accurate(one, big);
  EXPECT_EQ(one[0], 20000);
}

TEST(FileIo, ResultsOfThePlatformLayer) {
  EXPECT_EQ(file_open("/nonexistent/file", FileAccess::Read), nullptr);
  EXPECT_EQ(file_open("/tmp", FileAccess::Read), nullptr);
  EXPECT_EQ(file_open(nullptr, FileAccess::Read), nullptr);
  char path[] = "/tmp/jpegcodec-io-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  void* file = file_open(path, FileAccess::ReadWrite);
  ASSERT_NE(file, nullptr);
  uint32_t n = 0;
  EXPECT_NE(file_write(file, "abcdef", 6, &n), 0);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(file_seek(file, 2, 0), 1);
  char buffer[8] = {};
  EXPECT_NE(file_read(file, buffer, 8, &n), 0);
  EXPECT_EQ(n, 4u);
  EXPECT_STREQ(buffer, "cdef");
  EXPECT_EQ(file_seek(file, -3, 1), 1);
  EXPECT_NE(file_read(file, buffer, 1, &n), 0);
  EXPECT_EQ(buffer[0], 'd');
  EXPECT_EQ(file_seek(file, -100, 1), 0) << "before the start";
  EXPECT_NE(file_read(file, buffer, 8, &n), 0);
  EXPECT_NE(file_close(file), 0);
  EXPECT_EQ(file_close(nullptr), 0);
  unlink(path);
}

namespace {

// Two pages: the first readable and writable, the second inaccessible.
// A page the process may touch, followed by forbidden pages enough for a
// whole job record.
struct Trap {
  Trap() {
    page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    forbidden_bytes = (sizeof(JpegJob) + page - 1) / page * page;
    base = static_cast<uint8_t*>(mmap(nullptr, page + forbidden_bytes, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base + page, forbidden_bytes, PROT_NONE);
  }
  ~Trap() { munmap(base, page + forbidden_bytes); }
  uint8_t* forbidden() const { return base + page; }
  size_t page, forbidden_bytes;
  uint8_t* base;
};

}  // namespace

TEST(Guard, FaultsInsideEntryOperationsBecomeMinusOne) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports the wild access itself, before the processor faults";
#elif defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer defers the fault signal, so the guard's jump is not taken";
#endif
  Trap trap;
  auto* bad_job = reinterpret_cast<JpegJob*>(trap.forbidden());
  EXPECT_EQ(jpeg_init(bad_job), JpegExceptionDetected);
  EXPECT_EQ(jpeg_read(bad_job, IoReadParamsFile), JpegExceptionDetected);
  EXPECT_EQ(jpeg_write(bad_job, IoWriteImageFile), JpegExceptionDetected);
  EXPECT_EQ(jpeg_free(bad_job), JpegExceptionDetected);
  // A record that starts in good memory and runs into the forbidden page.
  auto* straddling = reinterpret_cast<JpegJob*>(trap.forbidden() - 64);
  EXPECT_EQ(jpeg_init(straddling), JpegExceptionDetected);
  // The process goes on, and the codec works as before.
  Job ok;
  EXPECT_EQ(ok.status, JpegSuccess);
  EXPECT_STREQ(jpeg_status_text(JpegExceptionDetected), "Exception detected");
}

namespace {

sigjmp_buf g_host_jump;
int g_host_faults = 0;
void host_handler(int) {
  ++g_host_faults;
  siglongjmp(g_host_jump, 1);
}

}  // namespace

TEST(Guard, AHostHandlerInstalledLaterKeepsBothWorking) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports the wild access itself, before the processor faults";
#elif defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer defers the fault signal, so the guard's jump is not taken";
#endif
  Job first;  // the codec's handlers are in place
  // The host installs its own handler for SIGSEGV after the codec's first
  // call, as a program with a crash reporter would.
  struct sigaction host, before;
  std::memset(&host, 0, sizeof host);
  host.sa_handler = host_handler;
  sigemptyset(&host.sa_mask);
  ASSERT_EQ(sigaction(SIGSEGV, &host, &before), 0);
  Trap trap;
  // A fault inside the codec is still the codec's: -1.
  auto* bad_job = reinterpret_cast<JpegJob*>(trap.forbidden());
  EXPECT_EQ(jpeg_read(bad_job, IoReadParamsFile), JpegExceptionDetected);
  EXPECT_EQ(g_host_faults, 0);
  // A fault outside it is the host's, every time: its handler recovers with
  // siglongjmp and never returns to the guard that handed the fault on.
  for (int fault = 1; fault <= 3; ++fault) {
    if (sigsetjmp(g_host_jump, 1) == 0) {
      *reinterpret_cast<volatile int*>(trap.forbidden()) = 1;
    }
    EXPECT_EQ(g_host_faults, fault);
    // And the codec's own faults stay the codec's between them.
    EXPECT_EQ(jpeg_read(bad_job, IoReadParamsFile), JpegExceptionDetected);
  }
  EXPECT_EQ(g_host_faults, 3);
  // Back to the default action, which the codec's next call keeps behind
  // its handler.
  signal(SIGSEGV, SIG_DFL);
  Job after;
  EXPECT_EQ(after.status, JpegSuccess);
}

TEST(GuardDeathTest, FaultsOutsideTheCodecStillEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Job installed;  // the codec's handlers are in place
        volatile int* nowhere = nullptr;
        *nowhere = 1;
      },
      "");
}

namespace {

struct sigaction g_guard_behind_host;
// A host handler that hands every fault to the handler it replaced, which
// is the codec's guard: the guard, which handed the fault to it, must end
// the process rather than loop.
void handing_back(int signal_number, siginfo_t* info, void* context) {
  g_guard_behind_host.sa_sigaction(signal_number, info, context);
}

}  // namespace

TEST(GuardDeathTest, AHostHandlerThatHandsTheFaultBackEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Job installed;  // the codec's handlers are in place
        struct sigaction host;
        std::memset(&host, 0, sizeof host);
        host.sa_sigaction = handing_back;
        host.sa_flags = SA_SIGINFO;
        sigemptyset(&host.sa_mask);
        sigaction(SIGSEGV, &host, &g_guard_behind_host);
        Job again;  // the guard in front once more, the host's handler behind it
        volatile int* nowhere = nullptr;
        *nowhere = 1;
      },
      "");
}

TEST(JpegRead, RequestsThatNeedNoImageComputeWithNoFieldOfOne) {
  // Header reads and tables-only writes check no image field, so they must
  // compute with none: under UndefinedBehaviorSanitizer an overflow here
  // ends the test.
  const std::vector<uint8_t> data = read_file(test_data("generated/base_420.jpg"));
  BufferJob job(data);
  uint8_t somewhere[16];
  job.job.out_pixels = somewhere;
  job.job.out_width = INT32_MAX;
  job.job.out_channels = INT32_MAX;
  job.job.out_pad = INT32_MAX;
  job.job.out_height = INT32_MIN;
  EXPECT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  EXPECT_EQ(job.job.jpeg_width, 320);
  std::vector<uint8_t> out(4096);
  job.job.jpeg_buffer = out.data();
  job.job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  job.job.jpeg_width = INT32_MAX;
  job.job.jpeg_height = INT32_MIN;
  job.job.jpeg_channels = 3;
  job.job.jpeg_color = ColorYcbcr;
  job.job.out_color = ColorRgb;
  job.job.out_channels = 3;
  EXPECT_EQ(jpeg_write(&job.job, IoWriteTablesBuffer), JpegSuccess);
  // Tables only: SOI, DQT, DHT, EOI.
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[3], 0xDB);
}

TEST(JpegRead, ValidationLimitsAreInclusive) {
  // The largest request each rule allows gets as far as the data.
  Job j;
  std::vector<uint8_t> pixels(65535 * 2);
  make_valid_image_request(&j.job, pixels.data());
  j->out_width = 65535;
  j->out_height = 1;
  j->out_channels = 1;
  j->out_color = ColorGray;
  j->jpeg_color = ColorGray;
  j->jpeg_channels = 1;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing) << "65535 wide";
  j->out_width = 1;
  j->out_height = 65535;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing) << "65535 high";
  j->out_height = -65535;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing) << "65535 high, bottom-up";
  j->out_height = -65536;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), JpegInvalidProperties);
  j->out_height = 1;
  j->out_width = 65536;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), JpegInvalidProperties);
  j->out_width = 1;
  j->out_color = ColorOther;
  j->jpeg_color = ColorOther;
  j->out_channels = 255;
  j->jpeg_channels = 256;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), kParsedNothing) << "255 channels out, 256 in";
  j->jpeg_channels = 257;
  EXPECT_EQ(jpeg_read(&j.job, IoReadImageBuffer), JpegInvalidProperties);
}
