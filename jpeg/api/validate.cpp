// Validation of a read or write request, before anything is opened.

#include "jpeg/api/validate.h"
#include "jpeg/decode/image_output.h"
#include "jpeg/stream/io_types.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

namespace jpegcodec {

namespace {

// Types that need the caller's image: everything but the parameter and table
// reads and the tables-only writes.
bool needs_caller_image(int32_t type) {
  switch (type) {
    case IoReadParamsFile:
    case IoReadParamsBuffer:
    case IoReadTablesFile:
    case IoReadTablesBuffer:
    case IoWriteTablesFile:
    case IoWriteTablesBuffer:
      return false;
    default:
      return true;
  }
}

}  // namespace

namespace {

bool encode_combination_allowed(int32_t out_color, int32_t out_channels, int32_t jpeg_color,
                                int32_t jpeg_channels) {
  const bool gray1 = jpeg_color == ColorGray && jpeg_channels == 1;
  const bool rgb3 = jpeg_color == ColorRgb && jpeg_channels == 3;
  const bool ycc3 = jpeg_color == ColorYcbcr && jpeg_channels == 3;
  switch (out_color) {
    case ColorGray:
      return out_channels == 1 && (gray1 || ycc3);
    case ColorRgb:
      if (out_channels == 4) return ycc3;
      return out_channels == 3 && (gray1 || rgb3 || ycc3);
    case ColorBgr:
      return out_channels == 3 && (gray1 || rgb3 || ycc3);
    case ColorFourChannel:
      return out_channels == 4 && jpeg_channels == 4 &&
             (jpeg_color == ColorFourChannel || jpeg_color == ColorYcck);
    case ColorYcbcr:
      return out_channels == 3 && ycc3;
    case ColorOther:
      return out_channels >= jpeg_channels && jpeg_color == ColorOther;
    default:
      return false;
  }
}

bool subsampling_fits_channels(int32_t subsampling, int32_t channels) {
  switch (channels) {
    case 3:
      return subsampling >= Sub444 && subsampling <= Sub422;
    case 4:
      return subsampling == Sub444 || subsampling == Sub420Alpha || subsampling == Sub422Alpha;
    default:
      return subsampling == Sub444;
  }
}

}  // namespace

JpegStatus refuse(JpegJob* job, JpegStatus status, const char* format, ...) {
  va_list values;
  va_start(values, format);
  vsnprintf(job->status_detail, sizeof job->status_detail, format, values);
  va_end(values);
  return status;
}

namespace {

JpegStatus check_decoder_options(JpegJob* job) {
  const JPEG_PROPERTIES& p = job->properties;
  if (p.dct_family != 0 && p.dct_family != 1) {
    return refuse(job, JpegInvalidProperties, "properties.dct_family must be 0 or 1, is %d",
                  p.dct_family);
  }
  if (p.smooth_upsampling != 0 && p.coef_output != nullptr) {
    return refuse(job, JpegInvalidProperties,
                  "properties.smooth_upsampling and coef_output cannot be set together");
  }
  return JpegSuccess;
}

}  // namespace

JpegStatus validate_request(JpegJob* job, int32_t type) {
  if (job->use_properties) return JpegSuccess;
  const JPEG_PROPERTIES& p = job->properties;
  // Each refusal names the field it checked.

  if (type < IoReadParamsFile || type > IoReadThumbnailBuffer) {
    return refuse(job, JpegInvalidProperties, "the I/O type must be 0 to 21, is %d", type);
  }
  const bool encoding = is_encoder_type(type);

  if (needs_caller_image(type) && p.coef_output == nullptr) {
    if (job->out_pixels == nullptr) return refuse(job, JpegInvalidProperties, "out_pixels is null");
    if (job->out_width < 1 || job->out_width > 65535) {
      return refuse(job, JpegInvalidProperties, "out_width must be 1 to 65535, is %d",
                    job->out_width);
    }
    if (job->out_height < -65535 || job->out_height > 65535) {
      return refuse(job, JpegInvalidProperties, "out_height must be -65535 to 65535, is %d",
                    job->out_height);
    }
    if ((type == IoReadThumbnailFile || type == IoReadThumbnailBuffer) &&
        job->out_color != ColorRgb && job->out_color != ColorBgr) {
      return refuse(job, JpegThumbnailWrongColor,
                    "a thumbnail is read as RGB or BGR, out_color is %d", job->out_color);
    }
    if (job->out_pad < 0) {
      return refuse(job, JpegInvalidProperties, "out_pad must not be negative, is %d",
                    job->out_pad);
    }
    if (job->out_channels < 1 || job->out_channels > 255) {
      return refuse(job, JpegInvalidProperties, "out_channels must be 1 to 255, is %d",
                    job->out_channels);
    }
    // A row's bytes must be a 32-bit count.
    const int64_t row = int64_t{job->out_width} * job->out_channels + job->out_pad;
    if (row > INT32_MAX) {
      return refuse(job, JpegInvalidProperties, "a row of %lld bytes is longer than 2^31 - 1",
                    static_cast<long long>(row));
    }
    if (job->out_subsampling != Sub444 &&
        !(job->out_subsampling == Sub422 && job->out_color == ColorYcbcr)) {
      return refuse(job, JpegUnsupportedSubsampling,
                    "out_subsampling must be 0, or 2 with out_color YCbCr (3), is %d",
                    job->out_subsampling);
    }
  }

  if (is_file_type(type)) {
    if (job->file_name == nullptr) {
      return refuse(job, JpegInvalidProperties, "file_name is null (the I/O type %d is a file's)",
                    type);
    }
  } else if (job->jpeg_buffer == nullptr || job->jpeg_buffer_size <= 0) {
    return refuse(job, JpegInvalidProperties,
                  "jpeg_buffer must not be null and jpeg_buffer_size above 0 (the I/O type %d "
                  "is a buffer's), jpeg_buffer_size is %d",
                  type, job->jpeg_buffer_size);
  }

  if (job->jpeg_channels < 1 || job->jpeg_channels > 256) {
    return refuse(job, JpegInvalidProperties, "jpeg_channels must be 1 to 256, is %d",
                  job->jpeg_channels);
  }

  if (encoding && needs_caller_image(type)) {
    if (job->jpeg_width < 1 || job->jpeg_width > 65535 || job->jpeg_height < 1 ||
        job->jpeg_height > 65535) {
      return refuse(job, JpegInvalidProperties,
                    "jpeg_width and jpeg_height must be 1 to 65535, are %d and %d", job->jpeg_width,
                    job->jpeg_height);
    }
    if (job->out_channels < job->jpeg_channels && job->out_color != ColorGray &&
        job->jpeg_color != ColorYcbcr) {
      return refuse(job, JpegInvalidProperties,
                    "out_channels (%d) must be at least jpeg_channels (%d) for this colour",
                    job->out_channels, job->jpeg_channels);
    }
  }
  if (encoding && !subsampling_fits_channels(job->jpeg_subsampling, job->jpeg_channels)) {
    return refuse(job, JpegUnsupportedSubsampling,
                  "jpeg_subsampling %d does not fit %d components (1: 0; 3: 0, 1 or 2; 4: 0, 3 "
                  "or 4)",
                  job->jpeg_subsampling, job->jpeg_channels);
  }

  // A decode's colours are checked against what the caller says of the
  // data: not for a header read (the data say it), nor when jpeg_color and
  // jpeg_channels are still what the last read reported (the frame decides
  // once it is read, as it does on a new job).
  const bool reported =
      job->jpeg_color == p.reported_jpeg_color && job->jpeg_channels == p.reported_jpeg_channels;
  if (!encoding && (is_header_only_type(type) || reported)) return check_decoder_options(job);
  const bool allowed = encoding ? encode_combination_allowed(job->out_color, job->out_channels,
                                                             job->jpeg_color, job->jpeg_channels)
                                : decode_combination_allowed(job->jpeg_color, job->jpeg_channels,
                                                             job->out_color, job->out_channels);
  if (!allowed) {
    return encoding
               ? refuse(job, JpegInvalidProperties,
                        "no conversion from out_color %d with %d channels to jpeg_color %d "
                        "with %d",
                        job->out_color, job->out_channels, job->jpeg_color, job->jpeg_channels)
               : refuse(job, JpegInvalidProperties,
                        "no conversion from jpeg_color %d with %d channels to out_color %d "
                        "with %d",
                        job->jpeg_color, job->jpeg_channels, job->out_color, job->out_channels);
  }

  return check_decoder_options(job);
}

// Words for a refusal the output set-up made once the frame was known
// (validation had no frame to judge by).
void explain_frame_refusal(JpegJob* job, JpegStatus status) {
  if (job->status_detail[0] != '\0') return;
  const JPEG_PROPERTIES* p = &job->properties;
  const FrameHeader& f = p->frame;
  if (status == JpegCompError) {
    for (int i = 0; i < f.component_count && i < 4; ++i) {
      const FrameComponent& c = f.components[i];
      if (c.h > 0 && c.v > 0 && (f.max_h % c.h != 0 || f.max_v % c.v != 0)) {
        refuse(job, status,
               "component %d is sampled %dx%d, which does not divide the largest sampling, %dx%d",
               i + 1, c.h, c.v, f.max_h, f.max_v);
        return;
      }
    }
    return;
  }
  if (status != JpegInvalidProperties || p->coef_output != nullptr) return;
  if (!decode_combination_allowed(p->jpeg_color, f.component_count, p->out_color,
                                  p->out_channels)) {
    refuse(job, status,
           "the data are jpeg_color %d with %d components, which give no out_color %d with %d "
           "channels",
           p->jpeg_color, f.component_count, p->out_color, p->out_channels);
  } else if (p->out_color == ColorYcbcr) {
    refuse(job, status,
           "YCbCr output is packed Y,Cb,Y,Cr of 4:2:2 data; these data are sampled %dx%d, %dx%d, "
           "%dx%d",
           f.components[0].h, f.components[0].v, f.components[1].h, f.components[1].v,
           f.components[2].h, f.components[2].v);
  }
}

}  // namespace jpegcodec
