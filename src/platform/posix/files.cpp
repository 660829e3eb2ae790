// Reading files on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

FileHandle OpenForReading(const char* path) {
  // Non-blocking, so that a FIFO or device is turned away instead of waited on.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return kInvalidFile;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return kInvalidFile;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

bool ProbeWriteAccess(const char* path) {
  struct stat info {};
  // No write bit at all is the read-only attribute here, which binds root too.
  if (::stat(path, &info) != 0 || (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return false;
  }
  const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}

bool GetFileSize(FileHandle file, std::uint64_t& size) {
  struct stat info {};
  if (::fstat(static_cast<int>(file), &info) != 0 || info.st_size < 0) {
    return false;
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

std::int64_t ReadFile(FileHandle file, void* buffer, std::uint32_t length) {
  for (;;) {
    const ssize_t moved = ::read(static_cast<int>(file), buffer, length);
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    return moved;
  }
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) {
    ::close(static_cast<int>(file));
  }
}

}  // namespace platform
