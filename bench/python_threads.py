"""Shows that the Python module's calls into the codec release the GIL: the
same decodes run by two threads at once and by one thread after the other,
alternated, best of N wall-clock times; the ratio is sequential / threaded
(near 2 on two free cores when the GIL is released, near 1 when it is held).

    PYTHONPATH=tools/python JPEGCODEC_LIBRARY=build/lib/libjpegcodec.so \\
        python3 bench/python_threads.py FILE.jpg [DECODES] [ROUNDS]
"""

import sys
import threading
import time

import jpegcodec


def decode_many(data, count):
    for _ in range(count):
        jpegcodec.read(data)


def main():
    path = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    with open(path, "rb") as f:
        data = f.read()
    decode_many(data, 2)  # loads the library, warms the caches
    best_sequential = best_threaded = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        decode_many(data, 2 * count)
        best_sequential = min(best_sequential, time.perf_counter() - start)
        threads = [threading.Thread(target=decode_many, args=(data, count)) for _ in range(2)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        best_threaded = min(best_threaded, time.perf_counter() - start)
    print("%d decodes of %s: one thread %.3f s, two threads %.3f s, ratio %.2f"
          % (2 * count, path, best_sequential, best_threaded, best_sequential / best_threaded))


if __name__ == "__main__":
    main()
