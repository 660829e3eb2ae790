// Reading files, and what a file is, on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/errors.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

}  // namespace

namespace posix {

void Describe(const struct stat& status, FileInfo& info) {
  info.regular = S_ISREG(status.st_mode);
  // No write bit at all is the read-only attribute here, which binds root too.
  info.readOnly = (status.st_mode & kAnyWriteBit) == 0;
  info.ownedByUser = status.st_uid == ::geteuid();
  info.links = static_cast<std::uint32_t>(status.st_nlink);
  info.id = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
  info.mode = status.st_mode & 07777U;
  info.owner = status.st_uid;
  info.group = status.st_gid;
}

}  // namespace posix

Error OpenForReading(const char* path, FileHandle& file) {
  // Non-blocking, so that a FIFO or device is turned away instead of waited on.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return posix::LastError();
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return Error::NotSupported;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  file = fd;
  return Error::None;
}

Error ProbeWriteAccess(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0) {
    return posix::LastError();
  }
  if ((info.st_mode & kAnyWriteBit) == 0) {
    return Error::AccessDenied;
  }
  const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return posix::LastError();
  }
  ::close(fd);
  return Error::None;
}

Error GetFileSize(FileHandle file, std::uint64_t& size) {
  struct stat info {};
  if (::fstat(static_cast<int>(file), &info) != 0) {
    return posix::LastError();
  }
  if (info.st_size < 0) {
    return Error::Other;
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return Error::None;
}

Error ReadFile(FileHandle file, void* buffer, std::uint32_t length, std::uint32_t& moved) {
  for (;;) {
    const ssize_t count = ::read(static_cast<int>(file), buffer, length);
    if (count >= 0) {
      moved = static_cast<std::uint32_t>(count);
      return Error::None;
    }
    if (errno != EINTR) {
      return posix::LastError();
    }
  }
}

Error ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t length,
             std::uint32_t& moved) {
  for (;;) {
    const ssize_t count =
        ::pread(static_cast<int>(file), buffer, length, static_cast<off_t>(offset));
    if (count >= 0) {
      moved = static_cast<std::uint32_t>(count);
      return Error::None;
    }
    if (errno != EINTR) {
      return posix::LastError();
    }
  }
}

Error GetFileInfo(FileHandle file, FileInfo& info) {
  struct stat status {};
  if (::fstat(static_cast<int>(file), &status) != 0) {
    return posix::LastError();
  }
  posix::Describe(status, info);
  return Error::None;
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) {
    ::close(static_cast<int>(file));
  }
}

}  // namespace platform
