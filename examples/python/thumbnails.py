"""Makes a thumbnail of every JPEG in a folder: read at 1/8 size, turned as
its EXIF orientation says, written as JPEG at quality 85 with the photo's
ICC profile (examples/python/dask_thumbnails.py does the same on a cluster).

    python3 thumbnails.py IN_DIR OUT_DIR
"""

import os
import sys

import jpegcodec


def main():
    source, target = sys.argv[1], sys.argv[2]
    os.makedirs(target, exist_ok=True)
    made = failed = 0
    for name in sorted(os.listdir(source)):
        if not name.lower().endswith((".jpg", ".jpeg")):
            continue
        path = os.path.join(source, name)
        try:
            pixels = jpegcodec.read(path, scale=8, orient=True)
        except jpegcodec.JpegError as error:
            if error.partial is None:  # nothing decoded: say so and go on
                print("%s: %s" % (name, error), file=sys.stderr)
                failed += 1
                continue
            pixels = error.partial  # damaged: what was decoded, grey for the rest
        mode = "CMYK" if pixels.ndim == 3 and pixels.shape[2] == 4 else None
        profile = jpegcodec.metadata(path).icc
        jpegcodec.write(pixels, quality=85, mode=mode, icc_profile=profile, path=os.path.join(target, name))
        made += 1
    print("%d thumbnails, %d files that could not be read" % (made, failed))


if __name__ == "__main__":
    main()
