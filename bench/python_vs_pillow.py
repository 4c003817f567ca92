"""The Python module beside Pillow (libjpeg-turbo inside) on one photo:
read, read at 1/8, write, each alternated with Pillow's, best of N in CPU
time of the thread; ratio = Pillow / ours (above 1: ours faster). Then the
peak memory of writing an image of PIXELS pixels (default 100 million), each
library in a process of its own, beside the image and the file it makes.

    PYTHONPATH=tools/python JPEGCODEC_LIBRARY=build/lib/libjpegcodec.so.2 \\
        python3 bench/python_vs_pillow.py PHOTO.jpg [ROUNDS] [PIXELS]

Pillow (python3-pil) is needed for the comparison; without it the script
says so and ends.
"""

import io
import subprocess
import sys
import time

import numpy

import jpegcodec

try:
    from PIL import Image
except ImportError:
    Image = None


def best_of(rounds, *tasks):
    """Each task's best CPU time of the thread, the tasks alternated."""
    best = [float("inf")] * len(tasks)
    for _ in range(rounds):
        for i, task in enumerate(tasks):
            start = time.thread_time()
            task()
            best[i] = min(best[i], time.thread_time() - start)
    return best


def peak_memory(library, pixels):
    """A process that makes an image of about `pixels` pixels and writes it
    with `library`: the image's bytes, the file's, and the process's peak
    resident memory above what it held before making the image."""
    program = r"""
import io, sys, numpy
if sys.argv[1] == "ours":
    import jpegcodec
else:
    from PIL import Image
def status(field):
    # This process's own figures (ru_maxrss would count the parent's at fork).
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
base = status("VmHWM")
side = int((%d / 1.5) ** 0.5)
width, height = int(side * 1.5), side
row = (numpy.arange(width * 3, dtype=numpy.uint32) * 7 %% 251).astype(numpy.uint8)
image = numpy.empty((height, width, 3), numpy.uint8)
for y in range(0, height, 256):
    image[y:y + 256] = numpy.roll(row, y).reshape(width, 3)[None]
if sys.argv[1] == "ours":
    size = len(jpegcodec.write(image, quality=75))
else:
    out = io.BytesIO()
    Image.fromarray(image).save(out, "JPEG", quality=75)
    size = out.tell()
print(width * height * 3, size, base, status("VmHWM"))
""" % pixels
    done = subprocess.run([sys.executable, "-c", program, library], capture_output=True, text=True,
                          check=True)
    image, size, base, peak = map(int, done.stdout.split())
    return image, size, (peak - base) * 1024


def main():
    if Image is None:
        sys.exit("python_vs_pillow: Pillow is not installed (apt-get install python3-pil)")
    path = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    pixels = int(float(sys.argv[3])) if len(sys.argv) > 3 else 100_000_000
    with open(path, "rb") as f:
        data = f.read()
    array = jpegcodec.read(data)
    print("%s: %dx%d" % (path, array.shape[1], array.shape[0]))

    def pillow_read(scale=1):
        image = Image.open(io.BytesIO(data))
        if scale > 1:
            image.draft("RGB", (image.width // scale, image.height // scale))
        return numpy.asarray(image.convert("RGB"))

    def pillow_write():
        out = io.BytesIO()
        Image.fromarray(array).save(out, "JPEG", quality=75)
        return out.getvalue()

    rows = [
        ("read", lambda: jpegcodec.read(data), pillow_read),
        ("read 1/8", lambda: jpegcodec.read(data, scale=8), lambda: pillow_read(8)),
        ("write q75 4:2:0", lambda: jpegcodec.write(array, quality=75), pillow_write),
    ]
    print("| operation | ours ms | Pillow ms | ratio |")
    print("|---|---|---|---|")
    for name, ours, theirs in rows:
        a, b = best_of(rounds, ours, theirs)
        print("| %s | %.1f | %.1f | %.2f |" % (name, 1000 * a, 1000 * b, b / a))
    print("write sizes: ours %d bytes, Pillow %d bytes" % (len(jpegcodec.write(array, quality=75)),
                                                          len(pillow_write())))
    for library in ("ours", "Pillow"):
        image, size, peak = peak_memory(library, pixels)
        print("writing %.0f MP, %s: peak %.2f GB above the interpreter's; the image %.2f GB, the file %.2f GB"
              % (image / 3e6, library, peak / 1e9, image / 1e9, size / 1e9))


if __name__ == "__main__":
    main()
