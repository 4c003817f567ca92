#!/usr/bin/env python3
"""Makes the hostile inputs of the decoding benchmark: small files whose
headers claim huge frames, progressive files of thousands of scans, cut and
restart-heavy photos.

    make_hostile.py DIR

The photos need ImageMagick's `convert` and libjpeg-turbo's `cjpeg`.
"""
import os
import struct
import subprocess
import sys


def segment(code, payload):
    return bytes([0xFF, code]) + struct.pack(">H", len(payload) + 2) + payload


def tables():
    # One quantization table of ones; a DC table whose only code, "0", is
    # category 0; an AC table with "0" = end of block and "10" = EOB14 (an
    # end-of-band run of 2^14 plus 14 more bits).
    dqt = segment(0xDB, bytes([0]) + bytes([1] * 64))
    dc = bytes([0x00]) + bytes([1] + [0] * 15) + bytes([0x00])
    ac = bytes([0x10]) + bytes([1, 1] + [0] * 14) + bytes([0x00, 0xE0])
    return dqt + segment(0xC4, dc + ac)


def frame(code, width, height):
    return segment(code, struct.pack(">BHHB", 8, height, width, 1) + bytes([1, 0x11, 0]))


def scan(ss, se, ah_al=0):
    return segment(0xDA, bytes([1, 1, 0x00, ss, se, ah_al]))


class Bits:
    def __init__(self):
        self.bits = []

    def put(self, value, count):
        for i in range(count - 1, -1, -1):
            self.bits.append((value >> i) & 1)

    def bytes(self):
        bits = self.bits + [1] * (-len(self.bits) % 8)
        out = bytearray()
        for i in range(0, len(bits), 8):
            byte = int("".join(map(str, bits[i:i + 8])), 2)
            out.append(byte)
            if byte == 0xFF:
                out.append(0)
        return bytes(out)


def eob_runs(blocks):
    """AC first-scan data that ends the band of `blocks` blocks in runs."""
    bits = Bits()
    while blocks > 0:
        run = min(blocks, 32767)
        if run >= 16384:
            bits.put(2, 2)  # EOB14
            bits.put(run - 16384, 14)
        else:
            bits.put(0, 1)  # EOB, one block
            run = 1
        blocks -= run
    return bits.bytes()


def many_scans(side, scans):
    blocks = (side // 8) ** 2
    data = bytearray(b"\xFF\xD8" + tables() + frame(0xC2, side, side))
    data += scan(0, 0) + bytes(blocks // 8)  # every DC difference 0: one 0 bit a block
    for _ in range(scans):
        data += scan(1, 63) + eob_runs(blocks)
    return bytes(data + b"\xFF\xD9")


def tiny(code, width, height, restart=0):
    data = b"\xFF\xD8" + tables() + frame(code, width, height)
    if restart:
        data += segment(0xDD, struct.pack(">H", restart))
    data += scan(0, 0 if code == 0xC2 else 63) + bytes(16)
    return data + b"\xFF\xD9"


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)

    def write(name, data):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

    write("grey1024_5000scans.jpg", many_scans(1024, 5000))
    write("grey4096_2000scans.jpg", many_scans(4096, 2000))
    write("grey16384_12scans.jpg", many_scans(16384, 12))
    write("baseline65535.jpg", tiny(0xC0, 65535, 65535))
    write("progressive60000.jpg", tiny(0xC2, 60000, 60000))
    write("baseline16000.jpg", tiny(0xC0, 16000, 16000))
    write("progressive18000.jpg", tiny(0xC2, 18000, 18000))
    write("restart1_65535.jpg", tiny(0xC0, 65535, 65535, restart=1))
    photo = os.path.join(out, "photo.ppm")
    subprocess.run(["convert", "-size", "2560x1600", "plasma:fractal", "-blur", "0x1", photo],
                   check=True)
    whole = subprocess.run(["cjpeg", "-quality", "92", photo], check=True,
                           capture_output=True).stdout
    write("photo2560_cut300k.jpg", whole[:300 * 1024])
    subprocess.run(["convert", "-size", "5120x2880", "plasma:fractal", photo], check=True)
    write("photo5120_restart_every_mcu.jpg",
          subprocess.run(["cjpeg", "-quality", "90", "-restart", "1B", photo], check=True,
                         capture_output=True).stdout)
    os.remove(photo)


if __name__ == "__main__":
    main()
