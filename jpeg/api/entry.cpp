// The entry operations jpeg_init, jpeg_free, jpeg_read and jpeg_metadata
// (jpeg_write and jpeg_set_metadata are in write.cpp).
//
// Each runs its body under the fault guard (guard.h). The bodies are plain
// code over the job record, which owns everything the codec allocates, so
// that the clean-up after a fault finds it all there.

#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "jpeg/stream/io_types.h"

#include "jpeg/api/jpegcodec.h"
#include "jpeg/api/operation.h"
#include "jpeg/api/routines.h"
#include "jpeg/api/validate.h"
#include "jpeg/cpu/cpu.h"
#include "jpeg/cpu/file_io.h"
#include "jpeg/cpu/guard.h"
#include "jpeg/cpu/memory.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/scan.h"
#include "jpeg/decode/smooth_output.h"
#include "jpeg/drive/continuation.h"
#include "jpeg/drive/output_setup.h"
#include "jpeg/drive/read.h"
#include "jpeg/encode/encoder.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/metadata.h"
#include "jpeg/stream/parser.h"
#include "jpeg/stream/tables.h"

// The entry operations are the C interface; everything they call is the
// codec's own.
using namespace jpegcodec;

namespace {

constexpr int32_t kDefaultMaxCoefMegabytes = 1024;

// Frees what the codec allocated inside the properties (not the routine table).
void free_codec_state(JPEG_PROPERTIES* p) {
  free(p->frame.components);
  p->frame.components = nullptr;
  codec_free_large(p->coef_buffer);
  p->coef_buffer = nullptr;
  p->coef_buffer_bytes = 0;
  free(p->mcu_buffer);
  p->mcu_buffer = nullptr;
  p->mcu_samples = nullptr;
  free(p->skip_tables);
  p->skip_tables = nullptr;
  free_smoothing(p);
  free_restart_index(p);
  free_scan_header(p->saved_scan);
  p->saved_scan = nullptr;
  free(p->kept_tables);
  p->kept_tables = nullptr;
  free_metadata(p);
}

void free_routine_table(JPEG_PROPERTIES* p) {
  if (p->routines != nullptr) release(p->routines);
  free(p->routines);
  p->routines = nullptr;
  p->stream.routines = nullptr;
}

void close_open_file(JPEG_PROPERTIES* p) {
  if (p->stream.file != nullptr) {
    file_close(p->stream.file);
    p->stream.file = nullptr;
  }
}

}  // namespace

void jpegcodec::end_of_scan(JPEG_PROPERTIES* p) {
  if (p->routines != nullptr && p->routines->end_of_scan != nullptr) p->routines->end_of_scan();
}

namespace {

void set_public_defaults(JpegJob* job) {
  job->use_properties = 0;
  job->out_pixels = nullptr;
  job->out_width = 0;
  job->out_height = 0;
  job->out_pad = 0;
  job->out_channels = 3;
  job->out_color = ColorBgr;
  job->out_subsampling = Sub444;
  job->file_name = nullptr;
  job->jpeg_buffer = nullptr;
  job->jpeg_buffer_size = 0;
  job->jpeg_width = 0;
  job->jpeg_height = 0;
  job->jpeg_channels = 3;
  job->jpeg_color = ColorYcbcr;
  job->jpeg_subsampling = Sub420;
  job->thumb_width = 0;
  job->thumb_height = 0;
  job->convert_color = 1;
  job->upsample = 1;
  job->quality = 75;
}

}  // namespace

// The fields a read or write takes from the caller.
void jpegcodec::copy_request_fields(const JpegJob* job, JPEG_PROPERTIES* p, bool packed_line) {
  p->out_pixels = job->out_pixels;
  p->out_width = job->out_width;
  p->out_height = job->out_height;
  p->out_pad = job->out_pad;
  p->out_channels = job->out_channels;
  p->out_color = job->out_color;
  p->out_subsampling = job->out_subsampling;
  p->file_name = job->file_name;
  p->jpeg_buffer = job->jpeg_buffer;
  p->jpeg_buffer_size = job->jpeg_buffer_size;
  p->jpeg_color = job->jpeg_color;
  p->convert_color = job->convert_color;
  p->upsample = job->upsample;
  p->quality = job->quality;
  p->threads = job->threads;
  // Computed wide: requests that need no image (header reads, tables-only
  // writes) are not validated, and their fields may hold anything. A line
  // that does not fit is never used (an image request with one is refused).
  const int64_t pixel_bytes = packed_line ? 2 : p->out_channels;
  const int64_t line = int64_t{p->out_width} * pixel_bytes + p->out_pad;
  const bool fits = line >= -INT32_MAX && line <= INT32_MAX;
  p->out_line_bytes = !fits ? 0 : static_cast<int32_t>(p->out_height < 0 ? -line : line);
}

namespace {

// The working copies of every public field, as jpeg_init makes them.
void copy_all_public_fields(const JpegJob* job, JPEG_PROPERTIES* p) {
  copy_request_fields(job, p, false);
  p->out_line_bytes = 0;
  p->jpeg_width = job->jpeg_width;
  p->jpeg_height = job->jpeg_height;
  p->jpeg_channels = job->jpeg_channels;
  p->jpeg_subsampling = job->jpeg_subsampling;
  p->thumb_width = job->thumb_width;
  p->thumb_height = job->thumb_height;
}

void clear_table_exchange(JPEG_PROPERTIES* p) {
  p->caller_quant_tables = 0;
  p->caller_huff_tables = 0;
  memset(p->quant_exchange, 0, sizeof p->quant_exchange);
  memset(p->huff_exchange, 0, sizeof p->huff_exchange);
}

constexpr uint32_t kInitialised = 0x4A504547;  // "JPEG"

JpegStatus init_body(JpegJob* job) {
  JPEG_PROPERTIES* p = &job->properties;
  // Initialised before and not freed: release that first.
  if (p->initialised == kInitialised && p->routines != nullptr) {
    close_open_file(p);
    free_codec_state(p);
    free_routine_table(p);
  }
  p->initialised = 0;
  // Codec pointers start null, so that a failure below frees only what this
  // call allocated.
  p->routines = nullptr;
  p->frame.components = nullptr;
  p->coef_buffer = nullptr;
  p->mcu_buffer = nullptr;
  p->mcu_samples = nullptr;
  p->skip_tables = nullptr;
  p->smooth_rows = nullptr;
  p->restart_index = nullptr;
  p->saved_scan = nullptr;
  p->kept_tables = nullptr;
  p->metadata = nullptr;
  p->stream.file = nullptr;

  // The routine table, filled for this processor.
  p->routines = static_cast<RoutineTable*>(codec_calloc(1, sizeof(RoutineTable)));
  if (p->routines == nullptr) return JpegMemoryError;
  const CpuKind kind = configure(p->routines);
  fill_routine_table(p->routines, kind);

  // Public defaults and their working copies.
  set_public_defaults(job);
  copy_all_public_fields(job, p);
  p->io_type = -1;
  p->roi_left = p->roi_top = p->roi_right = p->roi_bottom = 0;
  p->dct_family = 1;
  p->output_layout = 0;
  p->interrupt_mode = 0;
  clear_table_exchange(p);
  clear_table_statistics(p);
  p->single_scan_blocks = 0;
  p->mcus_per_row = 0;
  p->mcu_rows = 0;

  // Decoder tables, frame, scan state and input stream.
  for (QuantTable& table : p->quant_tables) {
    table.precision = 0;
    memset(table.storage, 0, sizeof table.storage);
    table.values = table.storage;
  }
  memset(p->ac_tables, 0, sizeof p->ac_tables);
  memset(p->dc_tables, 0, sizeof p->dc_tables);
  memset(p->scan_ac_selectors, 0, sizeof p->scan_ac_selectors);
  memset(p->scan_dc_selectors, 0, sizeof p->scan_dc_selectors);
  memset(&p->frame, 0, sizeof p->frame);
  p->frame.component_count = 4;  // the encoder's default
  p->frame.components = static_cast<FrameComponent*>(codec_calloc(4, sizeof(FrameComponent)));
  if (p->frame.components == nullptr) return JpegMemoryError;
  for (int i = 0; i < 4; ++i) p->frame.components[i].quant_index = i == 0 ? 0 : 1;
  p->first_pass = 1;
  p->restart_interval = 0;
  p->dc_final_count = 0;
  p->ac_final_count = 0;
  p->quant_defined = 0;
  p->huff_defined = 0;
  p->put_back_bytes = 0;
  p->max_coef_megabytes = kDefaultMaxCoefMegabytes;
  p->progressive_scans = 0;
  p->progressive_frame = 0;
  p->smooth_upsampling = 0;
  p->coef_output = nullptr;
  p->adobe_seen = 0;
  p->adobe_transform = 0;
  memset(&p->stream, 0, sizeof p->stream);
  p->stream.routines = p->routines;
  p->cpu_kind = kind;
  p->stream.cpu_kind = p->cpu_kind;

  // JFIF and Adobe defaults, no comment buffer.
  p->jfif_seen = 0;
  p->jfif_version = 0x0101;
  p->density_units = 0;
  p->x_density = 1;
  p->y_density = 1;
  p->adobe_version = 100;
  p->adobe_flags0 = 0;
  p->adobe_flags1 = 0;
  p->jpeg_comment = nullptr;
  p->jpeg_comment_size = 0;
  p->continuation = 0;
  p->comment_delivered = 0;
  p->reported_jpeg_color = 0;
  p->reported_jpeg_channels = 0;
  p->prefill_pending = 0;
  p->initialised = kInitialised;
  return JpegSuccess;
}

void init_cleanup(JpegJob* job) {
  free_codec_state(&job->properties);
  free_routine_table(&job->properties);
}

JpegStatus free_body(JpegJob* job) {
  JPEG_PROPERTIES* p = &job->properties;
  JpegStatus status = JpegSuccess;
  if (p->stream.file != nullptr) {
    const bool closed = file_close(p->stream.file) != 0;
    p->stream.file = nullptr;
    if (!closed) status = JpegCloseFileError;
  }
  if (status == JpegSuccess && p->frame.component_count >= 256) status = JpegInvalidProperties;
  if (status == JpegSuccess) {
    free_codec_state(p);
    p->frame.component_count = 0;
    clear_table_exchange(p);
    clear_table_statistics(p);
  }
  free_routine_table(p);
  p->initialised = 0;
  return status;
}

// Where the parse left a file: back over the bytes read ahead into the
// stream's buffer but not parsed, and over what the parse put back (the
// scan header of a parameter read, the frame marker of a table read).
JpegStatus rewind_file_to_parse_end(JPEG_PROPERTIES* p) {
  const int64_t back =
      int64_t{p->stream.available > 0 ? p->stream.available : 0} + p->put_back_bytes;
  if (file_seek(p->stream.file, -back, 1) == 0) return JpegFileError;
  p->stream.end_of_file = 0;
  p->stream.available = 0;
  p->stream.next = p->stream.data_end;
  return JpegSuccess;
}

int32_t subsampling_code(const FrameHeader& frame) {
  const FrameComponent* c = frame.components;
  auto is = [](const FrameComponent& component, int h, int v) {
    return component.h == h && component.v == v;
  };
  switch (frame.component_count) {
    case 1:
      return Sub444;
    case 2:
      return is(c[0], 1, 1) && is(c[1], 1, 1) ? Sub444 : SubOther;
    case 3:
      if (!is(c[1], 1, 1) || !is(c[2], 1, 1)) return SubOther;
      if (is(c[0], 1, 1)) return Sub444;
      if (is(c[0], 2, 2)) return Sub420;
      if (is(c[0], 2, 1)) return Sub422;
      return SubOther;
    case 4:
      if (!is(c[1], 1, 1) || !is(c[2], 1, 1) || c[0].h != c[3].h || c[0].v != c[3].v) {
        return SubOther;
      }
      if (is(c[0], 1, 1)) return Sub444;
      if (is(c[0], 2, 2)) return Sub420Alpha;
      if (is(c[0], 2, 1)) return Sub422Alpha;
      return SubOther;
    default:
      return SubOther;
  }
}

// The end of a read whose parse ended with 0: the data's colours, the file
// left where the parse stopped, and the results copied back to the caller.
JpegStatus finish_read(JpegJob* job, int32_t type) {
  JPEG_PROPERTIES* p = &job->properties;
  // What the colour of the data must be; an Adobe segment also says how
  // many channels a caller's image needs.
  deduce_jpeg_color(p, true);
  if (p->adobe_seen && (type == IoReadParamsFile || type == IoReadParamsBuffer)) {
    p->out_channels = p->jpeg_channels;
    if (p->jpeg_channels == 4) p->out_color = ColorFourChannel;
  }
  // YCbCr to YCbCr output is packed 4:2:2.
  if (p->out_color == ColorYcbcr && p->jpeg_color == ColorYcbcr) p->out_subsampling = Sub422;

  // Leave an open file where the parse stopped, or a buffer's data start.
  switch (type) {
    case IoReadParamsFile:
    case IoReadTablesFile:
    case IoReadAbbreviatedFile:
    case IoReadHalfFile:
    case IoReadQuarterFile:
    case IoReadEighthFile:
    case IoReadThumbnailFile:
      if (rewind_file_to_parse_end(p) != JpegSuccess) return JpegFileError;
      break;
    case IoReadParamsBuffer:
    case IoReadThumbnailBuffer:
      p->stream.data_start = p->stream.next - p->put_back_bytes;
      break;
    default:
      break;
  }

  // Results to the caller.
  p->jpeg_subsampling = subsampling_code(p->frame);
  job->jpeg_width = p->jpeg_width;
  job->jpeg_height = p->jpeg_height;
  job->jpeg_channels = p->jpeg_channels;
  job->thumb_width = p->thumb_width;
  job->thumb_height = p->thumb_height;
  job->convert_color = p->convert_color;
  job->upsample = p->upsample;
  job->jpeg_color = p->jpeg_color;
  job->out_color = p->out_color;
  job->out_channels = p->out_channels;
  job->jpeg_subsampling = p->jpeg_subsampling;
  p->reported_jpeg_color = p->jpeg_color;
  p->reported_jpeg_channels = p->jpeg_channels;

  // Whole-image, table and abbreviated reads end with the file closed.
  if (type == IoReadImageFile || type == IoReadTablesFile || type == IoReadAbbreviatedFile) {
    const bool closed = file_close(p->stream.file) != 0;
    p->stream.file = nullptr;
    if (!closed) return JpegCloseFileError;
  }
  return JpegSuccess;
}

// A region must be a rectangle: edges of 0 on the right or at the bottom
// reach the image's edge, anything else must lie past its opposite edge.
JpegStatus check_region_request(const JPEG_PROPERTIES* p) {
  if (!region_requested(p)) return JpegSuccess;
  if (p->roi_right < 0 || p->roi_bottom < 0) return JpegInvalidProperties;
  if (p->roi_right != 0 && p->roi_left >= p->roi_right) return JpegInvalidProperties;
  if (p->roi_bottom != 0 && p->roi_top >= p->roi_bottom) return JpegInvalidProperties;
  return JpegSuccess;
}

// Forgets everything a read learnt from its data. The tables of a tables
// read stay until jpeg_free: every read starts with them (an abbreviated
// image is read at any scale, in regions, and its parameters too). Without
// one, an abbreviated image read keeps whatever tables the job holds.
void forget_data(JPEG_PROPERTIES* p, int32_t type) {
  free_scan_header(p->saved_scan);
  p->saved_scan = nullptr;
  p->continuation = kNothing;
  reset_restart_index(p);
  p->first_pass = 1;
  p->progressive_scans = 0;
  p->progressive_frame = 0;
  p->scanned_components = 0;
  p->dc_final_count = 0;
  p->ac_final_count = 0;
  p->image_output_done = 0;
  p->single_scan_blocks = 0;
  p->restart_interval = 0;
  if (!restore_kept_tables(p) && type != IoReadAbbreviatedFile && type != IoReadAbbreviatedBuffer) {
    p->quant_defined = 0;
    p->huff_defined = 0;
  }
  forget_metadata(p);
  p->jfif_seen = 0;
  p->jfif_version = 0x0101;
  p->density_units = 0;
  p->x_density = 1;
  p->y_density = 1;
  p->adobe_seen = 0;
  p->adobe_transform = 0;
  p->adobe_version = 100;
  p->adobe_flags0 = 0;
  p->adobe_flags1 = 0;
  p->thumb_width = 0;
  p->thumb_height = 0;
  // The frame as jpeg_init leaves it, until this data's frame header.
  memset(&p->frame, 0, offsetof(FrameHeader, components));
  p->frame.component_count = 4;
  for (int i = 0; i < 4; ++i) {
    p->frame.components[i] = FrameComponent{0, 0, 0, i == 0 ? 0 : 1};
  }
  p->jpeg_width = 0;
  p->jpeg_height = 0;
  p->jpeg_channels = 3;
}

JpegStatus read_body(JpegJob* job, int32_t type) {
  job->status_detail[0] = '\0';
  JPEG_PROPERTIES* p = &job->properties;
  p->io_type = type;
  JpegStatus status = validate_request(job, type);
  if (status != JpegSuccess) return status;

  // The data this read names; a file is opened to know which it is.
  Source source;
  void* opened = nullptr;
  if (is_file_type(type)) {
    const char* name = job->use_properties ? p->file_name : job->file_name;
    opened = file_open(name, FileAccess::Read);
    if (opened == nullptr) return JpegInvalidFileName;
    source.file = true;
    if (file_identity(opened, source.id) == 0) {
      file_close(opened);
      return JpegFileError;
    }
  } else {
    source.buffer = job->use_properties ? p->jpeg_buffer : job->jpeg_buffer;
    source.size = job->use_properties ? p->jpeg_buffer_size : job->jpeg_buffer_size;
    source.id[0] = buffer_fingerprint(source.buffer, source.size);
  }
  if (!job->use_properties) {
    copy_request_fields(job, p, false);
    // The colour the last read reported is no word of the caller's on this
    // data: judged as a new job judges it.
    if (job->jpeg_color == p->reported_jpeg_color &&
        job->jpeg_channels == p->reported_jpeg_channels) {
      p->jpeg_color = ColorYcbcr;
    }
  }
  p->input_bytes = source.file ? static_cast<int64_t>(source.id[2]) : source.size;

  // The comment a parameter read gave stays as it left it for the image
  // read of the same data that follows (the documented calling order).
  if (!is_image_read(type) || !same_source(p, source)) p->comment_delivered = 0;
  const bool continuing = continues_last_read(p, type, source);
  if (!continuing || p->continuation != kInterrupted) {
    status = check_region_request(p);
    if (status != JpegSuccess) {
      if (opened != nullptr) file_close(opened);
      return status;
    }
  }
  if (continuing) {
    if (opened != nullptr) file_close(opened);  // the open one stands where the scan is
    // A further region: its open edges closed against the frame now known
    // (a resumed interrupted decode takes back its own region instead).
    if (p->continuation != kInterrupted) settle_region(p);
  } else {
    close_open_file(p);
    p->stream.file = opened;
    forget_data(p, type);
  }

  if (is_image_read(type) && !continuing) {
    status = load_caller_tables(p);
    if (status != JpegSuccess) return status;
  } else if (!is_image_read(type)) {
    clear_table_statistics(p);
  }

  // Damage met by earlier calls of an interrupted decode still counts.
  if (!continuing || p->continuation != kInterrupted) p->stream.data_ended = 0;
  if (!continuing) {
    if (is_file_type(type)) {
      p->stream.data_start = p->stream.file_buffer;
      p->stream.data_size = sizeof p->stream.file_buffer;
    } else {
      p->stream.data_start = p->jpeg_buffer;
      p->stream.data_size = p->jpeg_buffer_size;
    }
    stream_reset(&p->stream);
    p->stream.consumed = 0;
  }

  p->stream.out_start = p->out_pixels;
  // Only a read that writes an image has validated its size.
  const bool writes_image =
      is_image_read(type) || type == IoReadThumbnailFile || type == IoReadThumbnailBuffer;
  if (p->out_height < 0 && p->out_pixels != nullptr && writes_image) {
    const int64_t rows = -static_cast<int64_t>(p->out_height) - 1;
    const int64_t line = p->out_line_bytes < 0 ? -int64_t{p->out_line_bytes} : p->out_line_bytes;
    p->stream.out_start = p->out_pixels + rows * line;
  }

  // An image read starts from a grey picture, so that data that end early or
  // break leave a complete image: what was decoded, grey for the rest. It is
  // painted when the first scan starts, once the request has been accepted.
  p->prefill_pending = is_image_read(type) && p->out_pixels != nullptr &&
                       (!continuing || p->continuation != kInterrupted);
  // Whether the grey waits for the end is decided by this read's first
  // scan (a read that a fault ended may have left it set).
  p->prefill_deferred = 0;

  if (continuing && p->continuation == kCoefficientsDone) {
    status = drive_region_again(p);
    if (status < 0) p->continuation = kNothing;
    return status;
  }

  status = drive_read(p);
  if (status == JpegInvalidProperties || status == JpegCompError) {
    explain_frame_refusal(job, status);
  }
  // A region whose scan ran out of data, or met damage, is written, but
  // not complete.
  if (status == JpegRoiSuccess) {
    const JpegStatus damage = damage_status(&p->stream);
    if (damage != JpegSuccess) status = damage;
  }
  // A progressive image whose data broke off shows what its scans held; an
  // image whose data ended before its first scan is grey.
  if (status < 0 && is_image_read(type)) output_whole_progressive_image(p);
  if (status == JpegEofError && p->prefill_pending) prefill_grey(p);
  p->prefill_pending = 0;
  if (p->prefill_deferred) {
    paint_unwritten_grey(p);
    p->prefill_deferred = 0;
  }
  record_continuation(p, type, status, source);
  if (status == JpegInterruptSuccess) {
    // The pipeline leaves the region's right and bottom edges in MCUs.
    const int32_t right = (p->roi_right * 8 + 8) * p->frame.max_h;
    const int32_t bottom = (p->roi_bottom * 8 + 8) * p->frame.max_v;
    p->roi_right = right < p->jpeg_width ? right : p->jpeg_width;
    p->roi_bottom = bottom < p->jpeg_height ? bottom : p->jpeg_height;
    p->resume_pixels = p->out_pixels;
    resume_request_of(p, p->resume_request);
    return status;
  }
  if (status != JpegSuccess) return status;
  status = finish_read(job, type);
  if (status == JpegSuccess && (type == IoReadParamsFile || type == IoReadParamsBuffer)) {
    p->comment_delivered = 1;
  }
  if (status == JpegSuccess && (type == IoReadTablesFile || type == IoReadTablesBuffer)) {
    status = keep_tables(p);
  }
  return status;
}

}  // namespace

void jpegcodec::read_cleanup(JpegJob* job) {
  end_of_scan(&job->properties);
  close_open_file(&job->properties);
}

extern "C" JpegStatus jpeg_init(JpegJob* job) {
  if (job == nullptr) return JpegInvalidProperties;
  return guarded(
      [&]() -> JpegStatus {
        const JpegStatus status = init_body(job);
        if (status < 0) init_cleanup(job);
        return status;
      },
      [&] { guarded_cleanup(init_cleanup, job); });
}

extern "C" JpegStatus jpeg_free(JpegJob* job) {
  if (job == nullptr) return JpegInvalidProperties;
  return guarded(
      [&] { return free_body(job); },
      [&] { guarded_cleanup([](JpegJob* j) { free_routine_table(&j->properties); }, job); });
}

extern "C" JpegStatus jpeg_read(JpegJob* job, int32_t io_type) {
  if (job == nullptr) return JpegInvalidProperties;
  return guarded(
      [&]() -> JpegStatus {
        if (!job_ready(job)) return JpegInvalidProperties;
        const JpegStatus status = read_body(job, io_type);
        end_of_scan(&job->properties);
        if (status < 0) close_open_file(&job->properties);
        return status;
      },
      [&] { guarded_cleanup(read_cleanup, job); });
}

extern "C" JpegStatus jpeg_metadata(JpegJob* job, JpegMetadata* metadata) {
  if (job == nullptr || metadata == nullptr) return JpegInvalidProperties;
  return guarded(
      [&]() -> JpegStatus {
        if (!job_ready(job)) return JpegInvalidProperties;
        const JpegStatus status = prepare_metadata(&job->properties);
        describe_metadata(&job->properties, metadata);
        return status;
      },
      [] {});
}
