// stb_image's JPEG decoder, the other peer jpegbench measures against. Its
// own code is compiled here with its own warnings left alone.

#include "tools/jpegbench/stb_decode.h"

#include <time.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#include <stb_image.h>

double stb_decode_seconds(const uint8_t* data, size_t size, int channels) {
  timespec start{}, end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  int width = 0, height = 0, found = 0;
  stbi_uc* pixels =
      stbi_load_from_memory(data, static_cast<int>(size), &width, &height, &found, channels);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  if (pixels == nullptr) return -1;
  stbi_image_free(pixels);
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         1e-9 * static_cast<double>(end.tv_nsec - start.tv_nsec);
}
