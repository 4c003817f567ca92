// File access for the codec's file I/O types: a thin layer over POSIX with
// the results the codec's callers expect (a null handle or a zero result on
// failure).
#pragma once

#include <cstdint>

namespace jpegcodec {

enum class FileAccess {
  Read,       // an existing file, for reading
  ReadWrite,  // created if missing; existing contents are kept
  Create,     // created anew for writing: existing contents are dropped
};

// Opens a regular file without blocking; null when it cannot be opened or
// is not a regular file (a directory, a FIFO, a device).
void* file_open(const char* name, FileAccess access);
// Nonzero on success.
int file_close(void* file);
// Removes the named file (a write that failed); nonzero on success.
int file_remove(const char* name);
// Reads up to `count` bytes; nonzero on success (a count of 0 at the end of
// the file is a success).
int file_read(void* file, void* buffer, uint32_t count, uint32_t* count_read);
int file_write(void* file, const void* buffer, uint32_t count, uint32_t* count_written);
// Moves by `distance` from the start (origin 0) or the current position
// (origin 1); 1 on success, 0 on failure.
int file_seek(void* file, int64_t distance, int origin);
// What tells one file from another, or from itself after a change: its
// device, inode, size and modification time. Nonzero on success.
int file_identity(void* file, uint64_t identity[4]);

}  // namespace jpegcodec
