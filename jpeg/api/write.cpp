// jpeg_write and jpeg_set_metadata: the write request checked, the file or
// buffer opened, the encoder run (encode/encoder.h), and what the write
// opened released whatever happened. Called by programs.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/api/operation.h"
#include "jpeg/api/validate.h"
#include "jpeg/cpu/file_io.h"
#include "jpeg/cpu/memory.h"
#include "jpeg/encode/encoder.h"
#include "jpeg/encode/output_sink.h"
#include "jpeg/stream/io_types.h"
#include "jpeg/stream/metadata.h"

namespace jpegcodec {

namespace {

// What a write holds while it runs, released by the write or, after a
// fault, by its clean-up: the file it created and the staging buffer.
struct WriteTarget {
  OutputSink sink;
  const char* name;  // the file created for the write, or null
};

// Closes the write's file (removing it when the write failed) and frees
// its staging buffer. -9 when a file that was written cannot be closed.
JpegStatus release_write(WriteTarget* target, bool failed) {
  JpegStatus status = JpegSuccess;
  if (target->sink.file != nullptr) {
    if (file_close(target->sink.file) == 0 && !failed) status = JpegCloseFileError;
    target->sink.file = nullptr;
    if (failed || status != JpegSuccess) file_remove(target->name);
  }
  free(target->sink.staging);
  target->sink.staging = nullptr;
  return status;
}

JpegStatus encode_into(JpegJob* job, int32_t type, WriteTarget* target,
                       const JpegCoefImage* coefficients, int16_t* prepared);

JpegStatus write_body(JpegJob* job, int32_t type, WriteTarget* target) {
  JPEG_PROPERTIES* p = &job->properties;
  job->status_detail[0] = '\0';
  p->io_type = type;
  JpegStatus status = validate_request(job, type);
  if (status != JpegSuccess) return status;
  if (type < IoWriteImageFile || type > IoWriteDataBuffer) {
    return refuse(job, JpegInvalidProperties, "jpeg_write takes the I/O types 8 to 13, not %d",
                  type);
  }
  if (job->write_restart_interval < 0 || job->write_restart_interval > 65535) {
    return refuse(job, JpegInvalidProperties, "write_restart_interval must be 0 to 65535, is %d",
                  job->write_restart_interval);
  }
  if (!job->use_properties) {
    copy_request_fields(job, p, job->out_subsampling == Sub422);
    // The frame the encoder writes.
    p->jpeg_width = job->jpeg_width;
    p->jpeg_height = job->jpeg_height;
    p->jpeg_channels = job->jpeg_channels;
    p->jpeg_subsampling = job->jpeg_subsampling;
  }
  // The JPEG is the caller's image or its top-left part.
  const bool image = type != IoWriteTablesFile && type != IoWriteTablesBuffer;
  const int64_t rows = p->out_height < 0 ? -int64_t{p->out_height} : p->out_height;
  if (image && (p->jpeg_width > p->out_width || p->jpeg_height > rows)) {
    return refuse(job, JpegInvalidProperties,
                  "a JPEG of %dx%d is larger than the caller's %dx%d image", p->jpeg_width,
                  p->jpeg_height, p->out_width, static_cast<int32_t>(rows));
  }
  status = check_encode_request(p);
  if (status == JpegInvalidProperties) {
    return refuse(job, status, "quality must be 1 to 100, is %d", p->quality);
  }
  if (status != JpegSuccess) {
    return refuse(job, status, "the encoder writes 1 to 4 components, not %d", p->jpeg_channels);
  }
  return encode_into(job, type, target, nullptr, nullptr);
}

// Opens the write's file or buffer and runs the encoder on the caller's
// image or, given them, coefficients.
JpegStatus encode_into(JpegJob* job, int32_t type, WriteTarget* target,
                       const JpegCoefImage* coefficients, int16_t* prepared) {
  JPEG_PROPERTIES* p = &job->properties;
  OutputSink& sink = target->sink;
  if (is_file_type(type)) {
    target->name = p->file_name;
    sink.file = file_open(p->file_name, FileAccess::Create);
    if (sink.file == nullptr) {
      return refuse(job, JpegInvalidFileName, "%s cannot be made as a regular file", p->file_name);
    }
  } else {
    sink.buffer = p->jpeg_buffer;
    sink.capacity = p->jpeg_buffer_size;
  }
  sink.staging = static_cast<uint8_t*>(codec_malloc(kStagingBytes));
  if (sink.staging == nullptr) return JpegMemoryError;
  sink.next = sink.staging;
  sink.end = sink.staging + kStagingBytes;
  const WriteOptions options{job->write_optimize != 0, job->write_progressive != 0,
                             job->write_restart_interval, write_metadata(p)};
  const JpegStatus status = encode_jpeg(p, type, options, &sink, coefficients, prepared);
  if (status == JpegSuccess && sink.file == nullptr) {
    // A buffer write tells the caller how many bytes it holds.
    p->jpeg_buffer_size = static_cast<int32_t>(sink.written);
    if (!job->use_properties) job->jpeg_buffer_size = p->jpeg_buffer_size;
  }
  if (status == JpegInvalidProperties && coefficients != nullptr) {
    return refuse(job, status, "a coefficient is out of range: DC -1024 to 1023, AC -1023 to 1023");
  }
  return status;
}

// A write of the caller's coefficients: the description checked, the
// frame's values put where the encoder reads them.
JpegStatus coefficient_write_body(JpegJob* job, int32_t type, const JpegCoefImage* image,
                                  int16_t* prepared, WriteTarget* target) {
  JPEG_PROPERTIES* p = &job->properties;
  job->status_detail[0] = '\0';
  p->io_type = type;
  if (type != IoWriteImageFile && type != IoWriteImageBuffer) {
    return refuse(job, JpegInvalidProperties,
                  "jpeg_write_coefficient_image takes the I/O types 8 and 9, not %d", type);
  }
  if (image == nullptr) return refuse(job, JpegInvalidProperties, "the image is null");
  char why[sizeof job->status_detail];
  check_coefficient_image(*image, why, sizeof why);
  if (why[0] != '\0') return refuse(job, JpegInvalidProperties, "%s", why);
  if (job->write_restart_interval < 0 || job->write_restart_interval > 65535) {
    return refuse(job, JpegInvalidProperties, "write_restart_interval must be 0 to 65535, is %d",
                  job->write_restart_interval);
  }
  if (!job->use_properties) copy_request_fields(job, p, false);
  if (is_file_type(type) && p->file_name == nullptr) {
    return refuse(job, JpegInvalidProperties, "file_name is null");
  }
  if (!is_file_type(type) && (p->jpeg_buffer == nullptr || p->jpeg_buffer_size <= 0)) {
    return refuse(job, JpegInvalidProperties,
                  "jpeg_buffer is null or jpeg_buffer_size not above 0");
  }
  p->jpeg_width = image->width;
  p->jpeg_height = image->height;
  p->jpeg_channels = image->component_count;
  p->jpeg_color = image->color;
  return encode_into(job, type, target, image, prepared);
}

JpegStatus check_write_metadata(JpegJob* job, const JpegWriteMetadata* m) {
  const bool exif_header =
      m->exif_size >= 6 && m->exif != nullptr && memcmp(m->exif, kExifHeader, 6) == 0;
  const int32_t exif_room = exif_header ? kSegmentPayload : kSegmentPayload - 6;
  struct Block {
    const char* name;
    const void* bytes;
    int32_t size;
    int64_t most;
  } blocks[] = {{"exif", m->exif, m->exif_size, exif_room},
                {"icc", m->icc, m->icc_size, int64_t{kIccChunkBytes} * 255},
                {"xmp", m->xmp, m->xmp_size, kXmpPacketBytes}};
  for (const Block& b : blocks) {
    if (b.size < 0 || b.size > b.most) {
      return refuse(job, JpegInvalidProperties, "%s_size must be 0 to %lld, is %d", b.name,
                    static_cast<long long>(b.most), b.size);
    }
    if (b.size > 0 && b.bytes == nullptr) {
      return refuse(job, JpegInvalidProperties, "%s is null with %s_size %d", b.name, b.name,
                    b.size);
    }
  }
  if (m->segment_count < 0 || m->segment_count > 1000 ||
      (m->segment_count > 0 && m->segments == nullptr)) {
    return refuse(job, JpegInvalidProperties,
                  "segment_count must be 0 to 1000 with a list of that many, is %d",
                  m->segment_count);
  }
  for (int32_t i = 0; i < m->segment_count; ++i) {
    const JpegSegment& g = m->segments[i];
    if (g.marker < 0xE0 || g.marker > 0xEF) {
      return refuse(job, JpegInvalidProperties,
                    "segments[%d].marker must be an APPn marker, 0xE0 to 0xEF, is 0x%X", i,
                    g.marker);
    }
    if (g.size < 0 || g.size > kSegmentPayload || (g.size > 0 && g.data == nullptr)) {
      return refuse(job, JpegInvalidProperties,
                    "segments[%d].size must be 0 to %d with its data, is %d", i, kSegmentPayload,
                    g.size);
    }
  }
  return JpegSuccess;
}

}  // namespace

}  // namespace jpegcodec

using namespace jpegcodec;

extern "C" JpegStatus jpeg_set_metadata(JpegJob* job, const JpegWriteMetadata* metadata) {
  if (job == nullptr) return JpegInvalidProperties;
  return guarded(
      [&]() -> JpegStatus {
        if (!job_ready(job)) return JpegInvalidProperties;
        job->status_detail[0] = '\0';
        if (metadata != nullptr) {
          const JpegStatus status = check_write_metadata(job, metadata);
          if (status != JpegSuccess) return status;
        }
        return keep_write_metadata(&job->properties, metadata);
      },
      [] {});
}

namespace {

// Runs a write's `body` (given the write's target) under the fault guard:
// what the write opened is released, and a failed write leaves no file.
template <typename Body>
JpegStatus guarded_write(JpegJob* job, Body body) {
  if (job == nullptr) return JpegInvalidProperties;
  WriteTarget target{};
  return guarded(
      [&]() -> JpegStatus {
        if (!job_ready(job)) return JpegInvalidProperties;
        JpegStatus status = body(&target);
        const JpegStatus closed = release_write(&target, status < 0);
        if (status == JpegSuccess) status = closed;
        end_of_scan(&job->properties);
        return status;
      },
      [&] {
        // A fault inside the write: nothing of it is left behind.
        release_write(&target, true);
        guarded_cleanup(read_cleanup, job);
      });
}

}  // namespace

extern "C" JpegStatus jpeg_write(JpegJob* job, int32_t io_type) {
  return guarded_write(job, [&](WriteTarget* target) { return write_body(job, io_type, target); });
}

JpegStatus jpegcodec::write_coefficients(JpegJob* job, int32_t io_type, const JpegCoefImage* image,
                                         int16_t* prepared) {
  return guarded_write(job, [&](WriteTarget* target) {
    return coefficient_write_body(job, io_type, image, prepared, target);
  });
}

extern "C" JpegStatus jpeg_write_coefficient_image(JpegJob* job, int32_t io_type,
                                                   const JpegCoefImage* image) {
  return write_coefficients(job, io_type, image, nullptr);
}
