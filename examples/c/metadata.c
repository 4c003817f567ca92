/* Prints what a photograph carries beside its image: the EXIF orientation
 * (which way a viewer turns it), and the sizes of its ICC colour profile,
 * EXIF block and XMP packet.
 *
 *     metadata photo.jpg */
#include <jpegcodec.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: metadata FILE.jpg\n");
    return 2;
  }
  JpegJob job;
  memset(&job, 0, sizeof job);
  if (jpeg_init(&job) != JpegSuccess) return 1;
  job.file_name = argv[1];
  JpegStatus status = jpeg_read(&job, IoReadParamsFile);
  JpegMetadata m;
  if (status == JpegSuccess) status = jpeg_metadata(&job, &m);
  if (status == JpegSuccess) {
    /* The bytes are the codec's until the job's next read or jpeg_free:
     * copy what must outlive them. */
    printf("orientation %d\n", m.orientation);
    printf("icc_profile %d bytes\n", m.icc != NULL ? m.icc_size : 0);
    printf("exif %d bytes\n", m.exif != NULL ? m.exif_size : 0);
    printf("xmp %d bytes\n", m.xmp != NULL ? m.xmp_size : 0);
  } else {
    fprintf(stderr, "%s: %s (%d)\n", argv[1], jpeg_status_text(status), status);
  }
  jpeg_free(&job);
  return status == JpegSuccess ? 0 : 1;
}
