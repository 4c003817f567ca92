/* A program of a library user's: reads a JPEG file's size and its pixels
 * through the installed header and library, then writes them again. */
#include <jpegcodec.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Names a program may well have of its own, which the codec's static
 * library must leave to it: linking fails if the library defines any of
 * them outside its own namespace. */
const int natural_order[64] = {0};
const int extend_offset[16] = {0};
int configure(void) {
  return 0;
}
void release(void) {}
void* file_open(const char* name) {
  return (void*)name;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (configure() != 0 || file_open(NULL) != NULL || natural_order[1] + extend_offset[1] != 0)
    return 3;
  release();
  JpegJob job;
  memset(&job, 0, sizeof job);
  if (jpeg_init(&job) != JpegSuccess) return 1;
  job.file_name = argv[1];
  JpegStatus status = jpeg_read(&job, IoReadParamsFile);
  if (status != JpegSuccess) {
    printf("status %d: %s\n", status, jpeg_status_text(status));
    return 1;
  }
  const int width = job.jpeg_width, height = job.jpeg_height;
  unsigned char* pixels = malloc((size_t)width * height * 3);
  job.out_pixels = pixels;
  job.out_width = width;
  job.out_height = height;
  job.out_channels = 3;
  job.out_color = ColorRgb;
  status = jpeg_read(&job, IoReadImageFile);
  jpeg_free(&job);
  memset(&job, 0, sizeof job);
  jpeg_init(&job);
  job.out_pixels = pixels;
  job.out_width = job.jpeg_width = width;
  job.out_height = job.jpeg_height = height;
  job.out_channels = 3;
  job.out_color = ColorRgb;
  job.jpeg_channels = 3;
  job.jpeg_color = ColorYcbcr;
  job.jpeg_subsampling = Sub420;
  job.quality = 90;
  unsigned char* out = malloc((size_t)width * height * 3 + 65536);
  job.jpeg_buffer = out;
  job.jpeg_buffer_size = width * height * 3 + 65536;
  const JpegStatus written = status == JpegSuccess ? jpeg_write(&job, IoWriteImageBuffer) : status;
  printf("%dx%d read %d written %d (%d bytes) version %s\n", width, height, status, written,
         job.jpeg_buffer_size, jpeg_version()->version);
  jpeg_free(&job);
  free(out);
  free(pixels);
  return status == JpegSuccess && written == JpegSuccess ? 0 : 1;
}
