"""The codec's folders include each other downward only: api over drive,
drive over decode and encode (which see neither each other nor anything
above them), those over stream, stream over cpu. The public header
api/jpegcodec.h is everyone's vocabulary. Prints each include that points
up or sideways and exits 1 when there is one.

    python3 tests/layers_test.py [JPEG_DIR]
"""

import os
import re
import sys

RANK = {"cpu": 0, "stream": 1, "decode": 2, "encode": 2, "transform": 2, "drive": 3, "api": 4}


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "jpeg")
    wrong, checked = [], 0
    for folder in sorted(os.listdir(root)):
        path = os.path.join(root, folder)
        if not os.path.isdir(path):
            continue
        if folder not in RANK:
            wrong.append("%s: a folder no layer names" % folder)
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".cpp", ".h")):
                continue
            with open(os.path.join(path, name), errors="replace") as f:
                text = f.read()
            for target in re.findall(r'#include\s+"jpeg/([a-z_]+)/([^"]+)"', text):
                checked += 1
                other, header = target
                if other == folder or (other, header) == ("api", "jpegcodec.h"):
                    continue
                if other not in RANK or RANK[other] >= RANK[folder]:
                    wrong.append("%s/%s includes %s/%s" % (folder, name, other, header))
    for line in wrong:
        print(line)
    print("%d includes checked, %d pointing up or sideways" % (checked, len(wrong)))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
