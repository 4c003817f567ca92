/* Writes a picture of its own (a colour gradient) as a JPEG file at
 * quality 90, optimised and progressive, and prints the file's size.
 *
 *     write_jpeg out.jpg */
#include <jpegcodec.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: write_jpeg OUT.jpg\n");
    return 2;
  }
  enum { kWidth = 640, kHeight = 480 };
  unsigned char* rgb = malloc((size_t)kWidth * kHeight * 3);
  if (rgb == NULL) return 1;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      unsigned char* px = rgb + ((size_t)y * kWidth + x) * 3;
      px[0] = (unsigned char)(x * 255 / kWidth);
      px[1] = (unsigned char)(y * 255 / kHeight);
      px[2] = 128;
    }
  }
  JpegJob job;
  memset(&job, 0, sizeof job);
  if (jpeg_init(&job) != JpegSuccess) return 1;
  /* The caller's image... */
  job.out_pixels = rgb;
  job.out_width = kWidth;
  job.out_height = kHeight;
  job.out_channels = 3;
  job.out_color = ColorRgb;
  /* ...and the JPEG made of it. */
  job.jpeg_width = kWidth;
  job.jpeg_height = kHeight;
  job.jpeg_channels = 3;
  job.jpeg_color = ColorYcbcr;
  job.jpeg_subsampling = Sub420;
  job.quality = 90;
  job.write_optimize = 1;
  job.write_progressive = 1;
  job.file_name = argv[1];
  const JpegStatus status = jpeg_write(&job, IoWriteImageFile);
  if (status != JpegSuccess) {
    fprintf(stderr, "%s: %s (%d) %s\n", argv[1], jpeg_status_text(status), status,
            jpeg_status_detail(&job));
  } else {
    FILE* f = fopen(argv[1], "rb");
    long size = -1;
    if (f != NULL && fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (f != NULL) fclose(f);
    printf("wrote %s: %dx%d, %ld bytes\n", argv[1], kWidth, kHeight, size);
  }
  jpeg_free(&job);
  free(rgb);
  return status == JpegSuccess ? 0 : 1;
}
