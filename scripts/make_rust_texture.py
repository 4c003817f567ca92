#!/usr/bin/env python3
"""Makes textures/rust.jpg, the knot's start-up texture: rusted iron.

Tileable value noise (the lattice wraps around the image, so the texture
repeats without seams along and around the tube) of a few octaves, mapped
onto a palette of rust browns and oranges, with darker pits. Writes a PPM
and has ImageMagick's convert turn it into a baseline 4:2:0 JPEG.

    scripts/make_rust_texture.py [OUTPUT.jpg]
"""
import math
import random
import subprocess
import sys
import tempfile

SIZE = 256


def lattice(period, seed):
    rng = random.Random(seed)
    return [[rng.random() for _ in range(period)] for _ in range(period)]


def smooth(t):
    return t * t * (3 - 2 * t)


def value_noise(grid, period, x, y):
    """Noise at (x, y) in [0, 1)^2, on a lattice of `period` cells that wraps."""
    gx, gy = x * period, y * period
    x0, y0 = int(gx) % period, int(gy) % period
    x1, y1 = (x0 + 1) % period, (y0 + 1) % period
    fx, fy = smooth(gx - math.floor(gx)), smooth(gy - math.floor(gy))
    top = grid[y0][x0] * (1 - fx) + grid[y0][x1] * fx
    bottom = grid[y1][x0] * (1 - fx) + grid[y1][x1] * fx
    return top * (1 - fy) + bottom * fy


def fractal(octaves, x, y):
    total, weight, norm = 0.0, 1.0, 0.0
    for period, grid in octaves:
        total += weight * value_noise(grid, period, x, y)
        norm += weight
        weight *= 0.55
    return total / norm


# Rust from dark pitted iron through brown to orange.
PALETTE = [(0.00, (46, 28, 22)), (0.35, (98, 46, 24)), (0.55, (146, 68, 30)),
           (0.75, (184, 96, 42)), (1.00, (214, 132, 64))]


def colour(v):
    for (a, ca), (b, cb) in zip(PALETTE, PALETTE[1:]):
        if v <= b:
            t = (v - a) / (b - a)
            return tuple(int(ca[i] + (cb[i] - ca[i]) * t) for i in range(3))
    return PALETTE[-1][1]


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "textures/rust.jpg"
    base = [(p, lattice(p, 11 + p)) for p in (4, 8, 16, 32, 64)]
    pits = [(p, lattice(p, 97 + p)) for p in (16, 32)]
    pixels = bytearray()
    for j in range(SIZE):
        for i in range(SIZE):
            x, y = i / SIZE, j / SIZE
            v = fractal(base, x, y)
            v = min(1.0, max(0.0, (v - 0.25) * 1.9))
            pit = fractal(pits, x, y)
            if pit > 0.62:  # dark corrosion pits
                v *= 0.45
            pixels.extend(colour(v))
    with tempfile.NamedTemporaryFile(suffix=".ppm") as ppm:
        ppm.write(b"P6\n%d %d\n255\n" % (SIZE, SIZE) + bytes(pixels))
        ppm.flush()
        subprocess.run(["convert", ppm.name, "-quality", "88", "-sampling-factor", "2x2",
                        "-strip", output], check=True)


if __name__ == "__main__":
    main()
