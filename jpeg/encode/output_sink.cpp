// The output sink: takes the encoder's bytes, writes them to the file or
// the caller's buffer. Called by the encoder.

#include "jpeg/encode/output_sink.h"

#include <cstring>

#include "jpeg/cpu/file_io.h"

namespace jpegcodec {

JpegStatus sink_write_portable(OutputSink* sink, const uint8_t* bytes, size_t count) {
  if (sink->file != nullptr) {
    while (count > 0) {
      const uint32_t piece = count > (1u << 30) ? (1u << 30) : static_cast<uint32_t>(count);
      uint32_t done = 0;
      if (file_write(sink->file, bytes, piece, &done) == 0 || done == 0) return JpegFileError;
      bytes += done;
      count -= done;
      sink->written += done;
    }
    return JpegSuccess;
  }
  if (static_cast<int64_t>(count) > sink->capacity - sink->written) return JpegOutputTooSmall;
  std::memcpy(sink->buffer + sink->written, bytes, count);
  sink->written += static_cast<int64_t>(count);
  return JpegSuccess;
}

JpegStatus sink_flush(OutputSink* sink, SinkWriteFn write) {
  const size_t held = static_cast<size_t>(sink->next - sink->staging);
  if (sink->status == JpegSuccess && held > 0) sink->status = write(sink, sink->staging, held);
  sink->next = sink->staging;
  return sink->status;
}

bool sink_room(OutputSink* sink, size_t bytes, SinkWriteFn write) {
  if (static_cast<size_t>(sink->end - sink->next) < bytes) sink_flush(sink, write);
  return sink->status == JpegSuccess;
}

}  // namespace jpegcodec
