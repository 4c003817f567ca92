// The read driver: sequences a read's stages. It runs the marker loop,
// reads each frame header and sets up the output for it, and for each scan
// reads its header, keeps the progression's counts, allocates the
// coefficient store, settles the region and the grey background and has
// the scan decoded; at the end it writes a stored image and says how the
// read ended. Called by jpeg_read (api/entry.cpp).

#include "jpeg/drive/read.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "jpeg/cpu/memory.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/scan.h"
#include "jpeg/decode/smooth_output.h"
#include "jpeg/drive/output_setup.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/io_types.h"
#include "jpeg/stream/parser.h"
#include "jpeg/stream/segments.h"
#include "jpeg/stream/tables.h"

namespace jpegcodec {

namespace {

// Whether the data could hold the frame at all: every block of every
// component needs at least one bit of entropy-coded data (a DC difference).
// A header that claims far more than that (64 blocks a bit: a damaged file
// keeps a good part of its data, a hostile one claims gigapixels in a few
// bytes) is refused before anything is allocated or written for it.
bool data_can_hold_frame(const JPEG_PROPERTIES* p) {
  const FrameHeader& f = p->frame;
  int64_t blocks = 0;
  for (int i = 0; i < f.component_count && i < 4; ++i) {
    const FrameComponent& c = f.components[i];
    const int64_t width = (int64_t{f.frame_width} * c.h + f.max_h - 1) / f.max_h;
    const int64_t height = (int64_t{f.frame_height} * c.v + f.max_v - 1) / f.max_v;
    blocks += ((width + 7) / 8) * ((height + 7) / 8);
  }
  return p->input_bytes <= 0 || p->input_bytes * 8 * 64 >= blocks;
}

// Whether every component of the frame has had its data: all its scans of a
// sequential frame, the completing DC and AC scans of a progressive one.
bool image_complete(const JPEG_PROPERTIES* p) {
  if (p->progressive_frame) {
    return p->dc_final_count >= p->frame.component_count &&
           p->ac_final_count >= p->frame.component_count;
  }
  const int32_t count = p->frame.component_count < 4 ? p->frame.component_count : 4;
  return p->scanned_components == (1u << count) - 1;
}

// The end of the image, at its EOI marker (`marker`) or where the data
// stop. A header read has what it came for once the frame is known; an
// image read writes what its scans decoded, and is complete when no scan
// ran out of data and every component had its scans (a progressive frame
// that ends with EOI may stop its progression after any scan).
JpegStatus end_of_data(JPEG_PROPERTIES* p, bool marker) {
  const int32_t type = p->io_type;
  if (is_header_only_type(type)) {
    if (type == IoReadTablesFile || type == IoReadTablesBuffer) return JpegSuccess;
    if (p->first_pass) return marker ? JpegNoImage : JpegEofError;
    return JpegSuccess;
  }
  if (p->first_pass) return JpegEofError;
  // A progressive image is written once its scans are all decoded; a
  // region of it is a complete region.
  const JpegStatus output = output_whole_progressive_image(p);
  if (output != JpegSuccess) return output;
  const bool progression_ended = marker && p->progressive_frame && p->progressive_scans > 0;
  const JpegStatus damage = damage_status(&p->stream);
  if (damage == JpegEofError || !(progression_ended || image_complete(p))) return JpegEofError;
  if (damage != JpegSuccess) return damage;
  if (p->progressive_scans != 0 && region_requested(p)) return JpegRoiSuccess;
  return JpegSuccess;
}

// The same frame: size, components, their identifiers, sampling and tables.
bool same_frame(const FrameHeader& a, const FrameComponent* a_components, const FrameHeader& b) {
  if (a.frame_width != b.frame_width || a.frame_height != b.frame_height ||
      a.component_count != b.component_count) {
    return false;
  }
  for (int i = 0; i < a.component_count && i < 4; ++i) {
    if (memcmp(&a_components[i], &b.components[i], sizeof(FrameComponent)) != 0) return false;
  }
  return true;
}

JpegStatus handle_frame_header(JPEG_PROPERTIES* p, int32_t marker, bool* done) {
  const int32_t type = p->io_type;
  if (type == IoReadTablesFile || type == IoReadTablesBuffer) {
    // A table read stops before the frame; its marker counts as not read.
    p->stream.consumed -= 2;
    p->put_back_bytes = 2;
    *done = true;
    return JpegSuccess;
  }
  // A second frame header in the same data: the output is laid out for the
  // first, and its scans are decoded for it. The same frame again (some
  // writers repeat it) is passed over; any other frame is refused, whatever
  // its kind.
  const bool known = !p->first_pass;
  FrameHeader before = p->frame;
  FrameComponent before_components[4];
  memcpy(before_components, p->frame.components, sizeof before_components);
  JpegStatus status = read_frame_header(p);
  if (status != JpegSuccess) return status;
  if (known) {
    const bool same = same_frame(before, before_components, p->frame) &&
                      p->progressive_frame == (marker == SOF2 ? 1 : 0);
    memcpy(p->frame.components, before_components, sizeof before_components);
    p->frame = before;
    return same ? JpegSuccess : JpegMultipleFrames;
  }
  p->progressive_frame = marker == SOF2 ? 1 : 0;
  p->scanned_components = 0;
  p->latched_components = 0;
  // A new frame: whatever the scans of an earlier one left is void.
  codec_free_large(p->coef_buffer);
  p->coef_buffer = nullptr;
  p->coef_buffer_bytes = 0;
  p->progressive_scans = 0;
  p->dc_final_count = 0;
  p->ac_final_count = 0;
  p->stream.components_done = 0;
  reset_restart_index(p);
  p->first_pass = 0;
  if (p->frame.component_count < 1 || p->frame.component_count > 255) return JpegCompError;
  if (!data_can_hold_frame(p)) return JpegSofError;
  p->jpeg_channels = p->frame.component_count;
  p->jpeg_width = p->frame.frame_width;
  p->jpeg_height = p->frame.frame_height;
  return select_mcu_output(p);
}

// The scans of a progressive frame handed to a team of threads: the team,
// the job's state and the first scan's header as they were before it (for
// a read that must start again with one thread), and whether a scan could
// not be handed on.
struct TeamRead {
  ScanTeam* team = nullptr;
  JPEG_PROPERTIES* before = nullptr;
  ScanHeader* first = nullptr;
  bool missed = false;
  bool declined = false;  // the read starts again: one thread from here on
};

ScanHeader* copy_scan_header(const ScanHeader* scan) {
  auto* copy = static_cast<ScanHeader*>(codec_malloc(sizeof(ScanHeader)));
  auto* components = static_cast<ScanComponent*>(codec_calloc(4, sizeof(ScanComponent)));
  if (copy == nullptr || components == nullptr) {
    free(copy);
    free(components);
    return nullptr;
  }
  *copy = *scan;
  const int32_t count = scan->component_count < 4 ? scan->component_count : 4;
  memcpy(components, scan->components, sizeof(ScanComponent) * size_t(count));
  copy->components = components;
  return copy;
}

// Starts the team at the first scan when it fits, keeping what a start
// again needs; false when the scan goes to one thread.
bool team_takes(JPEG_PROPERTIES* p, ScanHeader* scan, TeamRead* team) {
  if (team->team == nullptr) {
    if (team->declined || team->before != nullptr || !scan_team_fits(p, scan)) return false;
    team->before = static_cast<JPEG_PROPERTIES*>(codec_malloc(sizeof(JPEG_PROPERTIES)));
    team->first = copy_scan_header(scan);
    if (team->before == nullptr || team->first == nullptr) {
      free(team->before);
      free_scan_header(team->first);
      team->before = nullptr;
      team->first = nullptr;
      return false;
    }
    memcpy(team->before, p, sizeof(JPEG_PROPERTIES));
    team->team = scan_team_start(p);
    if (team->team == nullptr) return false;
  }
  if (!scan_team_take(team->team, p, scan)) team->missed = true;
  return true;
}

// Ends the team: true when every scan decoded as one thread would have.
bool team_settled(TeamRead* team) {
  if (team->team == nullptr) return true;
  const bool same = scan_team_finish(team->team) && !team->missed;
  team->team = nullptr;
  return same;
}

// A scan: its header, the progressive bookkeeping, and its decoding. `scan`
// is a new header, or the saved one when `resumed`.
JpegStatus handle_scan(JPEG_PROPERTIES* p, ScanHeader* scan, bool resumed, bool* done,
                       int32_t* next, TeamRead* team) {
  const int32_t type = p->io_type;
  *next = 0;
  if (!resumed) {
    if (p->first_pass) {
      free_scan_header(scan);
      return JpegNoFrame;
    }
    JpegStatus status = read_scan_header(p, scan);
    p->stream.eob_run = 0;
    if (status != JpegSuccess) {
      free_scan_header(scan);
      return status;
    }
    if (is_header_only_type(type)) {
      // The scan header counts as not read: the file stays before it.
      p->stream.consumed -= p->routines->scan_header_bytes;
      p->put_back_bytes = p->routines->scan_header_bytes;
      free_scan_header(scan);
      *done = true;
      return JpegSuccess;
    }
    scan->restart_interval = p->restart_interval;
    latch_quant_tables(p, scan);
    if (p->progressive_frame && scan->ss > 0 && scan->component_count == 1 &&
        component_uses_dc_only(p, scan->components[0].frame_index)) {
      // AC bands this read never uses: their data are skipped by the search
      // for the next marker.
      free_scan_header(scan);
      return JpegSuccess;
    }
    if (!p->progressive_frame) {
      // A sequential frame whose first scan held every component is
      // complete after it: a later scan is passed over (its data are skipped
      // by the search for the next marker). Scans that came one group of
      // components at a time go to the store, a later one over an earlier.
      uint32_t components = 0;
      for (int32_t i = 0; i < scan->component_count; ++i) {
        components |= 1u << scan->components[i].frame_index;
      }
      if (p->progressive_scans == 0 && (p->scanned_components & components) == components) {
        free_scan_header(scan);
        return JpegSuccess;
      }
      p->scanned_components |= components;
    }

    // Which scans go through the whole image's coefficient store: every
    // scan of a progressive frame, and the scans of a sequential frame whose
    // components come in more than one scan, which are written once all
    // have come.
    bool stored;
    if (p->progressive_frame) {
      stored = true;
      const bool dc_scan = scan->ss == 0;
      if (dc_scan && scan->al == 0) p->dc_final_count += scan->component_count;
      if (!dc_scan && scan->se == 63 && scan->al == 0) p->ac_final_count += 1;
    } else {
      stored = p->progressive_scans != 0 || scan->component_count < p->frame.component_count;
      if (stored) {
        p->dc_final_count += scan->component_count;
        p->ac_final_count += scan->component_count;
      }
    }
    if (stored) {
      p->progressive_scans += 1;
      if (p->progressive_scans == 1) {
        // The whole image's coefficients, allocated from header values: a
        // limit keeps a hostile header from claiming all the memory.
        const StoreLayout layout = store_layout(p);
        const uint64_t bytes = coefficient_store_bytes(layout);
        // One 8-byte mask of non-zero coefficients per whole block.
        const uint64_t total = bytes + 8 * static_cast<uint64_t>(layout.whole_per_mcu) *
                                           static_cast<uint64_t>(layout.mcus);
        const uint64_t limit =
            static_cast<uint64_t>(p->max_coef_megabytes > 0 ? p->max_coef_megabytes : 0) << 20;
        codec_free_large(p->coef_buffer);
        p->coef_buffer = nullptr;
        if (total > limit || total > SIZE_MAX) {
          free_scan_header(scan);
          p->saved_scan = nullptr;
          return JpegMemoryError;
        }
        p->image_output_done = 0;
        p->coef_buffer = static_cast<int16_t*>(codec_calloc_large(total > 0 ? total : 1));
        p->coef_buffer_bytes = p->coef_buffer != nullptr ? static_cast<int64_t>(bytes) : 0;
        if (p->coef_buffer == nullptr) {
          free_scan_header(scan);
          p->saved_scan = nullptr;
          return JpegMemoryError;
        }
      }
    }
    // A scan of fewer components than the frame always goes to the store:
    // the output is laid out for the whole frame.
    p->single_scan_blocks = 0;
    select_mcu_output(p);
  }
  if (p->saved_scan != nullptr && p->saved_scan != scan) free_scan_header(p->saved_scan);
  p->saved_scan = scan;
  if (p->smooth_upsampling == 1 && smoothing_applies(p) && allocate_smoothing(p) != JpegSuccess) {
    free_scan_header(scan);
    p->saved_scan = nullptr;
    return JpegMemoryError;
  }

  if (!resumed) {
    // The region must lie in the frame; only then is the image painted grey,
    // so that a refused read writes nothing.
    const JpegStatus region_status = settle_region(p);
    if (region_status != JpegSuccess) {
      free_scan_header(scan);
      p->saved_scan = nullptr;
      return region_status;
    }
  }
  if (p->prefill_pending) {
    // Painted now, or only where the read leaves pixels unwritten.
    p->prefill_deferred = grey_can_wait(p, scan) ? 1 : 0;
    if (p->prefill_deferred) {
      p->written_until[0] = p->written_until[1] = 0;
      p->mcu_pixels[0] = p->mcu_pixels[1] = 0;
    } else {
      prefill_grey(p);
    }
    p->prefill_pending = 0;
  }

  int32_t marker = 0;
  // Handed to the team, the scan's data are passed over by the search for
  // the next marker.
  JpegStatus status = team_takes(p, scan, team) ? JpegSuccess : decode_scan(p, scan, &marker);
  // A scan whose data ended early keeps what it decoded; the data may go on
  // with later scans, decoded as usual (the read still reports the end, and
  // data that are really over end the read at the next marker search).
  if (status == JpegEofError) status = JpegSuccess;
  if (status == JpegInterruptSuccess || status == JpegRoiSuccess) {
    p->interrupt_mode = 0;  // the scan is kept for the next call to resume
    *done = true;
    return status;
  }
  if (p->progressive_scans == 0) p->stream.components_done += scan->component_count;
  // A scan the region index covers is kept for region reads that follow.
  if (status < 0 || (status == JpegSuccess && !restart_index_covers_scan(p))) {
    free_scan_header(scan);
    p->saved_scan = nullptr;
  }
  if (status < 0) return status;
  *next = marker;
  return JpegSuccess;
}

}  // namespace

namespace {

// The marker loop, starting with a resumed scan if there is one. Sets
// *again when the team's scans did not decode as one thread's would: the
// read then starts again from the first scan.
JpegStatus marker_loop(JPEG_PROPERTIES* p, ScanHeader* saved, TeamRead* team, bool* again) {
  *again = false;
  // Whatever ends the loop, the team's scans are done and checked first.
  auto settled = [&](JpegStatus status) {
    if (!team_settled(team)) *again = true;
    return status;
  };
  bool done = false;
  int32_t marker = 0;
  if (saved != nullptr) {
    const JpegStatus status = handle_scan(p, saved, true, &done, &marker, team);
    if (status != JpegSuccess || done) return settled(status);
  }
  while (!done) {
    MarkerEvent event = MarkerEvent::DataEnd;
    JpegStatus status = read_markers(p, &marker, &event);
    if (status != JpegSuccess) return settled(status);
    switch (event) {
      case MarkerEvent::Frame: {
        const int32_t code = marker;
        marker = 0;
        status = handle_frame_header(p, code, &done);
        break;
      }
      case MarkerEvent::Scan: {
        auto* scan = static_cast<ScanHeader*>(codec_calloc(1, sizeof(ScanHeader)));
        if (scan == nullptr) return settled(JpegMemoryError);
        status = handle_scan(p, scan, false, &done, &marker, team);
        break;
      }
      case MarkerEvent::AdobeAfterFrame:
        status = select_mcu_output(p);
        break;
      case MarkerEvent::TablesEnd:
        return settled(JpegSuccess);
      case MarkerEvent::ImageEnd:
        // The team writes the rows its scans have finished while the others
        // go on.
        if (team->team != nullptr && !team->missed) scan_team_output(team->team, p);
        status = settled(JpegSuccess);
        return *again ? status : end_of_data(p, true);
      case MarkerEvent::DataEnd:
        status = settled(JpegSuccess);
        return *again ? status : end_of_data(p, false);
    }
    if (status != JpegSuccess) return settled(status);
  }
  return settled(JpegSuccess);
}

// The job as it was at the first scan, its coefficients cleared: the read
// starts again there, with one thread.
void start_again(JPEG_PROPERTIES* p, TeamRead* team) {
  // The MCU buffer the team's output may have allocated since is kept.
  int16_t* const buffer = p->mcu_buffer;
  memcpy(p, team->before, sizeof(JPEG_PROPERTIES));
  if (p->mcu_buffer == nullptr) p->mcu_buffer = p->mcu_samples = buffer;
  p->saved_scan = nullptr;
  const StoreLayout layout = store_layout(p);
  const uint64_t total =
      coefficient_store_bytes(layout) +
      8 * static_cast<uint64_t>(layout.whole_per_mcu) * static_cast<uint64_t>(layout.mcus);
  if (p->coef_buffer != nullptr) memset(p->coef_buffer, 0, total);
  team->declined = true;
}

}  // namespace

JpegStatus drive_read(JPEG_PROPERTIES* p) {
  InputStream* s = &p->stream;
  const int32_t type = p->io_type;
  p->put_back_bytes = 0;

  // The read starts at the start of the data, or resumes a saved scan
  // (jpeg_read has set the stream up for either).
  ScanHeader* saved = p->saved_scan;
  // The frame is known from an earlier read.
  if (!p->first_pass) {
    const JpegStatus status = select_mcu_output(p);
    if (status != JpegSuccess) return status;
  }
  // Header reads start at the start of image.
  if (is_header_only_type(type)) {
    int32_t first = 0;
    const JpegStatus status = next_marker(s, &first);
    // Data without a single marker is not JPEG either.
    if (status == JpegEofError) return JpegNotJpeg;
    if (status != JpegSuccess) return status;
    if (first != SOI) return JpegNotJpeg;
    p->restart_interval = 0;
  }
  if (p->progressive_scans == 0) {
    p->dc_final_count = 0;
    p->ac_final_count = 0;
  }

  TeamRead team;
  bool again = false;
  JpegStatus status = marker_loop(p, saved, &team, &again);
  if (again) {
    start_again(p, &team);
    ScanHeader* first = team.first;
    team.first = nullptr;
    status = marker_loop(p, first, &team, &again);
  }
  free(team.before);
  free_scan_header(team.first);
  return status;
}

JpegStatus drive_region_again(JPEG_PROPERTIES* p) {
  JpegStatus status = select_mcu_output(p);
  if (status != JpegSuccess) return status;
  status = settle_region(p);
  if (status != JpegSuccess) return status;
  if (p->smooth_upsampling == 1 && smoothing_applies(p) && allocate_smoothing(p) != JpegSuccess) {
    return JpegMemoryError;
  }
  if (p->prefill_pending) {
    prefill_grey(p);
    p->prefill_pending = 0;
  }
  status = output_stored_image_again(p);
  return status != JpegSuccess ? status : JpegRoiSuccess;
}

}  // namespace jpegcodec
