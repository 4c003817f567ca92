/* Writes a photograph upright without decoding it to pixels: the turn its
 * EXIF orientation asks for, done on the coefficients (nothing is lost),
 * with its EXIF (orientation now 1), ICC profile and XMP kept. Then prints
 * the new file's size and orientation.
 *
 *     upright photo.jpg upright.jpg */
#include <jpegcodec.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: upright IN.jpg OUT.jpg\n");
    return 2;
  }
  JpegJob source, destination;
  memset(&source, 0, sizeof source);
  memset(&destination, 0, sizeof destination);
  if (jpeg_init(&source) != JpegSuccess || jpeg_init(&destination) != JpegSuccess) return 1;
  source.file_name = argv[1];
  destination.file_name = argv[2];
  destination.write_optimize = 1; /* Huffman tables made for the result */
  JpegTransform transform;
  memset(&transform, 0, sizeof transform);
  transform.auto_orient = 1;
  transform.copy = CopyAll;
  JpegStatus status =
      jpeg_transform(&source, IoReadImageFile, &destination, IoWriteImageFile, &transform);
  if (status != JpegSuccess) {
    fprintf(stderr, "%s: %s: %s\n", argv[1], jpeg_status_text(status),
            jpeg_status_detail(&destination));
  } else {
    /* The result, read back. */
    JpegJob check;
    JpegMetadata m;
    memset(&check, 0, sizeof check);
    jpeg_init(&check);
    check.file_name = argv[2];
    status = jpeg_read(&check, IoReadParamsFile);
    if (status == JpegSuccess) status = jpeg_metadata(&check, &m);
    if (status == JpegSuccess) {
      printf("%dx%d orientation %d\n", check.jpeg_width, check.jpeg_height, m.orientation);
    }
    jpeg_free(&check);
  }
  jpeg_free(&source);
  jpeg_free(&destination);
  return status == JpegSuccess ? 0 : 1;
}
