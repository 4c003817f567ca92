"""A small ICC profile that names itself, as the tool tests need one: a
header libpng takes (size, version 2.1, a monitor's RGB profile to XYZ,
"acsp", the D50 illuminant) and one 'desc' tag, as ICC v2 writes it
(kind b"desc") or v4 (b"mluc")."""

import struct


def profile(kind, text):
    if kind == b"desc":
        body = b"desc\0\0\0\0" + struct.pack(">I", len(text) + 1) + text + b"\0" + b"\0" * 79
    else:
        utf16 = text.decode().encode("utf-16-be")
        body = b"mluc\0\0\0\0" + struct.pack(">II", 1, 12) + b"enUS" + struct.pack(">II", len(utf16), 28) + utf16
    data = struct.pack(">I", 1) + b"desc" + struct.pack(">II", 144, len(body)) + body
    header = bytearray(128)
    struct.pack_into(">I", header, 0, 128 + len(data))
    header[8:12] = b"\x02\x10\0\0"
    header[12:24] = b"mntrRGB XYZ "
    header[36:40] = b"acsp"
    struct.pack_into(">iii", header, 68, 0xF6D6, 0x10000, 0xD32D)
    return bytes(header) + data
