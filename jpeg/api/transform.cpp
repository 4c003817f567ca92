// jpeg_transform: a JPEG image turned, mirrored, transposed or cropped
// without its coefficients leaving the frequency domain. The source job
// reads its parameters, then its coefficients (the region the result needs
// when it is cropped); the transform stage moves the blocks; the
// destination job writes them with the metadata asked for. Called by
// programs (jpegxform, the Python module).

#include <stdlib.h>
#include <string.h>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/api/operation.h"
#include "jpeg/api/validate.h"
#include "jpeg/cpu/memory.h"
#include "jpeg/decode/scan.h"
#include "jpeg/stream/io_types.h"
#include "jpeg/stream/metadata.h"
#include "jpeg/transform/lossless.h"

namespace jpegcodec {

namespace {

constexpr int32_t kCommentRoom = 65535;

// What a transform allocates, freed whatever happens, and what it lends the
// two jobs, given back whatever happens.
struct TransformWork {
  int16_t* source_planes[4];
  int16_t* result;
  uint8_t* comment;
  uint8_t* exif;
  JpegJob* source;
  JpegJob* destination;
  // The fields of the two jobs the transform sets for its reads and write.
  uint8_t* source_comment;
  uint16_t source_comment_size;
  uint8_t* destination_comment;
  uint16_t destination_comment_size;
  int32_t destination_density[3];
  int32_t lent;  // 1 once the fields above hold the jobs' own values
};

void give_back(TransformWork& w) {
  set_coefficient_window(nullptr);
  if (w.lent) {
    JPEG_PROPERTIES& s = w.source->properties;
    s.jpeg_comment = w.source_comment;
    s.jpeg_comment_size = w.source_comment_size;
    s.coef_output = nullptr;
    s.roi_left = s.roi_top = s.roi_right = s.roi_bottom = 0;
    JPEG_PROPERTIES& d = w.destination->properties;
    d.jpeg_comment = w.destination_comment;
    d.jpeg_comment_size = w.destination_comment_size;
    d.density_units = static_cast<uint8_t>(w.destination_density[0]);
    d.x_density = static_cast<uint16_t>(w.destination_density[1]);
    d.y_density = static_cast<uint16_t>(w.destination_density[2]);
    w.lent = 0;
  }
  for (int c = 0; c < 4; ++c) {
    free(w.source_planes[c]);
    w.source_planes[c] = nullptr;
  }
  free(w.result);
  w.result = nullptr;
  free(w.comment);
  free(w.exif);
  w.comment = w.exif = nullptr;
}

JpegStatus check_request(JpegJob* d, int32_t read_type, int32_t write_type,
                         const JpegTransform* t) {
  if (read_type != IoReadImageFile && read_type != IoReadImageBuffer) {
    return refuse(d, JpegInvalidProperties, "jpeg_transform reads with I/O type 2 or 3, not %d",
                  read_type);
  }
  if (write_type != IoWriteImageFile && write_type != IoWriteImageBuffer) {
    return refuse(d, JpegInvalidProperties, "jpeg_transform writes with I/O type 8 or 9, not %d",
                  write_type);
  }
  if (t == nullptr) return refuse(d, JpegInvalidProperties, "the transform is null");
  if (t->auto_orient && t->kind != TransformNone) {
    return refuse(d, JpegInvalidProperties,
                  "auto_orient takes the place of a transform: kind must be 0, is %d", t->kind);
  }
  if (t->restart_rows < 0) {
    return refuse(d, JpegInvalidProperties, "restart_rows must be 0 or more, is %d",
                  t->restart_rows);
  }
  if (t->copy < CopyNone || t->copy > CopyAll) {
    return refuse(d, JpegInvalidProperties, "copy must be 0 to 2, is %d", t->copy);
  }
  return JpegSuccess;
}

// The source's frame as its coefficient planes lay it out.
CoefficientFrame source_frame(const JpegJob* s) {
  const JPEG_PROPERTIES& p = s->properties;
  CoefficientFrame f{};
  f.width = s->jpeg_width;
  f.height = s->jpeg_height;
  f.count = p.frame.component_count;
  for (int32_t c = 0; c < f.count && c < 4; ++c) {
    f.h[c] = p.frame.components[c].h;
    f.v[c] = p.frame.components[c].v;
  }
  set_frame_geometry(&f);
  return f;
}

// The quantization tables the source's components were read with, one
// entry per distinct table; `which[c]` names component c's.
void source_tables(const JPEG_PROPERTIES& p, int32_t count, uint16_t tables[4][64],
                   int32_t* table_count, int32_t which[4]) {
  *table_count = 0;
  for (int32_t c = 0; c < count; ++c) {
    const bool latched = p.latched_components >> c & 1;
    const uint16_t* table =
        latched ? p.latched_raw[c] : p.quant_raw[p.frame.components[c].quant_index & 3];
    which[c] = -1;
    for (int32_t n = 0; n < *table_count && which[c] < 0; ++n) {
      if (memcmp(tables[n], table, sizeof tables[n]) == 0) which[c] = n;
    }
    if (which[c] < 0) {
      memcpy(tables[*table_count], table, sizeof tables[0]);
      which[c] = (*table_count)++;
    }
  }
}

JpegStatus transform_body(JpegJob* s, int32_t read_type, JpegJob* d, int32_t write_type,
                          JpegTransform* request, TransformWork& w) {
  d->status_detail[0] = '\0';
  JpegStatus status = check_request(d, read_type, write_type, request);
  if (status != JpegSuccess) return status;
  JpegTransform t = *request;
  JPEG_PROPERTIES& sp = s->properties;
  JPEG_PROPERTIES& dp = d->properties;
  w.source_comment = sp.jpeg_comment;
  w.source_comment_size = sp.jpeg_comment_size;
  w.destination_comment = dp.jpeg_comment;
  w.destination_comment_size = dp.jpeg_comment_size;
  w.destination_density[0] = dp.density_units;
  w.destination_density[1] = dp.x_density;
  w.destination_density[2] = dp.y_density;
  w.lent = 1;

  // The parameters, with the comment before the frame.
  w.comment = static_cast<uint8_t*>(codec_malloc(kCommentRoom));
  if (w.comment == nullptr) return JpegMemoryError;
  sp.jpeg_comment = w.comment;
  sp.jpeg_comment_size = kCommentRoom;
  const int32_t params_type = read_type == IoReadImageFile ? IoReadParamsFile : IoReadParamsBuffer;
  status = jpeg_read(s, params_type);
  if (status < 0) {
    return refuse(d, status, "the source's parameters cannot be read: %s",
                  s->status_detail[0] != '\0' ? s->status_detail : jpeg_status_text(status));
  }
  // A comment is at most 65533 bytes: a size still at the room given says
  // there was none.
  const int32_t comment_size = sp.jpeg_comment == w.comment && sp.jpeg_comment_size < kCommentRoom
                                   ? sp.jpeg_comment_size
                                   : 0;
  if (sp.frame.component_count < 1 || sp.frame.component_count > 4) {
    return refuse(d, JpegNotSupported, "a frame of %d components cannot be transformed",
                  sp.frame.component_count);
  }
  if (t.auto_orient) {
    JpegMetadata m{};
    status = jpeg_metadata(s, &m);
    if (status < 0) return status;
    t.kind = transform_for_orientation(m.orientation);
  }

  const CoefficientFrame source = source_frame(s);
  if (source.mcus_per_row != sp.mcus_per_row || source.mcu_rows != sp.mcu_rows) {
    return refuse(d, JpegInternalError, "the source's MCU grid is not the one planned");
  }
  TransformPlan plan{};
  char why[sizeof d->status_detail];
  status = plan_transform(source, s->jpeg_color, t, &plan, why, sizeof why);
  if (status != JpegSuccess) return refuse(d, status, "%s", why);

  // The source's coefficients (zero where the read does not reach): for a
  // crop only the blocks the result takes, read as a region (the rows
  // above passed over, those below never read) into planes of their own
  // size, so that the memory touched is the crop's, not the image's.
  const bool crop = t.crop_width != 0 || t.crop_height != 0 || t.crop_x != 0 || t.crop_y != 0;
  int32_t region[4] = {};
  if (crop) source_region(source, plan, region);
  SourceBlocks blocks{};
  blocks_of_region(source, crop ? region : nullptr, &blocks);
  // The planes and the result are held to the limit the coefficient store
  // of a progressive read is held to.
  int64_t values = 0;
  for (int32_t c = 0; c < source.count; ++c)
    values += int64_t{blocks.cols[c]} * blocks.rows[c] * 64;
  for (int32_t c = 0; c < plan.result.count; ++c) {
    values += int64_t{plan.result.blocks_across(c)} * plan.result.blocks_down(c) * 64;
  }
  const int32_t megabytes = sp.max_coef_megabytes > 0 ? sp.max_coef_megabytes : 1024;
  if (values * 2 > (int64_t{megabytes} << 20)) {
    return refuse(d, JpegMemoryError,
                  "the transform needs %lld MiB of coefficients, more than the source job's "
                  "max_coef_megabytes (%d)",
                  static_cast<long long>(values * 2 >> 20), megabytes);
  }
  JpegCoefOutput output{};
  for (int32_t c = 0; c < source.count; ++c) {
    const size_t values = size_t(blocks.cols[c]) * blocks.rows[c] * 64;
    w.source_planes[c] = static_cast<int16_t*>(codec_calloc(values, sizeof(int16_t)));
    if (w.source_planes[c] == nullptr) return JpegMemoryError;
    blocks.planes[c] = output.planes[c] = w.source_planes[c];
  }
  sp.coef_output = &output;
  CoefficientWindow window{};
  if (crop) {
    sp.roi_left = region[0];
    sp.roi_top = region[1];
    sp.roi_right = region[2];
    sp.roi_bottom = region[3];
    window.output = &output;
    for (int32_t c = 0; c < source.count; ++c) {
      window.first_col[c] = blocks.first_col[c];
      window.first_row[c] = blocks.first_row[c];
      window.cols[c] = blocks.cols[c];
      window.rows[c] = blocks.rows[c];
    }
    set_coefficient_window(&window);
  }
  const JpegStatus read_status = jpeg_read(s, read_type);
  set_coefficient_window(nullptr);
  sp.coef_output = nullptr;
  sp.roi_left = sp.roi_top = sp.roi_right = sp.roi_bottom = 0;
  if (read_status < 0 && !t.force) {
    return refuse(d, read_status, "the source is damaged (%s); nothing was written",
                  s->status_detail[0] != '\0' ? s->status_detail : jpeg_status_text(read_status));
  }

  // The result's coefficients, in the order the encoder codes them.
  const CoefficientFrame& r = plan.result;
  int64_t result_blocks = 0;
  for (int32_t c = 0; c < r.count; ++c)
    result_blocks += int64_t{r.blocks_across(c)} * r.blocks_down(c);
  w.result = static_cast<int16_t*>(codec_malloc(size_t(result_blocks) * 64 * sizeof(int16_t)));
  if (w.result == nullptr) return JpegMemoryError;
  transform_blocks(blocks, plan, w.result);
  JpegCoefImage image{};
  image.width = r.width;
  image.height = r.height;
  image.component_count = r.count;
  image.color = r.count == 1 ? ColorGray : s->jpeg_color;
  // Components named R, G and B with neither a JFIF nor an Adobe segment
  // are RGB to other decoders: the result says so with its Adobe segment.
  const FrameComponent* fc = sp.frame.components;
  if (r.count == 3 && !sp.jfif_seen && !sp.adobe_seen && fc[0].id == 'R' && fc[1].id == 'G' &&
      fc[2].id == 'B') {
    image.color = ColorRgb;
  }
  uint16_t tables[4][64];
  int32_t table_count = 0, which[4] = {};
  source_tables(sp, r.count, tables, &table_count, which);
  if (plan.transpose) {
    // Frequency (u, v) of the result is the source's (v, u), and so is the
    // step it was quantized with.
    for (int32_t n = 0; n < table_count; ++n) {
      for (int32_t v = 0; v < 8; ++v) {
        for (int32_t u = 0; u < v; ++u) {
          const uint16_t held = tables[n][8 * v + u];
          tables[n][8 * v + u] = tables[n][8 * u + v];
          tables[n][8 * u + v] = held;
        }
      }
    }
  }
  for (int32_t n = 0; n < table_count; ++n) image.quant_tables[n] = tables[n];
  for (int32_t c = 0; c < r.count; ++c) {
    JpegCoefComponent& k = image.components[c];
    k.id = sp.frame.components[c].id;
    k.h = r.h[c];
    k.v = r.v[c];
    k.quant_table = which[c];
    k.plane = w.result;  // not read: the blocks are given in the encoder's order
  }

  // What the result carries: the comment, and EXIF, ICC and XMP for all.
  JpegWriteMetadata carried{};
  if (t.copy == CopyAll) {
    JpegMetadata m{};
    status = jpeg_metadata(s, &m);
    if (status < 0) return status;
    if (m.exif != nullptr) {
      w.exif = static_cast<uint8_t*>(codec_malloc(size_t(m.exif_size)));
      if (w.exif == nullptr) return JpegMemoryError;
      memcpy(w.exif, m.exif, size_t(m.exif_size));
      if (t.auto_orient) set_exif_orientation(w.exif, m.exif_size, 1);
      set_exif_dimensions(w.exif, m.exif_size, r.width, r.height);
      carried.exif = w.exif;
      carried.exif_size = m.exif_size;
    }
    carried.icc = m.icc;
    carried.icc_size = m.icc_size;
    carried.xmp = m.xmp;
    carried.xmp_size = m.xmp_size;
  }
  status = jpeg_set_metadata(d, t.copy == CopyAll ? &carried : nullptr);
  if (status < 0) return status;
  dp.jpeg_comment = t.copy != CopyNone && comment_size > 0 ? w.comment : nullptr;
  dp.jpeg_comment_size = static_cast<uint16_t>(dp.jpeg_comment != nullptr ? comment_size : 0);
  if (sp.jfif_seen) {
    dp.density_units = sp.density_units;
    dp.x_density = sp.x_density;
    dp.y_density = sp.y_density;
  }
  const int32_t interval_before = d->write_restart_interval;
  if (t.restart_rows > 0) {
    const int64_t interval = int64_t{r.mcus_per_row} * t.restart_rows;
    if (interval > 65535) {
      return refuse(d, JpegInvalidProperties,
                    "%d rows of %d MCUs between restart markers are more than 65535 MCUs",
                    t.restart_rows, r.mcus_per_row);
    }
    d->write_restart_interval = static_cast<int32_t>(interval);
  }
  status = write_coefficients(d, write_type, &image, w.result);
  d->write_restart_interval = interval_before;
  if (status < 0) return status;
  request->written = 1;
  if (read_status < 0) {
    return refuse(d, read_status, "the source is damaged (%s); what was read is written",
                  s->status_detail[0] != '\0' ? s->status_detail : jpeg_status_text(read_status));
  }
  return JpegSuccess;
}

}  // namespace

}  // namespace jpegcodec

using namespace jpegcodec;

extern "C" JpegStatus jpeg_transform(JpegJob* source, int32_t read_type, JpegJob* destination,
                                     int32_t write_type, JpegTransform* transform) {
  if (source == nullptr || destination == nullptr) return JpegInvalidProperties;
  TransformWork work{};
  work.source = source;
  work.destination = destination;
  return guarded(
      [&]() -> JpegStatus {
        if (!job_ready(source) || !job_ready(destination)) return JpegInvalidProperties;
        if (source == destination) {
          return refuse(destination, JpegInvalidProperties,
                        "the source and the destination must be two jobs");
        }
        if (transform != nullptr) transform->written = 0;
        const JpegStatus status =
            transform_body(source, read_type, destination, write_type, transform, work);
        give_back(work);
        return status;
      },
      [&] { give_back(work); });
}
