/* Two reads a viewer makes of a large photo, on one job: the whole picture
 * at 1/8 size (a thumbnail: the decoder reconstructs each block from its
 * DC value), then a 256x256 region at full size from its middle (the
 * decoder passes over the rest).
 *
 *     region_and_eighth photo.jpg */
#include <jpegcodec.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int read_into(JpegJob* job, int32_t type, int32_t width, int32_t height,
                     unsigned char** pixels) {
  *pixels = malloc((size_t)width * height * 3);
  if (*pixels == NULL) return JpegMemoryError;
  job->out_pixels = *pixels;
  job->out_width = width;
  job->out_height = height;
  job->out_channels = 3;
  job->out_color = ColorRgb;
  return jpeg_read(job, type);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: region_and_eighth FILE.jpg\n");
    return 2;
  }
  JpegJob job;
  memset(&job, 0, sizeof job);
  if (jpeg_init(&job) != JpegSuccess) return 1;
  job.file_name = argv[1];
  JpegStatus status = jpeg_read(&job, IoReadParamsFile);
  unsigned char *thumbnail = NULL, *region = NULL;
  if (status == JpegSuccess) {
    /* 1/8: each side rounded up, as (size + 7) / 8. */
    const int32_t tw = (job.jpeg_width + 7) / 8, th = (job.jpeg_height + 7) / 8;
    status = read_into(&job, IoReadEighthFile, tw, th, &thumbnail);
    if (status == JpegSuccess) printf("thumbnail %dx%d\n", tw, th);
  }
  if (status == JpegSuccess) {
    /* A region: left, top, right, bottom (exclusive), in image pixels;
     * the buffer holds the region alone. */
    const int32_t side = 256;
    int32_t left = job.jpeg_width / 2 - side / 2, top = job.jpeg_height / 2 - side / 2;
    if (left < 0) left = 0;
    if (top < 0) top = 0;
    const int32_t right = left + side < job.jpeg_width ? left + side : job.jpeg_width;
    const int32_t bottom = top + side < job.jpeg_height ? top + side : job.jpeg_height;
    job.properties.roi_left = left;
    job.properties.roi_top = top;
    job.properties.roi_right = right;
    job.properties.roi_bottom = bottom;
    status = read_into(&job, IoReadImageFile, right - left, bottom - top, &region);
    /* A region read says 2, "ROI Success", when the region is written. */
    if (status == JpegRoiSuccess) {
      printf("region %d,%d to %d,%d, first pixel %d %d %d\n", left, top, right, bottom, region[0],
             region[1], region[2]);
      status = JpegSuccess;
    }
  }
  if (status != JpegSuccess) {
    fprintf(stderr, "%s: %s (%d)\n", argv[1], jpeg_status_text(status), status);
  }
  free(thumbnail);
  free(region);
  jpeg_free(&job);
  return status == JpegSuccess ? 0 : 1;
}
