// What photographs carry beside the image: the EXIF block (APP1 "Exif"),
// the ICC colour profile (APP2 "ICC_PROFILE", in numbered chunks) and the
// XMP packet (APP1 with the XMP namespace), collected while the segments
// are read, and the EXIF orientation; and what a caller asks the job's
// writes to carry.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// How the blocks are marked in their segments, for the reader and the
// writer alike: "Exif\0\0" before an EXIF block; the XMP namespace and its
// zero byte before a packet; "ICC_PROFILE\0", the chunk's number and the
// count before each chunk of a profile. A segment holds 65533 bytes after
// its length field.
inline constexpr uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
inline constexpr char kXmpNamespace[] = "http://ns.adobe.com/xap/1.0/";
inline constexpr char kIccName[] = "ICC_PROFILE";
inline constexpr int32_t kIccChunkHeader = 14;
inline constexpr int32_t kSegmentPayload = 65533;
inline constexpr int32_t kIccChunkBytes = kSegmentPayload - kIccChunkHeader;
inline constexpr int32_t kXmpPacketBytes = kSegmentPayload - int32_t{sizeof kXmpNamespace};

// Reads an APP1 or APP2 segment (`marker` 0xE1 or 0xE2): keeps what it
// carries of the above; anything else is passed over. Broken metadata are
// dropped, never an error of the read; only data that cannot be fetched
// end the read (-21), as any segment's.
JpegStatus read_app_metadata(JPEG_PROPERTIES* properties, int32_t marker);

// Forgets what the last read collected (each read collects afresh).
void forget_metadata(JPEG_PROPERTIES* properties);
// Frees the store (jpeg_free).
void free_metadata(JPEG_PROPERTIES* properties);

// Keeps a copy of what later writes carry (null: nothing), the request
// checked by the caller: 0, or -5 (the earlier request is gone then too).
JpegStatus keep_write_metadata(JPEG_PROPERTIES* properties, const JpegWriteMetadata* request);
// The kept request, or null; valid until the next keep_write_metadata.
const JpegWriteMetadata* write_metadata(JPEG_PROPERTIES* properties);

// Puts the ICC profile together from its chunks, once: 0, or -5.
JpegStatus prepare_metadata(JPEG_PROPERTIES* properties);

// What the last read found: pointers into the codec's store, valid until the
// job's next read or jpeg_free. The ICC profile is reassembled from its
// chunks here (absent unless every chunk came once, numbered 1 to their
// count); the orientation is that of the EXIF block's first directory, 1
// when absent or outside 1 to 8.
void describe_metadata(JPEG_PROPERTIES* properties, JpegMetadata* out);

// The orientation tag (0x0112) of an EXIF block (the APP1 payload from its
// "Exif\0\0"), or 0 when there is none or the block is broken.
int32_t exif_orientation(const uint8_t* exif, int32_t size);
// Writes `orientation` (1 to 8) into that tag; false when there is none.
bool set_exif_orientation(uint8_t* exif, int32_t size, int32_t orientation);
// Writes the image's size into the Exif directory's PixelXDimension and
// PixelYDimension tags where the block has them (a SHORT holds up to
// 65535): a transform that turns or crops the image says so.
void set_exif_dimensions(uint8_t* exif, int32_t size, int32_t width, int32_t height);

}  // namespace jpegcodec
