// Reading files, and what a file is, on Linux.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

Error CheckWriteFlags(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return Error::None;  // not readable: the flags stay unknown, the open for writing decides
  }
  int flags = 0;
  const bool known = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  ::close(fd);
  const unsigned kForbidding = FS_IMMUTABLE_FL | FS_APPEND_FL;
  return known && (static_cast<unsigned>(flags) & kForbidding) != 0 ? Error::AccessDenied
                                                                    : Error::None;
}

}  // namespace posix

namespace {

// Whether the mode bits let this process write the file, as the kernel decides it
// (root: any write bit); for kernels without faccessat2.
bool ModeAllowsWriting(const struct stat& info) {
  const uid_t user = ::geteuid();
  if (user == 0) {
    return true;
  }
  if (info.st_uid == user) {
    return (info.st_mode & S_IWUSR) != 0;
  }
  if (info.st_gid == ::getegid() || ::group_member(info.st_gid) != 0) {
    return (info.st_mode & S_IWGRP) != 0;
  }
  return (info.st_mode & S_IWOTH) != 0;
}

}  // namespace

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
  // Never opened for writing: on an overlay that alone copies the whole file up.
  // The effective ids decide, as they do for an open.
  if (::syscall(SYS_faccessat2, AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
    if (errno != ENOSYS) {
      return posix::LastError();
    }
    if (!ModeAllowsWriting(info)) {
      return Error::AccessDenied;
    }
  }
  return posix::CheckWriteFlags(path);
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
