// What each IoType is: the one place the entry operations, the validation
// and the parser ask it.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// Even types name a file (file_name), odd ones a buffer (jpeg_buffer).
inline bool is_file_type(int32_t type) {
  return type % 2 == 0;
}

inline bool is_encoder_type(int32_t type) {
  return type >= IoWriteImageFile && type <= IoWriteDataBuffer;
}

// Reads that decode pixels of the image: whole, abbreviated, reduced.
inline bool is_image_read(int32_t type) {
  return type == IoReadImageFile || type == IoReadImageBuffer || type == IoReadAbbreviatedFile ||
         type == IoReadAbbreviatedBuffer || (type >= IoReadHalfFile && type <= IoReadEighthBuffer);
}

// Reads that stop before the first scan: parameters, tables, thumbnail.
inline bool is_header_only_type(int32_t type) {
  return type == IoReadParamsFile || type == IoReadParamsBuffer || type == IoReadTablesFile ||
         type == IoReadTablesBuffer || type == IoReadThumbnailFile || type == IoReadThumbnailBuffer;
}

}  // namespace jpegcodec
