#include "jpeg/stream/scan_state.h"

#include <stdlib.h>

void stream_reset(InputStream* s) {
  if (s->file != nullptr) {
    s->next = s->file_buffer + sizeof s->file_buffer;
    s->data_end = s->next;
    s->available = 0;
  } else {
    s->next = s->data_start;
    s->data_end = s->data_start == nullptr ? nullptr : s->data_start + s->data_size;
    s->available = s->data_size;
  }
  s->bit_acc = 0;
  s->bit_count = 0;
  s->pending_marker = 0;
  s->components_done = 0;
}

void free_scan_header(ScanHeader* scan) {
  if (scan == nullptr) return;
  free(scan->components);
  free(scan);
}
