"""Read and write JPEG files with the jpegcodec library, through ctypes.

No build step: the module loads the installed shared library
(libjpegcodec.so.2) and fills its job record itself.

    import jpegcodec
    pixels = jpegcodec.read("photo.jpg")             # NumPy array, rows x columns x 3
    small = jpegcodec.read("photo.jpg", scale=8)     # at 1/8 size, decoded as such
    part = jpegcodec.read("photo.jpg", region=(0, 0, 256, 256))
    image = jpegcodec.read_bytes(data, mode="L")     # bytes, width, height, channels
    print(jpegcodec.info("photo.jpg"))
    data = jpegcodec.write(pixels, quality=90)       # JPEG file as bytes

A source is a file name (str or path) or the JPEG data (bytes, bytearray,
memoryview) or a binary file object. The library is found through the
environment variable JPEGCODEC_LIBRARY (a path), then inside the package
(pip install), then where the codec installs it beside the module
(PREFIX/share/jpegcodec/python, the library in PREFIX/lib), then the
system's library search (ldconfig, LD_LIBRARY_PATH). Decoding releases the
interpreter lock: threads decode in parallel. NumPy is needed only by read() and by write() given an
array.
"""

import ctypes
import ctypes.util
import os
from collections import namedtuple

__all__ = ["JpegError", "Info", "Image", "info", "read", "read_bytes", "write", "transform",
           "library_version"]

# Colour codes, sampling codes and operations of the C interface.
_COLOR_RGB, _COLOR_BGR, _COLOR_YCBCR, _COLOR_GRAY, _COLOR_FOUR, _COLOR_YCCK = 1, 2, 3, 4, 5, 6
_COLOR_NAMES = {1: "rgb", 2: "bgr", 3: "ycbcr", 4: "gray", 5: "cmyk", 6: "ycck", 255: "other"}
_SUB_CODES = {"4:4:4": 0, "4:2:0": 1, "4:2:2": 2}
_SUB_NAMES = {0: "4:4:4", 1: "4:2:0", 2: "4:2:2", 3: "4:2:0+alpha", 4: "4:2:2+alpha", 255: "other"}
_READ_PARAMS, _READ_IMAGE, _WRITE_IMAGE = 0, 2, 8
_READ_SCALED = {1: 2, 2: 14, 4: 16, 8: 18}
_OUTPUT_TOO_SMALL = -28
_INVALID_FILE_NAME = -10
# Output modes: colour code and bytes a pixel. "CMYK" gives a four-component
# file's channels as stored (an Adobe file's inverted ones made plain).
_MODES = {
    "RGB": (_COLOR_RGB, 3),
    "BGR": (_COLOR_BGR, 3),
    "L": (_COLOR_GRAY, 1),
    "RGBA": (_COLOR_FOUR, 4),
    "CMYK": (_COLOR_FOUR, 4),
}

# The working state inside the job record is the codec's own: only its
# leading fields (the region and the transform family) are named here; the
# rest is opaque room of the record's size.
_PROPERTIES_BYTES = 28984
_PROPERTIES_NAMED = [
    ("io_type", ctypes.c_int32),
    ("roi_left", ctypes.c_int32),
    ("roi_top", ctypes.c_int32),
    ("roi_right", ctypes.c_int32),
    ("roi_bottom", ctypes.c_int32),
    ("dct_family", ctypes.c_int32),
    ("output_layout", ctypes.c_int32),
    ("interrupt_mode", ctypes.c_int32),
]


# Fields further in the working state that the module sets: their offsets
# from its start (the layout test checks them against the C header).
_PROPERTIES_AT = {"smooth_upsampling": 28892}


def _set_property(job, name, value):
    """Sets a 32-bit field of the working state that the module does not name."""
    address = ctypes.addressof(job.properties) + _PROPERTIES_AT[name]
    ctypes.c_int32.from_address(address).value = value


class _Properties(ctypes.Structure):
    _fields_ = _PROPERTIES_NAMED + [("_opaque", ctypes.c_uint64 * ((_PROPERTIES_BYTES - 32) // 8))]


class _Job(ctypes.Structure):
    _fields_ = [
        ("use_properties", ctypes.c_int32),
        ("out_pixels", ctypes.c_void_p),
        ("out_width", ctypes.c_int32),
        ("out_height", ctypes.c_int32),
        ("out_pad", ctypes.c_int32),
        ("out_channels", ctypes.c_int32),
        ("out_color", ctypes.c_int32),
        ("out_subsampling", ctypes.c_int32),
        ("file_name", ctypes.c_char_p),
        ("jpeg_buffer", ctypes.c_void_p),
        ("jpeg_buffer_size", ctypes.c_int32),
        ("jpeg_width", ctypes.c_int32),
        ("jpeg_height", ctypes.c_int32),
        ("jpeg_channels", ctypes.c_int32),
        ("jpeg_color", ctypes.c_int32),
        ("jpeg_subsampling", ctypes.c_int32),
        ("thumb_width", ctypes.c_int32),
        ("thumb_height", ctypes.c_int32),
        ("convert_color", ctypes.c_int32),
        ("upsample", ctypes.c_int32),
        ("quality", ctypes.c_int32),
        ("properties", _Properties),
        ("write_optimize", ctypes.c_int32),
        ("write_progressive", ctypes.c_int32),
        ("write_restart_interval", ctypes.c_int32),
        ("status_detail", ctypes.c_char * 128),
        ("threads", ctypes.c_int32),
    ]


class _Metadata(ctypes.Structure):
    _fields_ = [
        ("exif", ctypes.c_void_p),
        ("exif_size", ctypes.c_int32),
        ("icc", ctypes.c_void_p),
        ("icc_size", ctypes.c_int32),
        ("xmp", ctypes.c_void_p),
        ("xmp_size", ctypes.c_int32),
        ("orientation", ctypes.c_int32),
    ]


class _WriteMetadata(ctypes.Structure):
    _fields_ = [
        ("exif", ctypes.c_char_p),
        ("exif_size", ctypes.c_int32),
        ("icc", ctypes.c_char_p),
        ("icc_size", ctypes.c_int32),
        ("xmp", ctypes.c_char_p),
        ("xmp_size", ctypes.c_int32),
        ("segments", ctypes.c_void_p),
        ("segment_count", ctypes.c_int32),
        ("version_comment", ctypes.c_int32),
    ]


class _Transform(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int32),
        ("auto_orient", ctypes.c_int32),
        ("crop_x", ctypes.c_int32),
        ("crop_y", ctypes.c_int32),
        ("crop_width", ctypes.c_int32),
        ("crop_height", ctypes.c_int32),
        ("grayscale", ctypes.c_int32),
        ("trim", ctypes.c_int32),
        ("perfect", ctypes.c_int32),
        ("copy", ctypes.c_int32),
        ("restart_rows", ctypes.c_int32),
        ("force", ctypes.c_int32),
        ("written", ctypes.c_int32),
    ]


class _Version(ctypes.Structure):
    _fields_ = [
        ("major", ctypes.c_int32),
        ("minor", ctypes.c_int32),
        ("build", ctypes.c_int32),
        ("library_name", ctypes.c_char_p),
        ("version", ctypes.c_char_p),
        ("full_version", ctypes.c_char_p),
        ("build_date", ctypes.c_char_p),
        ("tool", ctypes.c_char_p),
    ]


class JpegError(OSError):
    """A refused or failed operation: the codec's status, its text, and which
    check refused it when one did. For a damaged file read, `partial` holds
    the image as far as it was decoded (grey where data were missing). An
    OSError, as Pillow's errors for files it cannot read are."""

    def __init__(self, status, text, detail="", partial=None):
        message = "%s (status %d)" % (text, status)
        if detail:
            message += ": " + detail
        super().__init__(message)
        self.status = status
        self.text = text
        self.detail = detail
        self.partial = partial


Info = namedtuple(
    "Info", "width height channels color subsampling thumbnail orientation icc_size exif_size xmp_size"
)
Metadata = namedtuple("Metadata", "exif icc xmp orientation")
Image = namedtuple("Image", "data width height channels")

_lib = None
# Where the library is from the installed module (the install rewrites this
# for its own layout of folders).
_INSTALLED_LIBDIR = "../../../lib"


def _library():
    """Loads the shared library once and checks that the job record this
    module lays out is the one it uses."""
    global _lib
    if _lib is not None:
        return _lib
    names = []
    if os.environ.get("JPEGCODEC_LIBRARY"):
        names.append(os.environ["JPEGCODEC_LIBRARY"])
    # Installed by pip: the library inside the package. Installed with the
    # codec (PREFIX/share/jpegcodec/python): the library of the same prefix.
    here = os.path.dirname(os.path.abspath(__file__))
    for beside in (os.path.join(here, "libjpegcodec.so.2"),
                   os.path.join(here, _INSTALLED_LIBDIR, "libjpegcodec.so.2")):
        if os.path.exists(beside):
            names.append(os.path.normpath(beside))
    found = ctypes.util.find_library("jpegcodec")
    if found:
        names.append(found)
    names.append("libjpegcodec.so.2")
    errors = []
    lib = None
    for name in names:
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError as error:
            errors.append(str(error))
    if lib is None:
        raise OSError(
            "jpegcodec: the shared library libjpegcodec.so.2 was not found; install the codec "
            "or set JPEGCODEC_LIBRARY to its path (%s)" % "; ".join(errors)
        )
    job_p = ctypes.POINTER(_Job)
    for name in ("jpeg_init", "jpeg_free"):
        getattr(lib, name).argtypes = [job_p]
        getattr(lib, name).restype = ctypes.c_int32
    for name in ("jpeg_read", "jpeg_write"):
        getattr(lib, name).argtypes = [job_p, ctypes.c_int32]
        getattr(lib, name).restype = ctypes.c_int32
    lib.jpeg_status_text.argtypes = [ctypes.c_int32]
    lib.jpeg_status_text.restype = ctypes.c_char_p
    lib.jpeg_status_detail.argtypes = [job_p]
    lib.jpeg_status_detail.restype = ctypes.c_void_p
    lib.jpeg_metadata.argtypes = [job_p, ctypes.POINTER(_Metadata)]
    lib.jpeg_metadata.restype = ctypes.c_int32
    lib.jpeg_set_metadata.argtypes = [job_p, ctypes.POINTER(_WriteMetadata)]
    lib.jpeg_set_metadata.restype = ctypes.c_int32
    lib.jpeg_transform.argtypes = [job_p, ctypes.c_int32, job_p, ctypes.c_int32, ctypes.POINTER(_Transform)]
    lib.jpeg_transform.restype = ctypes.c_int32
    lib.jpeg_version.argtypes = []
    lib.jpeg_version.restype = ctypes.POINTER(_Version)
    # The detail text lies at the record's end: the library's address of
    # it must be this module's, or the record is laid out otherwise (a
    # library of another version) and nothing is written into it.
    probe = _Job()
    if lib.jpeg_status_detail(ctypes.byref(probe)) != ctypes.addressof(probe) + _Job.status_detail.offset:
        raise OSError("jpegcodec: the library's job record differs from this module's; use the "
                      "module of the library's version")
    _lib = lib
    return lib


def library_version():
    """The library's version text, for example "1.51.12"."""
    return _library().jpeg_version().contents.version.decode()


class _Session:
    """One job record, initialised and freed, with the source attached (none
    for a write)."""

    def __init__(self, source=None):
        self.lib = _library()
        self.job = _Job()
        self.keep = None  # what the record points at, alive while it does
        self.memory = 1
        address, size = None, 0
        if source is None:
            pass
        elif isinstance(source, (str, os.PathLike)):
            self.memory = 0
            self.keep = os.fsencode(source)
            self.path = source
        elif hasattr(source, "read") and not isinstance(source, (bytes, bytearray, memoryview)):
            # A binary file object: its bytes from where it stands.
            data = source.read()
            if not isinstance(data, bytes):
                raise TypeError("jpegcodec: a file object opened in binary mode ('rb'), not text")
            self.keep = data
            address, size = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value, len(data)
        elif isinstance(source, bytes):
            self.keep = source  # the codec only reads it: no copy
            address, size = ctypes.cast(ctypes.c_char_p(source), ctypes.c_void_p).value, len(source)
        elif isinstance(source, (bytearray, memoryview)):
            view = memoryview(source).cast("B")
            size = len(view)
            array = ctypes.c_uint8 * size
            self.keep = array.from_buffer_copy(view) if view.readonly else array.from_buffer(view)
            address = ctypes.addressof(self.keep)
        else:
            raise TypeError("jpegcodec: a source is a file name, bytes or a binary file object, not %s"
                            % type(source).__name__)
        if size > 0x7FFFFFFF:
            raise ValueError("jpegcodec: JPEG data of %d bytes, more than 2 GiB" % size)
        # Initialised last: nothing above can fail with the record holding
        # memory that only __exit__ frees.
        status = self.lib.jpeg_init(ctypes.byref(self.job))
        if status < 0:
            self.fail(status)
        if self.memory == 0:
            self.job.file_name = self.keep
        elif address is not None:
            self.job.jpeg_buffer, self.job.jpeg_buffer_size = address, size

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.lib.jpeg_free(ctypes.byref(self.job))
        return False

    def fail(self, status, partial=None):
        if status == _INVALID_FILE_NAME and getattr(self, "path", None) is not None:
            # The file cannot be opened: Python's own error says why
            # (FileNotFoundError, IsADirectoryError, PermissionError).
            with open(self.path, "rb"):
                pass
        text = self.lib.jpeg_status_text(status).decode(errors="replace")
        detail = ctypes.string_at(self.lib.jpeg_status_detail(ctypes.byref(self.job))).decode(errors="replace")
        raise JpegError(status, text, detail, partial)

    def read_params(self):
        status = self.lib.jpeg_read(ctypes.byref(self.job), _READ_PARAMS + self.memory)
        if status != 0:
            self.fail(status)

    def metadata(self):
        """What the last read found beside the image, as a _Metadata."""
        found = _Metadata()
        status = self.lib.jpeg_metadata(ctypes.byref(self.job), ctypes.byref(found))
        if status != 0:
            self.fail(status)
        return found


def _bytes_at(address, size):
    return ctypes.string_at(address, size) if address else None


def info(source):
    """The JPEG's size, components, colour, sampling, thumbnail size (or
    None), EXIF orientation (1 to 8; 1 when the file has none) and the sizes
    of its ICC profile, EXIF block and XMP packet (0 when absent), read from
    its header."""
    with _Session(source) as session:
        session.read_params()
        job = session.job
        found = session.metadata()
        thumbnail = (job.thumb_width, job.thumb_height) if job.thumb_width > 0 else None
        return Info(job.jpeg_width, job.jpeg_height, job.jpeg_channels,
                    _COLOR_NAMES.get(job.jpeg_color, "other"),
                    _SUB_NAMES.get(job.jpeg_subsampling, "other"), thumbnail,
                    found.orientation, found.icc_size, found.exif_size, found.xmp_size)


def metadata(source):
    """What the JPEG carries beside its image: Metadata(exif, icc, xmp,
    orientation), each of the first three bytes or None. exif is the APP1
    payload from its b"Exif\\0\\0" on (as Pillow's info["exif"]); icc the
    ICC profile put together from its chunks; xmp the XMP packet; orientation
    the EXIF orientation, 1 to 8 (1 when absent or broken). Broken metadata
    are None, never an error."""
    with _Session(source) as session:
        session.read_params()
        found = session.metadata()
        return Metadata(_bytes_at(found.exif, found.exif_size), _bytes_at(found.icc, found.icc_size),
                        _bytes_at(found.xmp, found.xmp_size), found.orientation)


def _oriented(array, orientation):
    """The array as EXIF `orientation` says a viewer shows it."""
    import numpy

    turned = {
        2: lambda a: a[:, ::-1],
        3: lambda a: a[::-1, ::-1],
        4: lambda a: a[::-1],
        5: lambda a: a.swapaxes(0, 1),
        6: lambda a: numpy.rot90(a, -1),
        7: lambda a: a[::-1, ::-1].swapaxes(0, 1),
        8: lambda a: numpy.rot90(a, 1),
    }.get(orientation)
    return numpy.ascontiguousarray(turned(array)) if turned else array


def _decode(source, mode, scale, region, fast_dct, upsample, allocate, threads=1):
    """Decodes into the buffer allocate(width, height, channels) returns, as
    (object, address); returns the object, or raises JpegError with it."""
    if scale not in _READ_SCALED:
        raise ValueError("jpegcodec: scale must be 1, 2, 4 or 8, not %r" % (scale,))
    if upsample not in ("smooth", "fast"):
        raise ValueError("jpegcodec: upsample must be \"smooth\" or \"fast\", not %r" % (upsample,))
    threads = _whole_number("threads", threads, 1, 1024)
    with _Session(source) as session:
        session.read_params()
        job = session.job
        if mode is None:
            mode = "L" if job.jpeg_channels == 1 else "CMYK" if job.jpeg_channels == 4 else "RGB"
        if mode not in _MODES:
            raise ValueError("jpegcodec: mode must be one of %s, not %r" % (", ".join(_MODES), mode))
        color, channels = _MODES[mode]
        width = (job.jpeg_width + scale - 1) // scale
        height = (job.jpeg_height + scale - 1) // scale
        if region is not None:
            left, top, right, bottom = (int(v) for v in region)
            right, bottom = min(right, width), min(bottom, height)
            if not (0 <= left < right and 0 <= top < bottom):
                raise ValueError("jpegcodec: the region %r lies outside the %dx%d image"
                                 % (tuple(region), width, height))
            props = job.properties
            props.roi_left, props.roi_top, props.roi_right, props.roi_bottom = left, top, right, bottom
            width, height = right - left, bottom - top
        image, address = allocate(width, height, channels)
        job.out_pixels = address
        job.out_width, job.out_height, job.out_pad = width, height, 0
        job.out_channels, job.out_color = channels, color
        job.properties.dct_family = 0 if fast_dct else 1
        # Chroma interpolated, as djpeg and Pillow decode by default.
        _set_property(job, "smooth_upsampling", 1 if upsample == "smooth" else 0)
        job.threads = threads
        status = session.lib.jpeg_read(ctypes.byref(job), _READ_SCALED[scale] + session.memory)
        if status < 0:
            session.fail(status, image)
        return image, session.metadata().orientation


def read_bytes(source, mode=None, scale=1, region=None, fast_dct=False, upsample="smooth",
               threads=1):
    """Decodes the JPEG into an Image(data, width, height, channels): data a
    bytearray of rows top to bottom, `channels` bytes a pixel.

    mode: "RGB", "BGR", "L" (grey), "RGBA" or "CMYK"; by default "L" for a
    grey file, "CMYK" for a four-component one, "RGB" otherwise.
    scale: 1, 2, 4 or 8, the image decoded at 1/scale size.
    region: (left, top, right, bottom) in pixels of the scaled image, right
    and bottom exclusive; only that part is decoded.
    fast_dct: the faster, slightly less accurate inverse transform.
    upsample: "smooth" (the default) interpolates subsampled chroma, as djpeg
    and Pillow do; "fast" repeats it.
    threads: up to this many threads decode the image (the pixels are one
    thread's); a region takes one thread.
    A damaged or truncated file raises JpegError with the image as far as it
    was decoded (grey where data were missing) in `partial`."""

    def allocate(width, height, channels):
        # Grey where a damaged file leaves pixels undecoded.
        data = bytearray(b"\x80") * (width * height * channels)
        image = Image(data, width, height, channels)
        return image, ctypes.addressof((ctypes.c_uint8 * len(data)).from_buffer(data))

    return _decode(source, mode, scale, region, fast_dct, upsample, allocate, threads)[0]


def read(source, mode=None, scale=1, region=None, fast_dct=False, orient=False, upsample="smooth",
         threads=1):
    """Decodes the JPEG into a NumPy uint8 array: rows x columns for "L",
    rows x columns x channels otherwise. Arguments and errors as for
    read_bytes (`partial` an array).
    orient: False (as Pillow and torchvision read) keeps the stored order of
    the pixels; True turns or mirrors them as the EXIF orientation says,
    as a viewer shows the photo (a region is taken from the stored image)."""
    import numpy

    def allocate(width, height, channels):
        shape = (height, width) if channels == 1 else (height, width, channels)
        array = numpy.full(shape, 128, dtype=numpy.uint8)
        return array, array.ctypes.data

    array, orientation = _decode(source, mode, scale, region, fast_dct, upsample, allocate, threads)
    return _oriented(array, orientation) if orient else array


def _whole_number(name, value, low, high):
    """`value` as an int from low to high, or ValueError (TypeError for a
    value that is no whole number): never wrapped to 32 bits."""
    if isinstance(value, bool) or not isinstance(value, int):
        try:
            import numbers

            if not isinstance(value, numbers.Integral):
                raise TypeError
            value = int(value)
        except TypeError:
            raise TypeError("jpegcodec: %s must be a whole number, not %r" % (name, value)) from None
    if not low <= value <= high:
        raise ValueError("jpegcodec: %s must be %d to %d, not %d" % (name, low, high, value))
    return value


def _block(name, value):
    """Bytes-like metadata as bytes (None: none)."""
    if value is None:
        return b""
    if isinstance(value, str):
        raise TypeError("jpegcodec: %s takes bytes, not str" % name)
    try:
        return bytes(memoryview(value))
    except TypeError:
        raise TypeError("jpegcodec: %s takes bytes, not %s" % (name, type(value).__name__)) from None


def write(image, width=None, height=None, channels=None, quality=75, subsampling="4:2:0",
          optimize=False, progressive=False, restart_interval=0, path=None, mode=None,
          icc_profile=None, exif=None, xmp=None, threads=1):
    """Encodes an image as JPEG and returns the file's bytes (and writes them
    to `path` when given).

    image: a NumPy uint8 array (rows x columns, or rows x columns x 1, 3 or
    4) or bytes with width, height and channels given. One channel makes a
    grey JPEG, three (RGB) a YCbCr one with the given subsampling
    ("4:4:4", "4:2:2" or "4:2:0"), four a CMYK one, which mode="CMYK" must ask for (an RGBA array has no
    JPEG form: drop its alpha, image[..., :3]).
    quality: 1 to 100.
    optimize: Huffman tables made for the image (smaller, slower).
    progressive: a progressive JPEG. restart_interval: MCUs between restart
    markers, 0 (none) to 65535. Values out of range raise ValueError.
    threads: up to this many threads write the file (the bytes are one
    thread's).
    icc_profile, exif, xmp: bytes the file carries, as metadata() gives them
    and Pillow takes them: an ICC profile (in as many APP2 chunks as it
    needs), an EXIF block (with or without its "Exif\\0\\0"; up to 65533
    bytes with it) and an XMP packet (up to 65504 bytes)."""
    quality = _whole_number("quality", quality, 1, 100)
    icc_profile, exif, xmp = (_block(n, v) for n, v in (("icc_profile", icc_profile), ("exif", exif), ("xmp", xmp)))
    # What the segments hold: an EXIF block or an XMP packet one each, a
    # profile up to 255.
    most = {"icc_profile": 65519 * 255, "exif": 65533 if exif.startswith(b"Exif\0\0") else 65527, "xmp": 65504}
    for name, block in (("icc_profile", icc_profile), ("exif", exif), ("xmp", xmp)):
        if len(block) > most[name]:
            raise ValueError("jpegcodec: %s of %d bytes; a JPEG holds at most %d" % (name, len(block), most[name]))
    blocks = _WriteMetadata(exif, len(exif), icc_profile, len(icc_profile), xmp, len(xmp))
    restart_interval = _whole_number("restart_interval", restart_interval, 0, 65535)
    threads = _whole_number("threads", threads, 1, 1024)
    if mode not in (None, "L", "RGB", "CMYK"):
        raise ValueError("jpegcodec: mode must be \"L\", \"RGB\" or \"CMYK\", not %r" % (mode,))
    if hasattr(image, "shape"):
        import numpy

        # The array's own memory when it is laid out as rows (no copy).
        array = numpy.ascontiguousarray(image)
        if array.dtype != numpy.uint8 or array.ndim not in (2, 3):
            raise ValueError("jpegcodec: write takes a uint8 array of rows x columns (x channels)")
        height, width = array.shape[:2]
        channels = 1 if array.ndim == 2 else array.shape[2]
        data = array
    else:
        if width is None or height is None or channels is None:
            raise ValueError("jpegcodec: bytes need width, height and channels")
        width = _whole_number("width", width, 1, 65535)
        height = _whole_number("height", height, 1, 65535)
        channels = _whole_number("channels", channels, 1, 4)
        data = memoryview(image).cast("B")
        if data.nbytes != width * height * channels:
            raise ValueError("jpegcodec: %d bytes are not %dx%dx%d" % (data.nbytes, width, height, channels))
    if channels not in (1, 3, 4):
        raise ValueError("jpegcodec: an image of 1, 3 or 4 channels, not %d" % channels)
    if not (1 <= width <= 65535 and 1 <= height <= 65535):
        raise ValueError("jpegcodec: a JPEG is 1 to 65535 pixels a side, not %dx%d" % (width, height))
    if channels == 4 and mode != "CMYK":
        raise ValueError("jpegcodec: four channels are written as CMYK only when mode=\"CMYK\" says "
                         "so; for RGBA, write image[..., :3]")
    expected = {1: "L", 3: "RGB", 4: "CMYK"}[channels]
    if mode is not None and mode != expected:
        raise ValueError("jpegcodec: mode %r does not fit an image of %d channels" % (mode, channels))
    if subsampling not in _SUB_CODES:
        raise ValueError("jpegcodec: subsampling must be 4:4:4, 4:2:2 or 4:2:0, not %r" % (subsampling,))
    with _Session() as session:
        lib, job = session.lib, session.job
        size = width * height * channels
        if hasattr(data, "ctypes"):
            pixels = data
            job.out_pixels = data.ctypes.data
        elif data.readonly:
            # bytes: the codec only reads them, from their own memory.
            pixels = data.obj if isinstance(data.obj, bytes) else bytes(data)
            job.out_pixels = ctypes.cast(ctypes.c_char_p(pixels), ctypes.c_void_p).value
        else:
            pixels = (ctypes.c_uint8 * size).from_buffer(data)
            job.out_pixels = ctypes.addressof(pixels)
        job.out_width = job.jpeg_width = width
        job.out_height = job.jpeg_height = height
        job.out_channels = channels
        job.quality = quality
        if channels == 1:
            job.out_color = job.jpeg_color = _COLOR_GRAY
            job.jpeg_channels, job.jpeg_subsampling = 1, _SUB_CODES["4:4:4"]
        elif channels == 4:
            job.out_color = job.jpeg_color = _COLOR_FOUR
            job.jpeg_channels, job.jpeg_subsampling = 4, _SUB_CODES["4:4:4"]
        else:
            job.out_color, job.jpeg_color = _COLOR_RGB, _COLOR_YCBCR
            job.jpeg_channels, job.jpeg_subsampling = 3, _SUB_CODES[subsampling]
        job.write_optimize = 1 if optimize else 0
        job.write_progressive = 1 if progressive else 0
        job.write_restart_interval = restart_interval
        job.threads = threads
        if icc_profile or exif or xmp:
            status = lib.jpeg_set_metadata(ctypes.byref(job), ctypes.byref(blocks))
            if status < 0:
                session.fail(status)
        # Room for the file: rarely more than the pixels; doubled when short.
        # Left uninitialised, so that only the pages written are ever taken.
        import numpy

        room = size + size // 2 + 65536
        while True:
            room = min(room, 0x7FFFFFFF)
            out = numpy.empty(room, dtype=numpy.uint8)
            job.jpeg_buffer, job.jpeg_buffer_size = out.ctypes.data, room
            status = lib.jpeg_write(ctypes.byref(job), _WRITE_IMAGE + 1)
            if status != _OUTPUT_TOO_SMALL or room == 0x7FFFFFFF:
                break
            room *= 2
        if status < 0:
            session.fail(status)
        result = out[: job.jpeg_buffer_size].tobytes()
        del pixels
    if path is not None:
        with open(path, "wb") as f:
            f.write(result)
    return result


_TRANSFORMS = {None: 0, "flip_horizontal": 1, "flip_vertical": 2, "transpose": 3, "transverse": 4,
               90: 5, 180: 6, 270: 7}
_COPY = {"none": 0, "comments": 1, "all": 2}


def transform(source, rotate=None, flip=None, transpose=False, transverse=False, auto_orient=False,
              crop=None, grayscale=False, trim=False, perfect=False, copy="comments", optimize=False,
              progressive=False, restart_rows=0, force=False, threads=1, path=None):
    """Turns, mirrors, transposes or crops a JPEG without decoding it to
    pixels (nothing is lost) and returns the new file's bytes (and writes
    them to `path` when given), as jpegxform does.

    source: a file name, bytes or a binary file object.
    rotate: 90, 180 or 270 (clockwise); flip: "horizontal" or "vertical";
    transpose, transverse: mirrors across a diagonal; auto_orient: the turn
    the EXIF orientation asks for, and the orientation set to 1. One of
    them at most.
    crop: (left, top, right, bottom) of the transformed image, as read()'s
    region; the corner moves up and left to the MCU grid (8 or 16 pixels).
    grayscale: the luma alone. trim: drop a partial MCU at an edge a mirror
    cannot move (otherwise it stays where it was); perfect: raise instead.
    copy: "none", "comments" (the default) or "all" (with EXIF, ICC and XMP).
    optimize, progressive, restart_rows: how the result is written.
    force: a damaged source's file is returned as far as it was read (a
    JpegError is raised otherwise). Bad requests raise ValueError or
    JpegError."""
    kinds = [k for k, given in ((rotate, rotate is not None), (flip, flip is not None),
                                ("transpose", transpose), ("transverse", transverse),
                                ("auto", auto_orient)) if given]
    if len(kinds) > 1:
        raise ValueError("jpegcodec: rotate, flip, transpose, transverse and auto_orient exclude each "
                         "other: give one")
    request = _Transform()
    if rotate is not None:
        if rotate not in (90, 180, 270):
            raise ValueError("jpegcodec: rotate must be 90, 180 or 270, not %r" % (rotate,))
        request.kind = _TRANSFORMS[rotate]
    if flip is not None:
        if flip not in ("horizontal", "vertical"):
            raise ValueError("jpegcodec: flip must be \"horizontal\" or \"vertical\", not %r" % (flip,))
        request.kind = _TRANSFORMS["flip_" + flip]
    if transpose:
        request.kind = _TRANSFORMS["transpose"]
    if transverse:
        request.kind = _TRANSFORMS["transverse"]
    request.auto_orient = 1 if auto_orient else 0
    if crop is not None:
        left, top, right, bottom = (int(v) for v in crop)
        if not (0 <= left < right <= 65535 and 0 <= top < bottom <= 65535):
            raise ValueError("jpegcodec: crop (left, top, right, bottom) must hold a box, not %r"
                             % (tuple(crop),))
        request.crop_x, request.crop_y = left, top
        request.crop_width, request.crop_height = right - left, bottom - top
    if copy not in _COPY:
        raise ValueError("jpegcodec: copy must be \"none\", \"comments\" or \"all\", not %r" % (copy,))
    request.copy = _COPY[copy]
    request.grayscale, request.trim, request.perfect = (1 if v else 0 for v in (grayscale, trim, perfect))
    request.restart_rows = _whole_number("restart_rows", restart_rows, 0, 65535)
    request.force = 1 if force else 0
    threads = _whole_number("threads", threads, 1, 1024)
    with _Session(source) as reading, _Session() as writing:
        lib, job = writing.lib, writing.job
        job.write_optimize = 1 if optimize else 0
        job.write_progressive = 1 if progressive else 0
        job.threads = threads
        # Room for the file: the source's size twice over, doubled when short.
        known = reading.job.jpeg_buffer_size if reading.memory else os.path.getsize(reading.path)
        room = 2 * known + 65536
        while True:
            room = min(room, 0x7FFFFFFF)
            out = (ctypes.c_uint8 * room)()
            job.jpeg_buffer, job.jpeg_buffer_size = ctypes.addressof(out), room
            status = lib.jpeg_transform(ctypes.byref(reading.job), _READ_IMAGE + reading.memory,
                                        ctypes.byref(job), _WRITE_IMAGE + 1, ctypes.byref(request))
            if status != _OUTPUT_TOO_SMALL or room == 0x7FFFFFFF:
                break
            room *= 2
        result = bytes(out[: job.jpeg_buffer_size]) if request.written else None
        if status < 0:
            if status == _INVALID_FILE_NAME and not reading.memory:
                with open(reading.path, "rb"):
                    pass
            writing.fail(status, partial=result)
    if path is not None:
        with open(path, "wb") as f:
            f.write(result)
    return result

