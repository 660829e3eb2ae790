// Replacing a destination on POSIX: a new file beside it, flushed, then renamed over
// it; or, where that cannot be done without changing what the file is, the file
// itself overwritten without truncation.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

struct platform::Replacement {
  ReplaceMode mode = ReplaceMode::Staged;
  int fd = -1;
  int directoryFd = -1;
  std::string name;      // the destination's name within its directory
  std::string tempName;  // the staged file's name; empty while it is unnamed
  void* mapping = nullptr;
  std::size_t mappedLength = 0;
};

namespace {

using platform::Replacement;
using platform::ReplaceMode;

constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;
// How many fresh names a temporary file tries before giving up.
constexpr int kNameAttempts = 100;

void CloseQuietly(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links (a dangling one included) to the path that is to be
// replaced, so the link itself stays. Resolved once, up front.
bool ResolveLinks(std::string& path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return true;
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0) {
      return false;
    }
    const std::string link(target, static_cast<std::size_t>(length));
    if (link.front() == '/') {
      path = link;
    } else {
      path = DirectoryOf(path).append("/").append(link);
    }
  }
  return false;  // a loop of links
}

// Temporary names are hidden, beside the destination: ".name.velmoran-1a2b3c4d".
constexpr std::size_t kTemporaryDigits = 8;

std::string TemporaryPrefix(const std::string& destinationName) {
  return "." + destinationName + ".velmoran-";
}

// A fresh temporary name, unlikely to be taken.
std::string TemporaryName(const std::string& destinationName) {
  static unsigned counter = 0;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const unsigned long mix = static_cast<unsigned long>(now.tv_nsec) ^
                            (static_cast<unsigned long>(::getpid()) << 20U) ^
                            (static_cast<unsigned long>(++counter) * 2654435761UL);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "%08lx", mix & 0xFFFFFFFFUL);
  return TemporaryPrefix(destinationName) + suffix;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in the directory is still the file open as `fd`.
bool NameIsFile(int directoryFd, const char* name, int fd) {
  struct stat named {};
  struct stat opened {};
  return ::fstatat(directoryFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(fd, &opened) == 0 && SameFile(named, opened);
}

// Whether `entry` is `prefix` (a TemporaryPrefix) and the digits TemporaryName adds.
bool IsTemporaryName(std::string_view entry, std::string_view prefix) {
  if (entry.size() != prefix.size() + kTemporaryDigits ||
      entry.substr(0, prefix.size()) != prefix) {
    return false;
  }
  for (const char c : entry.substr(prefix.size())) {
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) {
      return false;
    }
  }
  return true;
}

// A run holds an exclusive lock on its staged file from before the file has a name
// until it is gone, so a name whose lock can be taken was left by a run that was
// killed between naming its file and renaming it. Only such names, for this
// destination, of this user's own regular files, are removed; anything else is
// left as it is.
void RemoveAbandonedStagedFiles(int directoryFd, const std::string& destinationName) {
  const int listingFd = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) {
    return;
  }
  DIR* listing = ::fdopendir(listingFd);
  if (listing == nullptr) {
    ::close(listingFd);
    return;
  }
  const std::string prefix = TemporaryPrefix(destinationName);
  while (const dirent* entry = ::readdir(listing)) {
    if (!IsTemporaryName(entry->d_name, prefix)) {
      continue;
    }
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::openat(directoryFd, entry->d_name, O_RDONLY | kFlags);
    if (fd < 0 && errno == EACCES) {
      // A staged file carries the replaced file's permission bits, write-only included.
      fd = ::openat(directoryFd, entry->d_name, O_WRONLY | kFlags);
    }
    if (fd < 0) {
      continue;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        info.st_nlink == 1 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        NameIsFile(directoryFd, entry->d_name, fd)) {
      ::unlinkat(directoryFd, entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(listing);
}

// An unnamed file in the directory where the platform has them, else a new name made
// exclusively; owner-only either way, and locked before it has a name (see above).
int CreateStagedFile(Replacement& replacement) {
  const int fd = ::openat(replacement.directoryFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::flock(fd, LOCK_EX);  // nobody else can reach an unnamed file: never contended
    return fd;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return -1;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = TemporaryName(replacement.name);
    const int named = ::openat(replacement.directoryFd, name.c_str(),
                               O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named < 0) {
      if (errno != EEXIST) {
        return -1;
      }
      continue;
    }
    // Between creating and locking, another run may have taken the file for an
    // abandoned one and removed it; then this name is no longer ours.
    if (::flock(named, LOCK_EX) == 0 && NameIsFile(replacement.directoryFd, name.c_str(), named)) {
      replacement.tempName = std::move(name);
      return named;
    }
    // A name that could not be locked, or whose check failed, is not used; while it
    // still leads to this file it is ours to remove, never left behind.
    if (NameIsFile(replacement.directoryFd, name.c_str(), named)) {
      ::unlinkat(replacement.directoryFd, name.c_str(), 0);
    }
    ::close(named);
  }
  return -1;
}

void RemoveStagedFile(Replacement& replacement) {
  if (!replacement.tempName.empty()) {
    ::unlinkat(replacement.directoryFd, replacement.tempName.c_str(), 0);
    replacement.tempName.clear();
  }
}

void Finish(Replacement* replacement) {
  const std::unique_ptr<Replacement> owned(replacement);
  RemoveStagedFile(*owned);
  if (owned->mapping != nullptr) {
    ::munmap(owned->mapping, owned->mappedLength);
  }
  CloseQuietly(owned->fd);
  CloseQuietly(owned->directoryFd);
}

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// Gives the staged file what the replaced one had: owner and group first, since a
// change of owner clears set-id bits, then the permission bits.
bool CopyIdentity(int fd, const struct stat* existing) {
  if (existing == nullptr) {
    return ::fchmod(fd, 0666 & ~CurrentUmask()) == 0;
  }
  if ((existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) &&
      ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
    return false;
  }
  return ::fchmod(fd, existing->st_mode & 07777) == 0;
}

enum class Staging { Ready, Unavoidable, Impossible };

Staging Stage(Replacement& replacement, const std::string& target, const struct stat* existing) {
  replacement.name = NameOf(target);
  replacement.directoryFd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (replacement.directoryFd < 0) {
    return Staging::Impossible;
  }
  RemoveAbandonedStagedFiles(replacement.directoryFd, replacement.name);
  replacement.fd = CreateStagedFile(replacement);
  if (replacement.fd < 0) {
    // Only a directory that refuses new files sends an existing file down the
    // overwrite path; a read-only file system or a full disk is a plain failure.
    const bool refused = errno == EACCES || errno == EPERM;
    return (refused && existing != nullptr) ? Staging::Unavoidable : Staging::Impossible;
  }
  if (!CopyIdentity(replacement.fd, existing)) {
    return existing != nullptr ? Staging::Unavoidable : Staging::Impossible;
  }
  return Staging::Ready;
}

Replacement* OpenForOverwrite(const std::string& target) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  auto replacement = std::make_unique<Replacement>();
  replacement->mode = ReplaceMode::Overwrite;
  replacement->fd = fd;
  return replacement.release();
}

}  // namespace

namespace platform {

Replacement* BeginReplacement(const char* path, bool allowStaging) {
  std::string target = path;
  if (!ResolveLinks(target)) {
    return nullptr;
  }
  struct stat info {};
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) {
    return nullptr;
  }
  if (exists) {
    // Only ever replace a regular file, and never one that is read-only or that
    // this user could not write to.
    if (!S_ISREG(info.st_mode) || (info.st_mode & kAnyWriteBit) == 0 ||
        ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
      return nullptr;
    }
    // Every name of a hard-linked file must see the new bytes.
    if (!allowStaging || info.st_nlink > 1) {
      return OpenForOverwrite(target);
    }
  }
  auto* replacement = new Replacement;
  switch (Stage(*replacement, target, exists ? &info : nullptr)) {
    case Staging::Ready: return replacement;
    case Staging::Unavoidable: Finish(replacement); return OpenForOverwrite(target);
    case Staging::Impossible: break;
  }
  Finish(replacement);
  return nullptr;
}

ReplaceMode GetReplaceMode(const Replacement* replacement) { return replacement->mode; }

std::uint8_t* MapReplacement(Replacement* replacement, std::uint64_t length) {
  if (replacement->mode != ReplaceMode::Staged || replacement->mapping != nullptr || length == 0 ||
      length > SIZE_MAX) {
    return nullptr;
  }
  // The blocks are reserved up front, so a full disk is a failure here and never a
  // fault while the mapping is written.
  if (::fallocate(replacement->fd, 0, 0, static_cast<off_t>(length)) != 0) {
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(length);
  void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, replacement->fd, 0);
  if (mapping == MAP_FAILED) {
    return nullptr;
  }
  replacement->mapping = mapping;
  replacement->mappedLength = size;
  return static_cast<std::uint8_t*>(mapping);
}

void StartWriteBack(Replacement* replacement, std::uint64_t offset, std::uint64_t length) {
  ::sync_file_range(replacement->fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

std::int64_t WriteAt(Replacement* replacement, std::uint64_t offset, const void* data,
                     std::uint32_t length) {
  for (;;) {
    const ssize_t moved = ::pwrite(replacement->fd, data, length, static_cast<off_t>(offset));
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    return moved;
  }
}

CommitResult CommitReplacement(Replacement* replacement, std::uint64_t length) {
  if (::ftruncate(replacement->fd, static_cast<off_t>(length)) != 0 ||
      ::fsync(replacement->fd) != 0) {
    return CommitResult::Failed;
  }
  if (replacement->mode == ReplaceMode::Overwrite) {
    Finish(replacement);
    return CommitResult::Done;
  }
  if (replacement->tempName.empty()) {
    // The unnamed file needs a name of its own before it can be renamed into place. A
    // taken name (whatever holds it, a planted link included) is passed over, never
    // followed or replaced.
    const std::string self = "/proc/self/fd/" + std::to_string(replacement->fd);
    for (int attempt = 1; replacement->tempName.empty(); ++attempt) {
      std::string name = TemporaryName(replacement->name);
      if (::linkat(AT_FDCWD, self.c_str(), replacement->directoryFd, name.c_str(),
                   AT_SYMLINK_FOLLOW) == 0) {
        replacement->tempName = std::move(name);
      } else if (errno != EEXIST || attempt == kNameAttempts) {
        return CommitResult::Failed;
      }
    }
  }
  if (::renameat(replacement->directoryFd, replacement->tempName.c_str(), replacement->directoryFd,
                 replacement->name.c_str()) != 0) {
    if (errno == EXDEV || errno == EBUSY) {
      if (replacement->mapping == nullptr) {
        Finish(replacement);
      } else {
        // The mapped bytes are still needed for the overwrite; only the name goes.
        RemoveStagedFile(*replacement);
      }
      return CommitResult::RenameRefused;
    }
    return CommitResult::Failed;
  }
  replacement->tempName.clear();
  // The rename itself must survive a crash too.
  ::fsync(replacement->directoryFd);
  Finish(replacement);
  return CommitResult::Done;
}

void AbandonReplacement(Replacement* replacement) { Finish(replacement); }

}  // namespace platform
