"""Makes a 1/8 thumbnail of every JPEG in a folder on a Dask cluster: each
task decodes one photo at 1/8 size, turns it as its EXIF orientation says,
and encodes it again with the photo's ICC profile.

    python3 dask_thumbnails.py IN_DIR OUT_DIR              # two local workers
    python3 dask_thumbnails.py IN_DIR OUT_DIR --workers 4
    python3 dask_thumbnails.py IN_DIR OUT_DIR --scheduler tcp://host:8786

Without --scheduler it starts a LocalCluster of worker processes; with it,
it runs the same tasks on that cluster's workers, which need jpegcodec
installed (pip install .) but not the folders: the files travel as bytes,
a few per worker at a time. A summary line ends the run: files, thumbnails,
failures with their status, time. Exit status 0, or 1 when a file failed.
"""

import argparse
import os
import sys
import time

import jpegcodec


def thumbnail(data):
    """One photo's thumbnail: (JPEG bytes or None, status, status text).
    A damaged photo gives the thumbnail of what could be decoded."""
    status, text = 0, ""
    try:
        pixels = jpegcodec.read(data, scale=8, orient=True)
    except jpegcodec.JpegError as error:
        status, text, pixels = error.status, error.text, error.partial
        if pixels is None:
            return None, status, text
    try:
        profile = jpegcodec.metadata(data).icc
    except jpegcodec.JpegError:
        profile = None
    mode = "CMYK" if pixels.ndim == 3 and pixels.shape[2] == 4 else None
    return jpegcodec.write(pixels, quality=85, mode=mode, icc_profile=profile), status, text


def main():
    parser = argparse.ArgumentParser(description="1/8 thumbnails of a folder's JPEGs, made on a Dask cluster")
    parser.add_argument("source", metavar="IN_DIR")
    parser.add_argument("target", metavar="OUT_DIR")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running cluster's scheduler (default: a local one)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    args = parser.parse_args()
    if args.workers < 1:
        parser.error("--workers takes a number from 1 up")
    try:
        names = sorted(n for n in os.listdir(args.source) if n.lower().endswith((".jpg", ".jpeg")))
    except OSError as error:
        parser.exit(1, "dask_thumbnails: %s: %s\n" % (args.source, error.strerror))
    os.makedirs(args.target, exist_ok=True)

    from dask.distributed import Client, LocalCluster, as_completed

    started = time.monotonic()
    cluster = None
    if args.scheduler is None:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
    client = Client(args.scheduler or cluster)
    try:
        slots = 4 * max(1, len(client.scheduler_info()["workers"]))
        made, failures = 0, []
        pending = as_completed()
        waiting = list(names)

        def submit_next():
            name = waiting.pop(0)
            with open(os.path.join(args.source, name), "rb") as f:
                future = client.submit(thumbnail, f.read(), key="thumbnail-" + name, pure=False)
            future.name = name
            pending.add(future)

        while waiting and pending.count() < slots:
            submit_next()
        for future in pending:
            name = future.name
            out, status, text = future.result()
            future.release()
            if out is not None:
                with open(os.path.join(args.target, name), "wb") as f:
                    f.write(out)
                made += 1
            if status < 0:
                failures.append((name, status, text, out is not None))
                print("%s: status %d: %s%s" % (name, status, text, " (thumbnail of what was decoded)"
                                                 if out is not None else ""), file=sys.stderr)
            if waiting:
                submit_next()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    by_status = {}
    for _, status, _, _ in failures:
        by_status[status] = by_status.get(status, 0) + 1
    said = ", ".join("%d with status %d" % (n, s) for s, n in sorted(by_status.items()))
    print("%d files, %d thumbnails, %d failures%s, %.1f s" % (
        len(names), made, len(failures), " (%s)" % said if said else "", time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
