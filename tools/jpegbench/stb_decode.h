// stb_image's decoder, when jpegbench is built with it.
#pragma once

#include <cstddef>
#include <cstdint>

// CPU seconds of this thread for one whole decode into `channels` bytes a
// pixel, or -1 when stb_image refuses the data.
double stb_decode_seconds(const uint8_t* data, size_t size, int channels);
