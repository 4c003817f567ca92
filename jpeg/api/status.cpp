// Status texts and the version record.

#include "jpeg/api/jpegcodec.h"

#include <string.h>

namespace {

// Texts of the codes -30 to 2, indexed by code + 30.
constexpr const char* kTexts[] = {
    "Error access to jpeg_comment buffer",  // -30
    "Unsupported frame was found",          // -29
    "Output buffer too small",              // -28
    "Thumbnail has wrong color",            // -27
    "Thumbnail too small",                  // -26
    "Bad RST marker",                       // -25
    "Internal error",                       // -24
    "File error",                           // -23
    "No image",                             // -22
    "Data error",                           // -21
    "Multiply frame",                       // -20
    "No frame",                             // -19
    "No Quantization table",                // -18
    "No Huffman table",                     // -17
    "Error DNL",                            // -16
    "Error SOF",                            // -15
    "Error COMP",                           // -14
    "Not JPEG",                             // -13
    "Not supported",                        // -12
    "Error EOF",                            // -11
    "Invalid file name",                    // -10
    "Error close file",                     // -9
    "Invalid JPEG_PROPERTIES",              // -8
    "Bad Quantization table",               // -7
    "Bad Huffman table",                    // -6
    "Memory error",                         // -5
    "Unsupported bytes per pixel",          // -4
    "Unsupported subsampling",              // -3
    "Invalid Encoder",                      // -2
    "Exception detected",                   // -1
    "Success",                              // 0
    "Interrupt Success",                    // 1
    "ROI Success",                          // 2
};
static_assert(sizeof kTexts / sizeof kTexts[0] == 33);

constexpr JpegVersion kVersion = {
    1, 51, 12, "libjpegcodec.so", "1.51.12", "[1.51.12.44]", "May 30 2001", "Microsoft*",
};

}  // namespace

extern "C" const char* jpeg_status_text(JpegStatus status) {
  if (status == JpegReserved) return "Reserved";
  if (status < -30 || status > 2) return "Unknown error code";
  return kTexts[status + 30];
}

extern "C" const JpegVersion* jpeg_version(void) {
  return &kVersion;
}

extern "C" const char* jpeg_status_detail(const JpegJob* job) {
  if (job == nullptr) return "";
  // The text ends inside its buffer whatever the record holds.
  return memchr(job->status_detail, 0, sizeof job->status_detail) != nullptr ? job->status_detail
                                                                             : "";
}
