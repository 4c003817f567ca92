/* The public header compiles as C99, and a C program links the shared
 * library and gets the defaults. Prints "N passed, N failed". */
#include <stdio.h>
#include <string.h>

#include "jpegcodec.h"

static int passed, failed;

static void check(int ok, const char* what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    printf("FAIL - %s\n", what);
  }
}

int main(void) {
  JpegJob job;
  const JpegVersion* version = jpeg_version();
  memset(&job, 0, sizeof job);
  check(jpeg_init(&job) == JpegSuccess, "jpeg_init succeeds");
  check(job.out_channels == 3 && job.out_color == ColorBgr, "output defaults");
  check(job.jpeg_color == ColorYcbcr && job.jpeg_subsampling == Sub420, "JPEG defaults");
  check(job.quality == 75, "quality default");
  job.file_name = "/nonexistent.jpg";
  check(jpeg_read(&job, IoReadParamsFile) == JpegInvalidFileName, "missing file is -10");
  check(strcmp(jpeg_status_text(JpegInvalidFileName), "Invalid file name") == 0, "status text");
  check(jpeg_read(&job, IoReadImageFile) == JpegInvalidProperties, "no image buffer is -8");
  check(strcmp(jpeg_status_detail(&job), "out_pixels is null") == 0, "the detail names the check");
  check(version->major == 1 && version->minor == 51 && version->build == 12, "version");
  check(jpeg_free(&job) == JpegSuccess, "jpeg_free succeeds");
  printf("%d passed, %d failed\n", passed, failed);
  return failed != 0;
}
