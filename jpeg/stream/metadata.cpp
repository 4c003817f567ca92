// EXIF, ICC and XMP: takes APP1 and APP2 payloads, gives the blocks and
// the orientation; keeps what writes carry. Called by the marker loop,
// jpeg_metadata and jpeg_set_metadata.

#include "jpeg/stream/metadata.h"

#include <stdlib.h>
#include <string.h>

#include "jpeg/cpu/memory.h"
#include "jpeg/stream/input_stream.h"

namespace jpegcodec {

namespace {

struct IccChunk {
  uint8_t* bytes;
  int32_t size;
};

// What a read collected; the profile is put together when it is asked for.
struct MetadataStore {
  uint8_t* exif;
  int32_t exif_size;
  uint8_t* xmp;
  int32_t xmp_size;
  IccChunk chunks[256];  // by number, 1 to 255
  int32_t chunk_count;   // the count the chunks declare; -1 once they disagree
  uint8_t* icc;
  int32_t icc_size;
  // What later writes carry: the caller's request, its pointers into
  // `request_bytes` (one allocation holding every block and the segment list).
  JpegWriteMetadata request;
  uint8_t* request_bytes;
};

MetadataStore* store_of(JPEG_PROPERTIES* p, bool create) {
  if (p->metadata == nullptr && create) p->metadata = codec_calloc(1, sizeof(MetadataStore));
  return static_cast<MetadataStore*>(p->metadata);
}

uint8_t* copy_of(const uint8_t* bytes, int32_t size) {
  auto* copy = static_cast<uint8_t*>(codec_malloc(size > 0 ? size : 1));
  if (copy != nullptr && size > 0) memcpy(copy, bytes, size);
  return copy;
}

// Keeps a chunk of the profile: numbers 1 to the count, each once, the same
// count in every chunk; any other chunk makes the profile absent.
JpegStatus keep_icc_chunk(MetadataStore* m, const uint8_t* b, int32_t size) {
  const int32_t number = b[12], count = b[13];
  const bool fits = number >= 1 && number <= count && m->chunk_count >= 0 &&
                    (m->chunk_count == 0 || m->chunk_count == count) &&
                    m->chunks[number].bytes == nullptr;
  if (!fits) {
    m->chunk_count = -1;
    return JpegSuccess;
  }
  m->chunk_count = count;
  uint8_t* copy = copy_of(b + kIccChunkHeader, size - kIccChunkHeader);
  if (copy == nullptr) return JpegMemoryError;
  m->chunks[number] = IccChunk{copy, size - kIccChunkHeader};
  return JpegSuccess;
}

JpegStatus keep(MetadataStore* m, int32_t marker, const uint8_t* b, int32_t size) {
  if (marker == 0xE1 && size >= 6 && memcmp(b, kExifHeader, 6) == 0) {
    if (m->exif != nullptr) return JpegSuccess;  // the first block is the image's
    m->exif = copy_of(b, size);
    m->exif_size = size;
    return m->exif != nullptr ? JpegSuccess : JpegMemoryError;
  }
  const int32_t xmp_header = sizeof kXmpNamespace;
  if (marker == 0xE1 && size >= xmp_header && memcmp(b, kXmpNamespace, xmp_header) == 0) {
    if (m->xmp != nullptr) return JpegSuccess;
    m->xmp = copy_of(b + xmp_header, size - xmp_header);
    m->xmp_size = size - xmp_header;
    return m->xmp != nullptr ? JpegSuccess : JpegMemoryError;
  }
  if (marker == 0xE2 && size >= kIccChunkHeader && memcmp(b, kIccName, sizeof kIccName) == 0) {
    return keep_icc_chunk(m, b, size);
  }
  return JpegSuccess;
}

// The chunks in their numbers' order, once all are there.
JpegStatus assemble_icc(MetadataStore* m) {
  if (m->icc != nullptr || m->chunk_count <= 0) return JpegSuccess;
  int64_t total = 0;
  for (int32_t n = 1; n <= m->chunk_count; ++n) {
    if (m->chunks[n].bytes == nullptr) return JpegSuccess;  // a chunk is missing
    total += m->chunks[n].size;
  }
  if (total == 0) return JpegSuccess;
  m->icc = static_cast<uint8_t*>(codec_malloc(static_cast<size_t>(total)));
  if (m->icc == nullptr) return JpegMemoryError;
  int64_t at = 0;
  for (int32_t n = 1; n <= m->chunk_count; ++n) {
    memcpy(m->icc + at, m->chunks[n].bytes, m->chunks[n].size);
    at += m->chunks[n].size;
  }
  m->icc_size = static_cast<int32_t>(total);
  return JpegSuccess;
}

uint32_t read16(const uint8_t* b, bool big_endian) {
  return big_endian ? (uint32_t{b[0]} << 8 | b[1]) : (uint32_t{b[1]} << 8 | b[0]);
}
uint32_t read32(const uint8_t* b, bool big_endian) {
  return big_endian ? read16(b, true) << 16 | read16(b + 2, true)
                    : read16(b + 2, false) << 16 | read16(b, false);
}

}  // namespace

JpegStatus read_app_metadata(JPEG_PROPERTIES* p, int32_t marker) {
  InputStream* s = &p->stream;
  int32_t length = 0;
  JpegStatus status = read_length(s, &length);
  if (status != JpegSuccess) return status;
  // A broken length leaves the search for the next marker to find its way,
  // as for other application segments.
  if (length < 2) return JpegSuccess;
  const uint8_t* bytes = nullptr;
  bool copied = false;
  if (segment_bytes(s, length - 2, &bytes, &copied) != JpegSuccess) return JpegDataError;
  MetadataStore* m = store_of(p, true);
  status = m != nullptr ? keep(m, marker, bytes, length - 2) : JpegMemoryError;
  if (copied) free(const_cast<uint8_t*>(bytes));
  return status;
}

void forget_metadata(JPEG_PROPERTIES* p) {
  MetadataStore* m = store_of(p, false);
  if (m == nullptr) return;
  free(m->exif);
  free(m->xmp);
  free(m->icc);
  for (IccChunk& chunk : m->chunks) free(chunk.bytes);
  const JpegWriteMetadata request = m->request;
  uint8_t* request_bytes = m->request_bytes;
  memset(m, 0, sizeof *m);
  m->request = request;
  m->request_bytes = request_bytes;
}

void free_metadata(JPEG_PROPERTIES* p) {
  forget_metadata(p);
  if (p->metadata != nullptr) free(static_cast<MetadataStore*>(p->metadata)->request_bytes);
  free(p->metadata);
  p->metadata = nullptr;
}

JpegStatus keep_write_metadata(JPEG_PROPERTIES* p, const JpegWriteMetadata* request) {
  MetadataStore* m = store_of(p, request != nullptr);
  if (m == nullptr) return request != nullptr ? JpegMemoryError : JpegSuccess;
  free(m->request_bytes);
  m->request_bytes = nullptr;
  m->request = JpegWriteMetadata{};
  if (request == nullptr) return JpegSuccess;
  // The segment list first (pointer-aligned), then the blocks.
  const size_t list = sizeof(JpegSegment) * static_cast<size_t>(request->segment_count);
  size_t total =
      list + static_cast<size_t>(request->exif_size) + request->icc_size + request->xmp_size;
  for (int32_t i = 0; i < request->segment_count; ++i) total += request->segments[i].size;
  uint8_t* bytes = static_cast<uint8_t*>(codec_malloc(total > 0 ? total : 1));
  if (bytes == nullptr) return JpegMemoryError;
  uint8_t* at = bytes + list;
  auto take = [&at](const uint8_t* from, int32_t size) -> const uint8_t* {
    if (size <= 0) return nullptr;
    memcpy(at, from, static_cast<size_t>(size));
    at += size;
    return at - size;
  };
  JpegWriteMetadata& kept = m->request;
  kept = *request;
  kept.exif = take(request->exif, request->exif_size);
  kept.icc = take(request->icc, request->icc_size);
  kept.xmp = take(request->xmp, request->xmp_size);
  auto* segments = reinterpret_cast<JpegSegment*>(bytes);
  for (int32_t i = 0; i < request->segment_count; ++i) {
    segments[i] = request->segments[i];
    segments[i].data = take(request->segments[i].data, request->segments[i].size);
  }
  kept.segments = request->segment_count > 0 ? segments : nullptr;
  m->request_bytes = bytes;
  return JpegSuccess;
}

const JpegWriteMetadata* write_metadata(JPEG_PROPERTIES* p) {
  MetadataStore* m = store_of(p, false);
  return m != nullptr && m->request_bytes != nullptr ? &m->request : nullptr;
}

namespace {

// The TIFF data of an EXIF block (after its "Exif\0\0") and their byte
// order.
struct Tiff {
  const uint8_t* data;
  int64_t size;
  bool big_endian;
};

bool tiff_of(const uint8_t* exif, int32_t size, Tiff* t) {
  if (exif == nullptr || size < 6 + 8) return false;
  t->data = exif + 6;
  t->size = size - 6;
  if (t->data[0] == 'M' && t->data[1] == 'M') {
    t->big_endian = true;
  } else if (t->data[0] == 'I' && t->data[1] == 'I') {
    t->big_endian = false;
  } else {
    return false;
  }
  return read16(t->data + 2, t->big_endian) == 42;
}

// Where entry `tag` of the directory at `directory` (offsets from the TIFF
// data's start) holds one value of its own, SHORT or LONG as `types`
// allows (bit 3 SHORT, bit 4 LONG): the value's offset, or -1 when there
// is none or the directory runs past the block.
int64_t value_offset(const Tiff& t, int64_t directory, uint32_t tag, uint32_t types) {
  if (directory < 8 || directory + 2 > t.size) return -1;
  const int64_t entries = read16(t.data + directory, t.big_endian);
  for (int64_t i = 0; i < entries; ++i) {
    const int64_t at = directory + 2 + 12 * i;
    if (at + 12 > t.size) return -1;
    const uint8_t* entry = t.data + at;
    if (read16(entry, t.big_endian) != tag) continue;
    const uint32_t type = read16(entry + 2, t.big_endian);
    if (type > 31 || !(types >> type & 1) || read32(entry + 4, t.big_endian) != 1) return -1;
    return at + 8;
  }
  return -1;
}

constexpr uint32_t kShort = 1u << 3, kLong = 1u << 4;

void write_value(uint8_t* at, uint32_t value, bool is_long, bool big_endian) {
  const int bytes = is_long ? 4 : 2;
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (big_endian ? bytes - 1 - i : i);
    at[i] = static_cast<uint8_t>(value >> shift);
  }
}

}  // namespace

int32_t exif_orientation(const uint8_t* exif, int32_t size) {
  Tiff t;
  if (!tiff_of(exif, size, &t)) return 0;
  const int64_t at = value_offset(t, read32(t.data + 4, t.big_endian), 0x0112, kShort);
  return at < 0 ? 0 : static_cast<int32_t>(read16(t.data + at, t.big_endian));
}

bool set_exif_orientation(uint8_t* exif, int32_t size, int32_t orientation) {
  Tiff t;
  if (!tiff_of(exif, size, &t)) return false;
  const int64_t at = value_offset(t, read32(t.data + 4, t.big_endian), 0x0112, kShort);
  if (at < 0) return false;
  write_value(exif + 6 + at, static_cast<uint32_t>(orientation), false, t.big_endian);
  return true;
}

void set_exif_dimensions(uint8_t* exif, int32_t size, int32_t width, int32_t height) {
  Tiff t;
  if (!tiff_of(exif, size, &t)) return;
  // The Exif directory, which the first one points to (tag 0x8769).
  const int64_t pointer = value_offset(t, read32(t.data + 4, t.big_endian), 0x8769, kLong);
  if (pointer < 0) return;
  const int64_t directory = read32(t.data + pointer, t.big_endian);
  const uint32_t tags[2] = {0xA002, 0xA003};  // PixelXDimension, PixelYDimension
  const int32_t values[2] = {width, height};
  for (int i = 0; i < 2; ++i) {
    const int64_t at = value_offset(t, directory, tags[i], kShort | kLong);
    if (at < 0) continue;
    const bool is_long = read16(t.data + at - 6, t.big_endian) == 4;
    if (!is_long && values[i] > 65535) continue;
    write_value(exif + 6 + at, static_cast<uint32_t>(values[i]), is_long, t.big_endian);
  }
}

void describe_metadata(JPEG_PROPERTIES* p, JpegMetadata* out) {
  memset(out, 0, sizeof *out);
  out->orientation = 1;
  MetadataStore* m = store_of(p, false);
  if (m == nullptr) return;
  out->exif = m->exif;
  out->exif_size = m->exif_size;
  out->xmp = m->xmp;
  out->xmp_size = m->xmp_size;
  out->icc = m->icc;
  out->icc_size = m->icc_size;
  const int32_t orientation = exif_orientation(m->exif, m->exif_size);
  if (orientation >= 1 && orientation <= 8) out->orientation = orientation;
}

JpegStatus prepare_metadata(JPEG_PROPERTIES* p) {
  MetadataStore* m = store_of(p, false);
  return m != nullptr ? assemble_icc(m) : JpegSuccess;
}

}  // namespace jpegcodec
