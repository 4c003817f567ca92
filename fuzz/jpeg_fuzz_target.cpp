// One fuzz input: the codec reads it every way a caller can, from memory
// and from a file, and reads it again in a sequence on one job. Nothing may
// crash or touch memory out of bounds; every read ends with a status; and
// reads that must agree do (a file and a buffer, interrupt mode and one
// call, a read twice, a reused job and a new one, a region and the crop of
// the whole image), or the input is a finding. A caught fault (-1) means
// the codec went astray: the guard would hide it from the fuzzer, so it
// aborts here.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "jpegcodec.h"

namespace {

// Output images above this many pixels are not allocated for the image reads.
constexpr int64_t kMaxPixels = 1 << 18;

JpegStatus checked(JpegStatus status) {
  if (status == JpegExceptionDetected) {
    std::fputs("the codec caught a fault of its own (-1)\n", stderr);
    abort();
  }
  return status;
}

char g_path[64] = "";
// Where the metadata's bytes are summed, so that every one is read.
volatile uint32_t g_metadata_sum = 0;

void remove_input_file() {
  unlink(g_path);
}

// The input also as a file, for the file reads (removed at exit).
const char* input_file(const uint8_t* data, size_t size) {
  char* path = g_path;
  if (path[0] == '\0') {
    std::snprintf(g_path, sizeof g_path, "/tmp/jpeg-fuzz-%d.jpg", getpid());
    atexit(remove_input_file);
  }
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return nullptr;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written ? path : nullptr;
}

struct Read {
  int32_t type;
  int32_t out_color, out_channels;
  int32_t roi[4];
  bool interrupt;
  int32_t threads = 1;
};

// What a read gave: the status of each call and the image.
struct Outcome {
  std::vector<JpegStatus> statuses;
  std::vector<uint8_t> pixels;
  int32_t width = 0, height = 0;
  bool operator==(const Outcome& o) const {
    return statuses == o.statuses && pixels == o.pixels && width == o.width && height == o.height;
  }
};

int scale_of(int32_t type) {
  return type >= IoReadHalfFile && type <= IoReadEighthBuffer ? 2 << ((type - IoReadHalfFile) / 2)
                                                              : 1;
}

// One read on `job` (whose parameters are known), with an image buffer
// sized from them (or from the region); an interrupted read is resumed to
// its end.
Outcome image_read(JpegJob& job, const Read& r) {
  Outcome out;
  const int scale = scale_of(r.type);
  int64_t width = job.jpeg_width > 0 ? (job.jpeg_width + scale - 1) / scale : 1;
  int64_t height = job.jpeg_height > 0 ? (job.jpeg_height + scale - 1) / scale : 1;
  if (r.roi[2] > r.roi[0] && r.roi[3] > r.roi[1]) {
    width = r.roi[2] - r.roi[0];
    height = r.roi[3] - r.roi[1];
  }
  if (width * height > kMaxPixels) return out;
  out.pixels.assign(static_cast<size_t>(width * height * r.out_channels), 0xA5);
  out.width = static_cast<int32_t>(width);
  out.height = static_cast<int32_t>(height);
  job.out_pixels = out.pixels.data();
  job.out_width = out.width;
  job.out_height = out.height;
  job.out_color = r.out_color;
  job.out_channels = r.out_channels;
  std::memcpy(&job.properties.roi_left, r.roi, sizeof r.roi);
  job.threads = r.threads;
  for (int calls = 0; calls < 1 << 20; ++calls) {
    job.properties.interrupt_mode = r.interrupt ? 1 : 0;
    out.statuses.push_back(checked(jpeg_read(&job, r.type)));
    if (out.statuses.back() != JpegInterruptSuccess) break;
  }
  // Interrupt mode reports each MCU: only where it ends counts.
  if (r.interrupt) out.statuses.erase(out.statuses.begin(), out.statuses.end() - 1);
  job.out_pixels = nullptr;
  return out;
}

JpegJob* new_job(const uint8_t* data, size_t size, const char* file, JpegJob* job) {
  std::memset(job, 0, sizeof *job);
  if (checked(jpeg_init(job)) != JpegSuccess) return nullptr;
  job->jpeg_buffer = const_cast<uint8_t*>(data);
  job->jpeg_buffer_size = static_cast<int32_t>(size);
  job->file_name = file;
  return job;
}

// The parameters, then the read, on `job`; the parameter read's status is
// the outcome's first.
Outcome read_on(JpegJob& job, const Read& r) {
  uint8_t comment[64];
  job.properties.jpeg_comment = comment;
  job.properties.jpeg_comment_size = sizeof comment;
  const int32_t from_file = r.type % 2 == 0 ? 1 : 0;
  const JpegStatus params = checked(jpeg_read(&job, IoReadParamsBuffer - from_file));
  // What the data carry beside the image, every byte of it read.
  JpegMetadata metadata;
  if (checked(jpeg_metadata(&job, &metadata)) == JpegSuccess) {
    uint32_t sum = static_cast<uint32_t>(metadata.orientation);
    for (int32_t i = 0; i < metadata.exif_size; ++i) sum += metadata.exif[i];
    for (int32_t i = 0; i < metadata.icc_size; ++i) sum += metadata.icc[i];
    for (int32_t i = 0; i < metadata.xmp_size; ++i) sum += metadata.xmp[i];
    g_metadata_sum = sum;
    if (metadata.orientation < 1 || metadata.orientation > 8) abort();
  }
  Outcome out;
  if (params == JpegSuccess && r.type != IoReadParamsBuffer) out = image_read(job, r);
  out.statuses.insert(out.statuses.begin(), params);
  job.properties.jpeg_comment = nullptr;
  return out;
}

Outcome read_fresh(const uint8_t* data, size_t size, const char* file, const Read& r) {
  JpegJob job;
  if (new_job(data, size, file, &job) == nullptr) return {};
  Outcome out = read_on(job, r);
  checked(jpeg_free(&job));
  return out;
}

// Two ways of reading that must agree; the input that makes them differ
// is a finding.
void expect_same(const Outcome& a, const Outcome& b, const char* what, const Read& r) {
  if (a == b) return;
  std::fprintf(
      stderr, "%s differ (type %d, colour %d/%d, region %d,%d,%d,%d): status %d and %d%s\n", what,
      r.type, r.out_color, r.out_channels, r.roi[0], r.roi[1], r.roi[2], r.roi[3],
      a.statuses.empty() ? 0 : a.statuses.back(), b.statuses.empty() ? 0 : b.statuses.back(),
      a.pixels == b.pixels ? "" : ", and the pixels");
  abort();
}

// The region of `whole` (width x height, `channels` bytes a pixel) that
// `region` names.
bool region_is_crop(const Outcome& whole, const Outcome& region, const int32_t roi[4],
                    int channels) {
  const int32_t right = roi[2] < whole.width ? roi[2] : whole.width;
  const int32_t bottom = roi[3] < whole.height ? roi[3] : whole.height;
  for (int32_t y = roi[1]; y < bottom; ++y) {
    const uint8_t* a = whole.pixels.data() + (size_t(y) * whole.width + roi[0]) * channels;
    const uint8_t* b = region.pixels.data() + size_t(y - roi[1]) * region.width * channels;
    if (std::memcmp(a, b, size_t(right - roi[0]) * channels) != 0) return false;
  }
  return true;
}

// Copies of the blocks a job's last read found.
struct Carried {
  std::vector<uint8_t> exif, icc, xmp;
  bool operator==(const Carried&) const = default;
};
Carried carried_by(JpegJob& job) {
  JpegMetadata m;
  Carried c;
  if (checked(jpeg_metadata(&job, &m)) != JpegSuccess) return c;
  if (m.exif != nullptr) c.exif.assign(m.exif, m.exif + m.exif_size);
  if (m.icc != nullptr) c.icc.assign(m.icc, m.icc + m.icc_size);
  if (m.xmp != nullptr) c.xmp.assign(m.xmp, m.xmp + m.xmp_size);
  return c;
}

// What the input decodes to, written again with settings the input's first
// bytes choose (quality, sampling, grey, tables, progressive, restarts),
// with the input's EXIF, ICC and XMP blocks: every file the encoder writes
// must read back whole, and carrying those blocks.
void round_trip(const uint8_t* data, size_t size) {
  JpegJob job;
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) != JpegSuccess) return;
  job.jpeg_buffer = const_cast<uint8_t*>(data);
  job.jpeg_buffer_size = static_cast<int32_t>(size);
  std::vector<uint8_t> pixels;
  const bool decoded = checked(jpeg_read(&job, IoReadParamsBuffer)) == JpegSuccess &&
                       int64_t{job.jpeg_width} * job.jpeg_height <= kMaxPixels;
  if (decoded) {
    pixels.assign(static_cast<size_t>(job.jpeg_width) * job.jpeg_height * 3, 0);
    job.out_pixels = pixels.data();
    job.out_width = job.jpeg_width;
    job.out_height = job.jpeg_height;
    job.out_channels = 3;
    job.out_color = ColorRgb;
  }
  const bool whole = decoded && checked(jpeg_read(&job, IoReadImageBuffer)) == JpegSuccess;
  const int32_t width = job.jpeg_width, height = job.jpeg_height;
  // What the input carries goes into the new file, and must come back.
  const Carried carried = carried_by(job);
  checked(jpeg_free(&job));
  if (!whole || width < 1 || height < 1) return;
  const uint8_t a = data[size / 2], b = data[size - 1];
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) != JpegSuccess) return;
  job.out_pixels = pixels.data();
  job.out_width = job.jpeg_width = width;
  job.out_height = (b & 64) != 0 ? -height : height;
  job.jpeg_height = height;
  job.out_channels = 3;
  job.out_color = (b & 128) != 0 ? ColorBgr : ColorRgb;
  const bool grey = (a & 3) == 3;
  job.jpeg_color = grey ? ColorGray : ColorYcbcr;
  job.jpeg_channels = grey ? 1 : 3;
  job.jpeg_subsampling = grey ? Sub444 : a % 3;
  job.quality = 1 + a % 100;
  job.write_optimize = b & 1;
  job.write_progressive = (b >> 1) & 1;
  job.write_restart_interval = (b >> 2) & 7;
  job.properties.dct_family = (b >> 5) & 1;
  JpegWriteMetadata request{};
  request.exif = carried.exif.data();
  request.exif_size = static_cast<int32_t>(carried.exif.size());
  request.icc = carried.icc.data();
  request.icc_size = static_cast<int32_t>(carried.icc.size());
  request.xmp = carried.xmp.data();
  request.xmp_size = static_cast<int32_t>(carried.xmp.size());
  request.version_comment = b & 16;
  if (checked(jpeg_set_metadata(&job, &request)) != JpegSuccess) abort();
  std::vector<uint8_t> out(pixels.size() * 2 + 65536 + carried.icc.size() * 2);
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = static_cast<int32_t>(out.size());
  const JpegStatus written = checked(jpeg_write(&job, IoWriteImageBuffer));
  const int32_t bytes = job.jpeg_buffer_size;
  checked(jpeg_free(&job));
  if (written != JpegSuccess) abort();
  std::memset(&job, 0, sizeof job);
  if (checked(jpeg_init(&job)) != JpegSuccess) return;
  job.jpeg_buffer = out.data();
  job.jpeg_buffer_size = bytes;
  std::vector<uint8_t> back(static_cast<size_t>(width) * height * 3);
  job.out_pixels = back.data();
  job.out_width = width;
  job.out_height = height;
  job.out_channels = 3;
  job.out_color = ColorRgb;
  if (checked(jpeg_read(&job, IoReadImageBuffer)) != JpegSuccess) abort();
  if (!(carried_by(job) == carried)) abort();
  checked(jpeg_free(&job));
}

// The input turned, mirrored or cropped as its bytes choose: whatever the
// status, a file the transform wrote must read back whole.
void transformed(const uint8_t* data, size_t size) {
  const uint8_t a = data[size / 3], b = data[size - 1];
  JpegJob source, destination;
  std::memset(&source, 0, sizeof source);
  std::memset(&destination, 0, sizeof destination);
  if (checked(jpeg_init(&source)) != JpegSuccess) return;
  if (checked(jpeg_init(&destination)) != JpegSuccess) {
    checked(jpeg_free(&source));
    return;
  }
  source.jpeg_buffer = const_cast<uint8_t*>(data);
  source.jpeg_buffer_size = static_cast<int32_t>(size);
  // As much memory as a small image needs: no more for hostile sizes.
  source.properties.max_coef_megabytes = 64;
  std::vector<uint8_t> out(size * 4 + 65536);
  destination.jpeg_buffer = out.data();
  destination.jpeg_buffer_size = static_cast<int32_t>(out.size());
  destination.write_optimize = b & 1;
  destination.write_progressive = (b >> 1) & 1;
  JpegTransform t{};
  t.kind = a & 7;
  t.trim = (a >> 3) & 1;
  t.grayscale = (a >> 4) & 1;
  t.force = (a >> 5) & 1;
  t.copy = b % 3;
  t.restart_rows = (b >> 2) & 3;
  if ((b >> 4) & 1) {
    t.crop_x = a & 31;
    t.crop_y = b & 15;
    t.crop_width = 1 + (a ^ b);
    t.crop_height = 1 + b;
  }
  checked(jpeg_transform(&source, IoReadImageBuffer, &destination, IoWriteImageBuffer, &t));
  const int32_t bytes = destination.jpeg_buffer_size;
  checked(jpeg_free(&source));
  checked(jpeg_free(&destination));
  if (!t.written) return;
  JpegJob back;
  std::memset(&back, 0, sizeof back);
  if (checked(jpeg_init(&back)) != JpegSuccess) return;
  back.jpeg_buffer = out.data();
  back.jpeg_buffer_size = bytes;
  if (checked(jpeg_read(&back, IoReadParamsBuffer)) != JpegSuccess) abort();
  std::vector<uint8_t> pixels(size_t(back.jpeg_width) * back.jpeg_height * 4);
  back.out_pixels = pixels.data();
  back.out_width = back.jpeg_width;
  back.out_height = back.jpeg_height;
  back.out_channels = back.jpeg_channels == 1 ? 1 : back.jpeg_channels == 4 ? 4 : 3;
  back.out_color = back.jpeg_channels == 1   ? ColorGray
                   : back.jpeg_channels == 4 ? ColorFourChannel
                                             : ColorRgb;
  // Other component counts have no colour to read them as.
  const bool readable =
      back.jpeg_channels == 1 || back.jpeg_channels == 3 || back.jpeg_channels == 4;
  if (readable && checked(jpeg_read(&back, IoReadImageBuffer)) != JpegSuccess) abort();
  checked(jpeg_free(&back));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  const char* file = input_file(data, size);
  // Every way a caller reads, from memory; each must give from a file what
  // it gives from memory, in interrupt mode what it gives in one call, the
  // same when read twice on one job, and on a job that read the one before
  // it what it gives on a new job.
  const Read reads[] = {
      {IoReadImageBuffer, ColorBgr, 3, {}, false},
      {IoReadImageBuffer, ColorGray, 1, {}, false},
      {IoReadImageBuffer, ColorRgb, 3, {}, false},
      {IoReadHalfBuffer, ColorRgb, 3, {}, false},
      {IoReadEighthBuffer, ColorFourChannel, 4, {}, false},
      {IoReadImageBuffer, ColorRgb, 3, {5, 3, 40, 30}, false},
      {IoReadQuarterBuffer, ColorBgr, 3, {2, 2, 9, 9}, false},
      {IoReadThumbnailBuffer, ColorRgb, 3, {}, false},
  };
  std::vector<Outcome> fresh;
  for (const Read& r : reads) fresh.push_back(read_fresh(data, size, file, r));
  for (size_t i = 0; i < std::size(reads); ++i) {
    const Read& r = reads[i];
    if (file != nullptr) {
      Read from_file = r;
      from_file.type = r.type - 1;
      expect_same(fresh[i], read_fresh(data, size, file, from_file), "file and buffer", r);
    }
    if (r.type != IoReadThumbnailBuffer) {
      Read stepped = r;
      stepped.interrupt = true;
      expect_same(fresh[i], read_fresh(data, size, file, stepped), "interrupted and plain", r);
      // Threads, where the image is large enough for them (at 1/2 and 1/8
      // within the pixels allowed here): data without restart markers in
      // a pipeline of rows, and, as the input's size chooses, cut into
      // scouted runs.
      Read threaded = r;
      threaded.threads = 2;
      setenv("JPEG_SPLIT", size % 2 == 0 ? "1" : "0", 1);
      expect_same(fresh[i], read_fresh(data, size, file, threaded), "two threads and one", r);
    }
    JpegJob job;
    if (new_job(data, size, file, &job) != nullptr) {
      // The one before it on the same job (the last for the first), then
      // this read twice.
      read_on(job, reads[(i + std::size(reads) - 1) % std::size(reads)]);
      expect_same(fresh[i], read_on(job, r), "a reused job and a new one", r);
      expect_same(fresh[i], read_on(job, r), "a read and the same read again", r);
      checked(jpeg_free(&job));
    }
  }
  // A region is the crop of the whole image, when both are complete.
  const Outcome& whole = fresh[2];
  const Outcome& region = fresh[5];
  if (!whole.statuses.empty() && whole.statuses.back() == JpegSuccess && !region.statuses.empty() &&
      region.statuses.back() == JpegRoiSuccess && !region_is_crop(whole, region, reads[5].roi, 3)) {
    std::fputs("a region differs from the crop of the whole image\n", stderr);
    abort();
  }

  // A sequence on one job: tables, then reads that continue each other
  // (regions seeking through what earlier reads left).
  JpegJob job;
  if (new_job(data, size, file, &job) != nullptr) {
    checked(jpeg_read(&job, IoReadTablesBuffer));
    if (checked(jpeg_read(&job, IoReadParamsBuffer)) == JpegSuccess) {
      const Read sequence[] = {
          {IoReadImageBuffer, ColorRgb, 3, {0, 8, 24, 40}, false},
          {IoReadImageBuffer, ColorRgb, 3, {16, 0, 0, 16}, true},
          {IoReadAbbreviatedBuffer, ColorGray, 1, {}, false},
          {IoReadQuarterBuffer, ColorBgr, 3, {2, 2, 9, 9}, false},
          {IoReadImageFile, ColorRgb, 3, {8, 8, 16, 16}, false},
      };
      for (const Read& r : sequence) {
        if (r.type % 2 == 0 && file == nullptr) continue;
        image_read(job, r);
      }
    }
    checked(jpeg_free(&job));
  }
  round_trip(data, size);
  transformed(data, size);
  return 0;
}
