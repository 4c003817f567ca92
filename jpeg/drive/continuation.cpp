// Whether a read continues the last one (takes the job's state and the
// request, gives yes or no) and what a read leaves. Called by jpeg_read.

#include "jpeg/drive/continuation.h"

#include <string.h>

#include "jpeg/decode/scan.h"
#include "jpeg/stream/io_types.h"

namespace jpegcodec {

namespace {

bool is_last_source(const JPEG_PROPERTIES* p, const Source& source) {
  return p->continuation != kNothing && same_source(p, source);
}

void remember_source(JPEG_PROPERTIES* p, const Source& source) {
  p->source_is_file = source.file ? 1 : 0;
  p->source_buffer = source.buffer;
  p->source_size = source.size;
  memcpy(p->source_file_id, source.id, sizeof source.id);
}

bool repeats_interrupted_request(const JPEG_PROPERTIES* p) {
  int32_t request[11];
  resume_request_of(p, request);
  return p->out_pixels == p->resume_pixels &&
         memcmp(request, p->resume_request, sizeof request) == 0;
}

}  // namespace

// A buffer's bytes in brief: its first and last 4 KiB and 256 bytes spread
// over the rest. A caller that refills the same memory with other data of
// the same size is taken for new data (a full hash would cost a region read
// as much as decoding).
uint64_t buffer_fingerprint(const uint8_t* data, int32_t size) {
  uint64_t hash = 1469598103934665603u;
  if (data == nullptr || size <= 0) return hash;
  auto mix = [&hash](uint64_t value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15u;
    hash ^= hash >> 29;
  };
  // Eight bytes at a time: the fingerprint is taken on every read, and a
  // region read may take well under a millisecond.
  auto mix_range = [&mix, data](int32_t from, int32_t to) {
    int32_t i = from;
    for (; i + 8 <= to; i += 8) {
      uint64_t word;
      memcpy(&word, data + i, 8);
      mix(word);
    }
    for (; i < to; ++i) mix(data[i]);
  };
  const int32_t edge = size < 4096 ? size : 4096;
  mix_range(0, edge);
  mix_range(size - edge, size);
  for (int64_t k = 0; k < 256; ++k) mix(data[k * size / 256]);
  return hash;
}

bool same_source(const JPEG_PROPERTIES* p, const Source& source) {
  if ((p->source_is_file != 0) != source.file) return false;
  return p->source_buffer == source.buffer && p->source_size == source.size &&
         memcmp(p->source_file_id, source.id, sizeof source.id) == 0;
}

void resume_request_of(const JPEG_PROPERTIES* p, int32_t request[11]) {
  const int32_t fields[11] = {p->out_width, p->out_height,      p->out_pad,   p->out_channels,
                              p->out_color, p->out_subsampling, p->roi_left,  p->roi_top,
                              p->roi_right, p->roi_bottom,      p->dct_family};
  memcpy(request, fields, sizeof fields);
}

// Whether this read continues what the last one left: the same type resumes
// an interrupted decode; a region read of the same data seeks through the
// restart index or takes a progressive frame's coefficients. Everything
// else starts afresh, so that a read gives what it gives on a new job.
bool continues_last_read(const JPEG_PROPERTIES* p, int32_t type, const Source& source) {
  if (!is_last_source(p, source)) return false;
  switch (p->continuation) {
    case kInterrupted:
      return type == p->continuation_type && p->saved_scan != nullptr &&
             repeats_interrupted_request(p) && (!source.file || p->stream.file != nullptr);
    case kRegionIndex:
      return is_image_read(type) && region_would_be_active(p) && p->saved_scan != nullptr &&
             (!source.file || p->stream.file != nullptr);
    case kCoefficientsDone:
      // In interrupt mode the scans report their progress: decoded afresh.
      return is_image_read(type) && region_would_be_active(p) && p->coef_buffer != nullptr &&
             p->interrupt_mode == 0;
    default:
      return false;
  }
}

// What the next read may continue after this one ended with `status`.
void record_continuation(JPEG_PROPERTIES* p, int32_t type, JpegStatus status,
                         const Source& source) {
  p->continuation = kNothing;
  p->continuation_type = type;
  remember_source(p, source);
  if (status == JpegInterruptSuccess && p->saved_scan != nullptr) {
    p->continuation = kInterrupted;
  } else if (status == JpegRoiSuccess || status == JpegSuccess) {
    if (!is_image_read(type) || p->coef_output != nullptr) return;
    if (p->progressive_scans != 0) {
      // A store whose AC bands were passed over serves no other read.
      if (p->coef_buffer != nullptr && p->image_output_done && !reads_dc_only(p)) {
        p->continuation = kCoefficientsDone;
      }
    } else if (p->saved_scan != nullptr &&
               (status == JpegRoiSuccess || restart_index_covers_scan(p))) {
      p->continuation = kRegionIndex;
    }
  }
}

}  // namespace jpegcodec
