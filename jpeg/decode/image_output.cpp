#include "jpeg/decode/image_output.h"

#include "jpeg/cpu/routine_table.h"

JpegStatus choose_mcu_output(JPEG_PROPERTIES* p) {
  // Image output is not part of this build yet: no routine stores pixels.
  p->routines->mcu_output = nullptr;
  return JpegSuccess;
}

void convert_whole_image(JPEG_PROPERTIES*) {
  // Image output is not part of this build yet: nothing was stored to convert.
}
