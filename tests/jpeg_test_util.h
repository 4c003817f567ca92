// Helpers for codec tests: crafted JPEG streams, a bit writer, test data.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "jpeg/api/jpegcodec.h"

#ifndef KNOT_TEST_DATA_DIR
#error "KNOT_TEST_DATA_DIR must name tests/data"
#endif

inline std::string test_data(const std::string& relative) {
  return std::string(KNOT_TEST_DATA_DIR) + "/" + relative;
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Builds JPEG streams segment by segment.
class JpegBuilder {
 public:
  JpegBuilder& raw(std::initializer_list<uint8_t> bytes) {
    for (uint8_t byte : bytes) data.push_back(byte);
    return *this;
  }
  JpegBuilder& raw(const std::vector<uint8_t>& bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
  }
  JpegBuilder& marker(uint8_t code) { return raw({0xFF, code}); }
  JpegBuilder& soi() { return marker(0xD8); }
  JpegBuilder& eoi() { return marker(0xD9); }
  // A segment with the given payload (the length is computed).
  JpegBuilder& segment(uint8_t code, const std::vector<uint8_t>& payload) {
    marker(code);
    const size_t length = payload.size() + 2;
    raw({static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    return raw(payload);
  }
  JpegBuilder& jfif() { return segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}); }
  // An 8-bit quantization table of all `value`.
  JpegBuilder& dqt(uint8_t id, uint8_t value = 1) {
    std::vector<uint8_t> payload(65, value);
    payload[0] = id;
    return segment(0xDB, payload);
  }
  JpegBuilder& dht(uint8_t table_class, uint8_t id, const std::vector<uint8_t>& counts,
                   const std::vector<uint8_t>& symbols) {
    std::vector<uint8_t> payload{static_cast<uint8_t>(table_class << 4 | id)};
    std::vector<uint8_t> all_counts(counts);
    all_counts.resize(16, 0);
    payload.insert(payload.end(), all_counts.begin(), all_counts.end());
    payload.insert(payload.end(), symbols.begin(), symbols.end());
    return segment(0xC4, payload);
  }
  // A frame header: components as {id, h, v, tq}.
  JpegBuilder& sof(uint8_t code, uint16_t width, uint16_t height,
                   const std::vector<std::vector<uint8_t>>& components, uint8_t precision = 8) {
    std::vector<uint8_t> payload{precision,
                                 static_cast<uint8_t>(height >> 8),
                                 static_cast<uint8_t>(height),
                                 static_cast<uint8_t>(width >> 8),
                                 static_cast<uint8_t>(width),
                                 static_cast<uint8_t>(components.size())};
    for (const auto& c : components) {
      payload.push_back(c[0]);
      payload.push_back(static_cast<uint8_t>(c[1] << 4 | c[2]));
      payload.push_back(c[3]);
    }
    return segment(code, payload);
  }
  JpegBuilder& gray_frame(uint16_t width = 8, uint16_t height = 8, uint8_t code = 0xC0) {
    return sof(code, width, height, {{1, 1, 1, 0}});
  }
  // A scan header: components as {id, td, ta}.
  JpegBuilder& sos(const std::vector<std::vector<uint8_t>>& components, uint8_t ss = 0,
                   uint8_t se = 63, uint8_t ah_al = 0) {
    std::vector<uint8_t> payload{static_cast<uint8_t>(components.size())};
    for (const auto& c : components) {
      payload.push_back(c[0]);
      payload.push_back(static_cast<uint8_t>(c[1] << 4 | c[2]));
    }
    payload.push_back(ss);
    payload.push_back(se);
    payload.push_back(ah_al);
    return segment(0xDA, payload);
  }
  JpegBuilder& com(const std::string& text) {
    return segment(0xFE, std::vector<uint8_t>(text.begin(), text.end()));
  }

  std::vector<uint8_t> data;
};

// Writes bits most significant first, for crafting entropy-coded data.
class BitWriter {
 public:
  BitWriter& put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      current_ = static_cast<uint8_t>(current_ << 1 | ((value >> i) & 1));
      if (++count_ == 8) flush_byte();
    }
    return *this;
  }
  // Pads the last byte with 1 bits, as encoders do.
  std::vector<uint8_t> bytes() {
    while (count_ != 0) put(1, 1);
    return out_;
  }

 private:
  void flush_byte() {
    out_.push_back(current_);
    if (current_ == 0xFF) out_.push_back(0x00);  // byte stuffing
    current_ = 0;
    count_ = 0;
  }
  std::vector<uint8_t> out_;
  uint8_t current_ = 0;
  int count_ = 0;
};

// A job initialised for a memory read of `data`, freed at the end.
struct BufferJob {
  explicit BufferJob(std::vector<uint8_t> bytes) : data(std::move(bytes)) {
    std::memset(&job, 0, sizeof job);
    jpeg_init(&job);
    job.jpeg_buffer = data.data();
    job.jpeg_buffer_size = static_cast<int32_t>(data.size());
  }
  ~BufferJob() { jpeg_free(&job); }
  JpegStatus read(int32_t type) { return jpeg_read(&job, type); }
  std::vector<uint8_t> data;
  JpegJob job;
};

// A temporary file holding `bytes`, removed at the end.
struct TempFile {
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    char name[] = "/tmp/jpegcodec-test-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) {
      if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) < 0) path.clear();
      close(fd);
    }
  }
  ~TempFile() { unlink(path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path;
};

// The buffer read of the whole image at 1/scale (1, 2, 4 or 8).
inline int32_t scaled_read_type(int scale) {
  return scale == 1   ? IoReadImageBuffer
         : scale == 2 ? IoReadHalfBuffer
         : scale == 4 ? IoReadQuarterBuffer
                      : IoReadEighthBuffer;
}

// PSNR of two images' bytes (99 where they are equal).
inline double pixels_psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - b[i];
    sum += d * d;
  }
  const double mse = sum / static_cast<double>(a.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// A block of level-shifted samples (-128..127) for the forward transforms:
// pattern 0 all -128, 1 all 127, 2 a checkerboard, 3 alternating columns,
// any other random.
inline void fill_level_shifted(int16_t* samples, int pattern, std::mt19937& random) {
  for (int i = 0; i < 64; ++i) {
    switch (pattern) {
      case 0:
        samples[i] = -128;
        break;
      case 1:
        samples[i] = 127;
        break;
      case 2:
        samples[i] = ((i / 8 + i % 8) & 1) != 0 ? 127 : -128;
        break;
      case 3:
        samples[i] = (i & 1) != 0 ? -128 : 127;
        break;
      default:
        samples[i] = static_cast<int16_t>(static_cast<int>(random() % 256) - 128);
    }
  }
}
