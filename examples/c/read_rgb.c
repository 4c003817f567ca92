/* Reads a JPEG file into RGB pixels, turned as its EXIF orientation would
 * have a viewer show it is left to the caller (see metadata.c), and prints
 * its size and the average of each channel.
 *
 *     read_rgb photo.jpg */
#include <jpegcodec.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: read_rgb FILE.jpg\n");
    return 2;
  }
  JpegJob job;
  memset(&job, 0, sizeof job); /* cleared before jpeg_init */
  if (jpeg_init(&job) != JpegSuccess) return 1;
  job.file_name = argv[1];
  JpegStatus status = jpeg_read(&job, IoReadParamsFile); /* size and colour */
  unsigned char* pixels = NULL;
  if (status == JpegSuccess) {
    job.out_width = job.jpeg_width;
    job.out_height = job.jpeg_height;
    job.out_channels = 3;
    job.out_color = ColorRgb;
    pixels = malloc((size_t)job.out_width * job.out_height * 3);
    job.out_pixels = pixels;
    if (pixels != NULL) status = jpeg_read(&job, IoReadImageFile);
  }
  /* A damaged file (-11, -25) still gives its image, grey where data were
   * missing; any other failure gives none. */
  if (status != JpegSuccess) {
    fprintf(stderr, "%s: %s (%d) %s\n", argv[1], jpeg_status_text(status), status,
            jpeg_status_detail(&job));
  }
  if (pixels != NULL && (status == JpegSuccess || status == JpegEofError)) {
    double sum[3] = {0, 0, 0};
    const size_t count = (size_t)job.out_width * job.out_height;
    for (size_t i = 0; i < count; ++i) {
      for (int c = 0; c < 3; ++c) sum[c] += pixels[3 * i + c];
    }
    printf("%dx%d mean RGB %.1f %.1f %.1f\n", job.out_width, job.out_height, sum[0] / count,
           sum[1] / count, sum[2] / count);
  }
  free(pixels);
  jpeg_free(&job);
  return status == JpegSuccess ? 0 : 1;
}
