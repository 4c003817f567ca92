// Validation of a read or write request, before anything is opened.

#include "jpeg/api/validate.h"

#include <stdint.h>

namespace {

bool is_file_type(int32_t type) {
  return type % 2 == 0;
}
bool is_encoder_type(int32_t type) {
  return type >= IoWriteImageFile && type <= IoWriteDataBuffer;
}

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

bool decode_combination_allowed(int32_t jpeg_color, int32_t jpeg_channels, int32_t out_color,
                                int32_t out_channels) {
  const bool rgb3 = (out_color == ColorRgb || out_color == ColorBgr) && out_channels == 3;
  const bool four = out_color == ColorFourChannel && out_channels == 4;
  switch (jpeg_color) {
    case ColorGray:
      return jpeg_channels == 1 && ((out_color == ColorGray && out_channels == 1) || rgb3 || four);
    case ColorRgb:
      return jpeg_channels == 3 && (rgb3 || four);
    case ColorYcbcr:
      return jpeg_channels == 3 && ((out_color == ColorGray && out_channels == 1) || rgb3 || four ||
                                    out_color == ColorYcbcr);
    case ColorFourChannel:
    case ColorYcck:
      return jpeg_channels == 4 && four;
    case ColorOther:
      return out_color == ColorOther;
    default:
      return false;
  }
}

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

JpegStatus validate_request(const JpegJob* job, int32_t type) {
  if (job->use_properties) return JpegSuccess;
  const JPEG_PROPERTIES& p = job->properties;

  if (type < IoReadParamsFile || type > IoReadThumbnailBuffer) return JpegInvalidProperties;
  const bool encoding = is_encoder_type(type);

  if (needs_caller_image(type) && p.coef_output == nullptr) {
    if (job->out_pixels == nullptr) return JpegInvalidProperties;
    if (job->out_width < 1 || job->out_width > 65535) return JpegInvalidProperties;
    if (job->out_height < -65535 || job->out_height > 65535) return JpegInvalidProperties;
    if ((type == IoReadThumbnailFile || type == IoReadThumbnailBuffer) &&
        job->out_color != ColorRgb && job->out_color != ColorBgr) {
      return JpegThumbnailWrongColor;
    }
    if (job->out_pad < 0) return JpegInvalidProperties;
    if (job->out_channels < 1 || job->out_channels > 255) return JpegInvalidProperties;
    // A row's bytes must be a 32-bit count.
    const int64_t row = int64_t{job->out_width} * job->out_channels + job->out_pad;
    if (row > INT32_MAX) return JpegInvalidProperties;
    if (job->out_subsampling != Sub444 &&
        !(job->out_subsampling == Sub422 && job->out_color == ColorYcbcr)) {
      return JpegUnsupportedSubsampling;
    }
  }

  if (is_file_type(type)) {
    if (job->file_name == nullptr) return JpegInvalidProperties;
  } else if (job->jpeg_buffer == nullptr || job->jpeg_buffer_size <= 0) {
    return JpegInvalidProperties;
  }

  if (job->jpeg_channels < 1 || job->jpeg_channels > 256) return JpegInvalidProperties;

  if (encoding && needs_caller_image(type)) {
    if (job->jpeg_width < 1 || job->jpeg_width > 65535 || job->jpeg_height < 1 ||
        job->jpeg_height > 65535) {
      return JpegInvalidProperties;
    }
    if (job->out_channels < job->jpeg_channels && job->out_color != ColorGray &&
        job->jpeg_color != ColorYcbcr) {
      return JpegInvalidProperties;
    }
  }
  if (encoding && !subsampling_fits_channels(job->jpeg_subsampling, job->jpeg_channels)) {
    return JpegUnsupportedSubsampling;
  }

  const bool allowed = encoding ? encode_combination_allowed(job->out_color, job->out_channels,
                                                             job->jpeg_color, job->jpeg_channels)
                                : decode_combination_allowed(job->jpeg_color, job->jpeg_channels,
                                                             job->out_color, job->out_channels);
  if (!allowed) return JpegInvalidProperties;

  if (p.dct_family != 0 && p.dct_family != 1) return JpegInvalidProperties;
  if (p.smooth_upsampling != 0 && p.coef_output != nullptr) return JpegInvalidProperties;
  return JpegSuccess;
}
