"""The Python module over the shared library: the same pixels as the C
interface (jpegdec), the same result from every kind of source, the
library's record laid out as the module lays it out, and errors that say
what went wrong.

Environment: JPEGCODEC_LIBRARY (the shared library), JPEGDEC (the tool),
JPEGCODEC_INCLUDE (the public header's folder), TEST_DATA (tests/data);
the module is found through PYTHONPATH, or is the copy pip installed
(JPEGCODEC_PIP_INSTALLED=1 then, and neither of the other two is set)."""

import ctypes
import io
import math
import os
import subprocess
import tempfile
import unittest

import numpy

import jpegcodec

DATA = os.environ["TEST_DATA"]
JPEGDEC = os.environ["JPEGDEC"]
BASE = os.path.join(DATA, "generated", "base_420.jpg")
PROGRESSIVE = os.path.join(DATA, "generated", "prog_420.jpg")
GREY = os.path.join(DATA, "generated", "gray.jpg")
CMYK = os.path.join(DATA, "generated", "cmyk.jpg")


def read_netpbm(path):
    """A binary PPM or PGM as an array."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos : pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos : pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    width, height = int(fields[1]), int(fields[2])
    channels = 3 if fields[0] == b"P6" else 1
    pixels = numpy.frombuffer(data[pos + 1 :], dtype=numpy.uint8)
    return pixels.reshape((height, width, channels) if channels == 3 else (height, width))


def jpegdec(source, *options, extension=".ppm"):
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "out" + extension)
        subprocess.run([JPEGDEC, *options, source, out], check=True, capture_output=True)
        return read_netpbm(out)


def psnr(a, b):
    error = numpy.mean((a.astype(numpy.float64) - b.astype(numpy.float64)) ** 2)
    return math.inf if error == 0 else 10 * math.log10(255.0**2 / error)


class Installed(unittest.TestCase):
    def test_pip_put_the_library_inside_the_package(self):
        if not os.environ.get("JPEGCODEC_PIP_INSTALLED"):
            self.skipTest("not the pip-installed copy")
        self.assertNotIn("JPEGCODEC_LIBRARY", os.environ)
        package = os.path.dirname(os.path.abspath(jpegcodec.__file__))
        self.assertTrue(package.endswith(os.path.join("site-packages", "jpegcodec")), package)
        self.assertEqual(jpegcodec._library()._name, os.path.join(package, "libjpegcodec.so.2"))


class RecordLayout(unittest.TestCase):
    def test_every_field_where_the_c_header_puts_it(self):
        include = os.environ.get("JPEGCODEC_INCLUDE")
        if not include:
            self.skipTest("JPEGCODEC_INCLUDE not set")
        names = [name for name, _ in jpegcodec._Job._fields_]
        program = "#include <jpegcodec.h>\n#include <stdio.h>\n#include <stddef.h>\nint main(void) {\n"
        program += '  printf("size %zu\\n", sizeof(JpegJob));\n'
        for name in names:
            program += '  printf("%s %%zu\\n", offsetof(JpegJob, %s));\n' % (name, name)
        for name, _ in jpegcodec._PROPERTIES_NAMED:
            program += '  printf("properties.%s %%zu\\n", offsetof(JpegJob, properties.%s));\n' % (name, name)
        for name in jpegcodec._PROPERTIES_AT:
            program += '  printf("at.%s %%zu\\n", offsetof(JPEG_PROPERTIES, %s));\n' % (name, name)
        records = {"JpegMetadata": jpegcodec._Metadata, "JpegWriteMetadata": jpegcodec._WriteMetadata,
                   "JpegTransform": jpegcodec._Transform}
        for record, mirror in records.items():
            program += '  printf("%s %%zu\\n", sizeof(%s));\n' % (record, record)
            for name, _ in mirror._fields_:
                program += '  printf("%s.%s %%zu\\n", offsetof(%s, %s));\n' % (record, name, record, name)
        program += "  return 0;\n}\n"
        with tempfile.TemporaryDirectory() as work:
            source, binary = os.path.join(work, "layout.c"), os.path.join(work, "layout")
            with open(source, "w") as f:
                f.write(program)
            subprocess.run(["cc", "-std=c99", "-I", include, source, "-o", binary], check=True)
            lines = subprocess.run([binary], check=True, capture_output=True, text=True).stdout.split("\n")
        c_layout = dict(line.split() for line in lines if line)
        self.assertEqual(int(c_layout["size"]), ctypes.sizeof(jpegcodec._Job))
        for name in names:
            self.assertEqual(int(c_layout[name]), getattr(jpegcodec._Job, name).offset, name)
        base = jpegcodec._Job.properties.offset
        for name, _ in jpegcodec._PROPERTIES_NAMED:
            self.assertEqual(int(c_layout["properties." + name]), base + getattr(jpegcodec._Properties, name).offset)
        for name, offset in jpegcodec._PROPERTIES_AT.items():
            self.assertEqual(int(c_layout["at." + name]), offset, name)
        for record, mirror in records.items():
            self.assertEqual(int(c_layout[record]), ctypes.sizeof(mirror), record)
            for name, _ in mirror._fields_:
                self.assertEqual(int(c_layout[record + "." + name]), getattr(mirror, name).offset, name)


class Reading(unittest.TestCase):
    def test_the_pixels_of_the_c_interface(self):
        for path in (BASE, PROGRESSIVE):
            with self.subTest(path=path):
                numpy.testing.assert_array_equal(jpegcodec.read(path), jpegdec(path))
        numpy.testing.assert_array_equal(jpegcodec.read(GREY), jpegdec(GREY, extension=".pgm"))
        numpy.testing.assert_array_equal(jpegcodec.read(BASE, scale=8), jpegdec(BASE, "--scale", "8"))
        numpy.testing.assert_array_equal(
            jpegcodec.read(BASE, fast_dct=True), jpegdec(BASE, "--fast-dct"))
        numpy.testing.assert_array_equal(
            jpegcodec.read(BASE, upsample="fast"), jpegdec(BASE, "--fast-upsample"))
        self.assertFalse((jpegcodec.read(BASE) == jpegcodec.read(BASE, upsample="fast")).all())

    def test_every_kind_of_source_gives_the_same_image(self):
        with open(PROGRESSIVE, "rb") as f:
            data = f.read()
        expected = jpegcodec.read(PROGRESSIVE)
        with open(PROGRESSIVE, "rb") as f:
            numpy.testing.assert_array_equal(jpegcodec.read(f), expected)  # a file object
        numpy.testing.assert_array_equal(jpegcodec.read(io.BytesIO(data)), expected)
        for source in (data, bytearray(data), memoryview(data), os.fsencode(PROGRESSIVE).decode()):
            with self.subTest(kind=type(source).__name__):
                numpy.testing.assert_array_equal(jpegcodec.read(source), expected)
        image = jpegcodec.read_bytes(data)
        self.assertEqual((image.width, image.height, image.channels), (expected.shape[1], expected.shape[0], 3))
        self.assertEqual(bytes(image.data), expected.tobytes())

    def test_modes_regions_and_scales(self):
        rgb = jpegcodec.read(BASE)
        numpy.testing.assert_array_equal(jpegcodec.read(BASE, mode="BGR"), rgb[..., ::-1])
        rgba = jpegcodec.read(BASE, mode="RGBA")
        numpy.testing.assert_array_equal(rgba[..., :3], rgb)
        self.assertTrue((rgba[..., 3] == 255).all())
        self.assertEqual(jpegcodec.read(BASE, mode="L").shape, rgb.shape[:2])
        self.assertEqual(jpegcodec.read(CMYK).shape[2], 4)
        numpy.testing.assert_array_equal(jpegcodec.read(BASE, region=(10, 20, 110, 70)), rgb[20:70, 10:110])
        # A region reaching past the edge is cut to it.
        self.assertEqual(jpegcodec.read(BASE, scale=2, region=(100, 100, 999, 999)).shape, (20, 60, 3))

    def test_info(self):
        info = jpegcodec.info(BASE)
        self.assertEqual(info, jpegcodec.Info(320, 240, 3, "ycbcr", "4:2:0", None, 1, 0, 0, 0))
        self.assertEqual(jpegcodec.info(GREY).color, "gray")
        self.assertEqual(jpegcodec.info(os.path.join(DATA, "generated", "jfif_thumb.jpg")).thumbnail, (16, 12))
        self.assertRegex(jpegcodec.library_version(), r"^\d+\.\d+\.\d+$")


PHOTO = os.path.join(DATA, "metadata", "exif_icc_xmp.jpg")


class Metadata(unittest.TestCase):
    def test_what_the_photo_carries(self):
        info = jpegcodec.info(PHOTO)
        self.assertEqual((info.orientation, info.icc_size, info.exif_size, info.xmp_size), (6, 3000, 44, 55))
        found = jpegcodec.metadata(PHOTO)
        self.assertEqual(found.orientation, 6)
        self.assertEqual(found.icc, bytes((i * 7 + i // 251) & 255 for i in range(3000)))
        self.assertTrue(found.exif.startswith(b"Exif\0\0MM\0*"))
        self.assertEqual(found.xmp, b"<x:xmpmeta xmlns:x='adobe:ns:meta/'>a photo</x:xmpmeta>")
        self.assertEqual(jpegcodec.metadata(BASE), jpegcodec.Metadata(None, None, None, 1))

    def test_orientation_is_applied_when_asked(self):
        stored = jpegcodec.read(PHOTO)
        self.assertEqual(stored.shape, (240, 320, 3))  # as Pillow reads it
        turned = jpegcodec.read(PHOTO, orient=True)
        numpy.testing.assert_array_equal(turned, numpy.rot90(stored, -1))
        # As jpegdec writes it, which applies the orientation by default.
        numpy.testing.assert_array_equal(turned, jpegdec(PHOTO))
        self.assertEqual(jpegcodec.read(PHOTO, mode="L", scale=8, orient=True).shape, (40, 30))


    def test_written_as_pillow_takes_it_and_read_back(self):
        found = jpegcodec.metadata(PHOTO)
        pixels = jpegcodec.read(PHOTO)
        copy = jpegcodec.write(pixels, quality=90, icc_profile=found.icc, exif=found.exif, xmp=found.xmp)
        self.assertEqual(jpegcodec.metadata(copy), found)
        # EXIF as bare TIFF data gets its header; a large profile its chunks.
        profile = bytes(range(256)) * 700
        copy = jpegcodec.write(pixels, exif=memoryview(found.exif[6:]), icc_profile=bytearray(profile))
        self.assertEqual(jpegcodec.metadata(copy), jpegcodec.Metadata(found.exif, profile, None, 6))
        self.assertEqual(copy.count(b"ICC_PROFILE\0"), 3)
        self.assertNotIn(b"\xff\xfe", copy[: copy.find(b"\xff\xda")], "no comment unless asked")
        with self.assertRaisesRegex(ValueError, "exif of 65528 bytes; a JPEG holds at most 65527"):
            jpegcodec.write(pixels, exif=bytes(65528))
        with self.assertRaisesRegex(ValueError, "xmp of 65505 bytes"):
            jpegcodec.write(pixels, xmp=bytes(65505))
        with self.assertRaisesRegex(TypeError, "icc_profile takes bytes, not str"):
            jpegcodec.write(pixels, icc_profile="sRGB")


    def test_threads_give_one_threads_pixels_and_bytes(self):
        # A picture large enough for threads, with a restart marker each row.
        rng = numpy.random.default_rng(5)
        noisy = rng.integers(0, 256, (720, 1024, 3), dtype=numpy.uint8)
        data = jpegcodec.write(noisy, quality=85, restart_interval=64)
        self.assertEqual(jpegcodec.write(noisy, quality=85, restart_interval=64, threads=2), data)
        one = jpegcodec.read(data, upsample="fast")
        numpy.testing.assert_array_equal(jpegcodec.read(data, upsample="fast", threads=2), one)
        numpy.testing.assert_array_equal(jpegcodec.read(data, threads=3), jpegcodec.read(data))
        with self.assertRaises(ValueError):
            jpegcodec.read(data, threads=0)


class Errors(unittest.TestCase):
    def test_a_failure_says_its_status_text_and_check(self):
        with self.assertRaises(jpegcodec.JpegError) as caught:
            jpegcodec.read(b"this is not a JPEG file")
        self.assertEqual((caught.exception.status, caught.exception.text), (-13, "Not JPEG"))
        self.assertIsInstance(caught.exception, OSError)  # as Pillow's errors are
        # Files that cannot be opened give Python's own errors.
        with self.assertRaises(FileNotFoundError):
            jpegcodec.read(os.path.join(DATA, "no such file.jpg"))
        with self.assertRaises(IsADirectoryError):
            jpegcodec.info(DATA)

    def test_a_truncated_file_gives_what_was_decoded(self):
        with open(BASE, "rb") as f:
            data = f.read()
        whole = jpegcodec.read(data)
        with self.assertRaises(jpegcodec.JpegError) as caught:
            jpegcodec.read(data[: len(data) // 2])
        partial = caught.exception.partial
        self.assertEqual(caught.exception.status, -11)
        self.assertEqual(partial.shape, whole.shape)
        numpy.testing.assert_array_equal(partial[:16], whole[:16])  # the first MCU row arrived
        self.assertTrue((partial[-1] == 128).all())  # the last did not: grey

    def test_bad_arguments_are_refused_before_the_codec(self):
        for call in (lambda: jpegcodec.read(BASE, scale=3), lambda: jpegcodec.read(BASE, mode="HSV"),
                     lambda: jpegcodec.read(BASE, region=(400, 0, 500, 10)),
                     lambda: jpegcodec.write(b"\0" * 10, 2, 2, 3)):
            with self.assertRaises(ValueError):
                call()
        with self.assertRaises(TypeError):
            jpegcodec.read(12)
        rgb = numpy.zeros((8, 8, 3), numpy.uint8)
        # Whole numbers out of range are refused, never wrapped to 32 bits.
        for arguments in ({"quality": 0}, {"quality": 2**32 + 10}, {"restart_interval": 2**32 + 1},
                          {"restart_interval": -1}, {"mode": "CMYK"}):
            with self.subTest(arguments=arguments), self.assertRaises(ValueError):
                jpegcodec.write(rgb, **arguments)
        with self.assertRaises(TypeError):
            jpegcodec.write(rgb, quality="90")
        # Four channels are CMYK only when the caller says so.
        rgba = numpy.zeros((8, 8, 4), numpy.uint8)
        with self.assertRaises(ValueError) as caught:
            jpegcodec.write(rgba)
        self.assertIn('mode="CMYK"', str(caught.exception))
        self.assertEqual(jpegcodec.info(jpegcodec.write(rgba, mode="CMYK")).channels, 4)


class Writing(unittest.TestCase):
    def test_round_trips(self):
        rgb = jpegcodec.read(os.path.join(DATA, "generated", "base_444.jpg"))
        standard = jpegcodec.write(rgb, quality=95)
        self.assertEqual(jpegcodec.info(standard).subsampling, "4:2:0")
        self.assertGreater(psnr(jpegcodec.read(standard), rgb), 30)  # 32.2 dB: sharp colour edges
        full = jpegcodec.write(rgb, quality=95, subsampling="4:4:4")
        self.assertEqual(jpegcodec.info(full).subsampling, "4:4:4")
        self.assertGreater(psnr(jpegcodec.read(full), rgb), 45)  # 48.4 dB
        optimized = jpegcodec.write(rgb, quality=95, optimize=True)
        self.assertLess(len(optimized), len(standard))
        numpy.testing.assert_array_equal(jpegcodec.read(optimized), jpegcodec.read(standard))
        progressive = jpegcodec.write(rgb, quality=95, progressive=True)
        self.assertIn(b"\xff\xc2", progressive)
        numpy.testing.assert_array_equal(jpegcodec.read(progressive), jpegcodec.read(standard))
        grey = jpegcodec.read(GREY)
        self.assertEqual(jpegcodec.info(jpegcodec.write(grey)).channels, 1)
        # Bytes with their size, and a file.
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "out.jpg")
            data = jpegcodec.write(rgb.tobytes(), rgb.shape[1], rgb.shape[0], 3, quality=95, path=path)
            self.assertEqual(data, standard)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), standard)

    def test_a_file_larger_than_the_first_room_is_written_whole(self):
        # Two lines of black and white noise, each line written eight times
        # over by the MCU: nearly three times the room the first try gives.
        noise = (numpy.random.default_rng(1).integers(0, 2, size=(2, 30000, 3)) * 255).astype(numpy.uint8)
        data = jpegcodec.write(noise, quality=100, subsampling="4:4:4")
        self.assertGreater(len(data), noise.size * 3 // 2 + 65536)
        self.assertEqual(data[-2:], b"\xff\xd9")
        back = jpegcodec.read(data)
        self.assertEqual(back.shape, noise.shape)
        self.assertGreater(psnr(back, noise), 30)


class Transforming(unittest.TestCase):
    def test_a_turn_and_its_inverse_give_the_pixels_back(self):
        # 320x240 in 4:2:0: whole MCUs, so nothing stays in place.
        turned = jpegcodec.transform(BASE, rotate=90)
        self.assertEqual(jpegcodec.info(turned).width, 240)
        back = jpegcodec.transform(turned, rotate=270, optimize=True)
        numpy.testing.assert_array_equal(jpegcodec.read(back), jpegcodec.read(BASE))
        mirrored = jpegcodec.transform(jpegcodec.transform(BASE, flip="horizontal"), flip="horizontal",
                                       progressive=True)
        numpy.testing.assert_array_equal(jpegcodec.read(mirrored), jpegcodec.read(BASE))

    def test_a_crop_moves_to_the_mcu_grid_and_keeps_its_pixels(self):
        part = jpegcodec.transform(BASE, crop=(35, 9, 55, 19), copy="none")
        image = jpegcodec.read(part, upsample="fast")
        self.assertEqual(image.shape, (19, 23, 3))  # the corner moved to 32, 0
        whole = jpegcodec.read(BASE, upsample="fast")
        numpy.testing.assert_array_equal(image, whole[0:19, 32:55])

    def test_copy_all_keeps_the_metadata(self):
        kept = jpegcodec.metadata(jpegcodec.transform(PHOTO, copy="all"))
        source = jpegcodec.metadata(PHOTO)
        self.assertEqual(kept, source)
        self.assertIsNone(jpegcodec.metadata(jpegcodec.transform(PHOTO, copy="none")).exif)

    def test_bad_requests_are_refused(self):
        with self.assertRaises(ValueError):
            jpegcodec.transform(BASE, rotate=45)
        with self.assertRaises(ValueError):
            jpegcodec.transform(BASE, rotate=90, flip="vertical")
        with self.assertRaises(jpegcodec.JpegError) as caught:
            jpegcodec.transform(BASE, crop=(300, 0, 400, 10))
        self.assertEqual(caught.exception.status, -8)
        self.assertIn("reaches past", str(caught.exception))
        with self.assertRaises(jpegcodec.JpegError) as caught:
            jpegcodec.transform(os.path.join(DATA, "generated", "base_411.jpg"), rotate=90, perfect=True)
        self.assertEqual(caught.exception.status, -12)


if __name__ == "__main__":
    unittest.main(verbosity=2)
