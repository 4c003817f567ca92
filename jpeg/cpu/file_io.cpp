// Files for the codec: open, read, write, seek, close, identify. Called by
// the input stream, the restart index's seek and the output sink.

#include "jpeg/cpu/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace jpegcodec {

namespace {

// Handles are descriptors plus one, so that descriptor 0 is not null.
int descriptor(void* file) {
  return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1;
}
void* handle(int fd) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
}

}  // namespace

void* file_open(const char* name, FileAccess access) {
  if (name == nullptr || *name == '\0') return nullptr;
  const int flags = access == FileAccess::Read        ? O_RDONLY
                    : access == FileAccess::ReadWrite ? (O_RDWR | O_CREAT)
                                                      : (O_RDWR | O_CREAT | O_TRUNC);
  // Opened without blocking: a FIFO or a device would otherwise hold the
  // open until a writer comes. Anything but a regular file is refused.
  int fd;
  do {
    fd = open(name, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  const int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
    close(fd);
    return nullptr;
  }
  return handle(fd);
}

int file_close(void* file) {
  if (file == nullptr) return 0;
  return close(descriptor(file)) == 0 ? 1 : 0;
}

int file_remove(const char* name) {
  return name != nullptr && unlink(name) == 0 ? 1 : 0;
}

int file_read(void* file, void* buffer, uint32_t count, uint32_t* count_read) {
  if (count_read != nullptr) *count_read = 0;
  if (file == nullptr) return 0;
  uint32_t total = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (total < count) {
    ssize_t n = read(descriptor(file), out + total, count - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  if (count_read != nullptr) *count_read = total;
  return 1;
}

int file_write(void* file, const void* buffer, uint32_t count, uint32_t* count_written) {
  if (count_written != nullptr) *count_written = 0;
  if (file == nullptr) return 0;
  uint32_t total = 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  while (total < count) {
    ssize_t n = write(descriptor(file), in + total, count - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    total += static_cast<uint32_t>(n);
  }
  if (count_written != nullptr) *count_written = total;
  return 1;
}

int file_seek(void* file, int64_t distance, int origin) {
  if (file == nullptr || (origin != 0 && origin != 1)) return 0;
  return lseek(descriptor(file), static_cast<off_t>(distance), origin == 0 ? SEEK_SET : SEEK_CUR) <
                 0
             ? 0
             : 1;
}

int file_identity(void* file, uint64_t identity[4]) {
  struct stat info;
  if (file == nullptr || fstat(descriptor(file), &info) != 0) return 0;
  identity[0] = static_cast<uint64_t>(info.st_dev);
  identity[1] = static_cast<uint64_t>(info.st_ino);
  identity[2] = static_cast<uint64_t>(info.st_size);
  identity[3] = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                static_cast<uint64_t>(info.st_mtim.tv_nsec);
  return 1;
}

}  // namespace jpegcodec
