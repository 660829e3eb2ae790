// The calls a replacement is made of, on Linux: paths, folders, staged files, writes
// and the rename. What to call when is decided in app/replace_file.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdio.h>  // renameat2
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/errors.h"
#include "platform/platform.h"

namespace platform {

namespace {

using posix::LastError;

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The kernel's rule for protected symbolic links, whatever the sysctl says: in a sticky
// folder that anyone may write, only a link of the caller's or of the folder's owner
// is followed, so another user cannot plant one that redirects a write.
bool MayFollow(const std::string& path, const struct stat& link) {
  struct stat folder {};
  if (::stat(DirectoryOf(path).c_str(), &folder) != 0) {
    return false;
  }
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == ::geteuid() || link.st_uid == folder.st_uid;
}

// Follows symbolic links (a dangling one included) to the path that a write reaches,
// so that a link as destination stays a link. AccessDenied for a link the kernel's
// rule would not follow.
Error ResolveLinks(std::string& path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return Error::None;
    }
    if (!MayFollow(path, info)) {
      return Error::AccessDenied;
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0) {
      return Error::Other;
    }
    const std::string link(target, static_cast<std::size_t>(length));
    if (link.front() == '/') {
      path = link;
    } else {
      path = DirectoryOf(path).append("/").append(link);
    }
  }
  return Error::Other;  // a loop of links
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in the folder is still the file open as `fd`.
bool NameIsFile(int folder, const char* name, int fd) {
  struct stat named {};
  struct stat opened {};
  return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &opened) == 0 &&
         SameFile(named, opened);
}

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// File and folder handles are both descriptors here.
int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// The inode flags an owner may set that describe a file (chattr s u c S d A C m j t);
// immutable and append-only never reach a file that is replaced.
constexpr unsigned kCarriedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL |
                                   FS_NODUMP_FL | FS_NOATIME_FL | FS_NOCOW_FL | FS_NOCOMP_FL |
                                   FS_JOURNAL_DATA_FL | FS_NOTAIL_FL;

// Extended attribute names, each zero-terminated, from a listxattr call; empty where
// the file system has none.
bool ListNames(const char* path, int fd, std::vector<char>& names) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = fd >= 0 ? ::flistxattr(fd, nullptr, 0) : ::listxattr(path, nullptr, 0);
    if (size < 0) {
      names.clear();
      return errno == ENOTSUP;
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = fd >= 0 ? ::flistxattr(fd, names.data(), names.size())
                                : ::listxattr(path, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {
      return false;  // grown between the two calls: asked again
    }
  }
  return false;
}

bool Contains(const std::vector<char>& names, const char* name) {
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
    if (std::strcmp(names.data() + at, name) == 0) {
      return true;
    }
  }
  return false;
}

bool ReadValue(const char* path, int fd, const char* name, std::vector<char>& value) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size =
        fd >= 0 ? ::fgetxattr(fd, name, nullptr, 0) : ::getxattr(path, name, nullptr, 0);
    if (size < 0) {
      return false;
    }
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = fd >= 0 ? ::fgetxattr(fd, name, value.data(), value.size())
                                : ::getxattr(path, name, value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {
      return false;
    }
  }
  return false;
}

// The flags of the file at `path`; 0 where its file system keeps none.
Error ReadFlags(const char* path, unsigned& flags) {
  flags = 0;
  constexpr int kFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(path, O_RDONLY | kFlags);
  if (fd < 0 && errno == EACCES) {
    fd = ::open(path, O_WRONLY | kFlags);  // a file that may be written but not read
  }
  if (fd < 0) {
    return LastError();
  }
  int value = 0;
  const bool read = ::ioctl(fd, FS_IOC_GETFLAGS, &value) == 0;
  const int error = errno;
  ::close(fd);
  if (read) {
    flags = static_cast<unsigned>(value);
    return Error::None;
  }
  return (error == ENOTTY || error == ENOTSUP || error == EINVAL) ? Error::None
                                                                  : posix::ErrorFrom(error);
}

}  // namespace

Error LocatePath(const char* path, char* text, std::size_t capacity, std::size_t& length,
                 std::size_t& nameStart) {
  std::string target = path;
  if (const Error resolved = ResolveLinks(target); resolved != Error::None) {
    return resolved;  // a loop of links, one that cannot be read or may not be followed
  }
  length = target.size();
  if (length >= capacity) {
    return Error::None;
  }
  std::memcpy(text, target.c_str(), length + 1);
  const std::size_t slash = target.rfind('/');
  nameStart = slash == std::string::npos ? 0 : slash + 1;
  return Error::None;
}

bool SameName(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

NameLimits GetNameLimits(const char* folder) {
  const long name = ::pathconf(*folder == '\0' ? "." : folder, _PC_NAME_MAX);
  return {name > 0 ? static_cast<std::size_t>(name) : std::size_t{NAME_MAX}, PATH_MAX - 1};
}

Error OpenFolder(const char* text, std::size_t length, FolderHandle& folder) {
  const std::string path = length == 0 ? std::string(".") : std::string(text, length);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) {
    // A folder that may be written and searched but not read: files are made, renamed
    // and removed in it all the same; only listing and flushing it are out of reach.
    fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0) {
    return LastError();
  }
  folder = fd;
  return Error::None;
}

void CloseFolder(FolderHandle folder) {
  if (folder != kInvalidFolder) {
    ::close(Fd(folder));
  }
}

Error ListFolder(FolderHandle folder, void (*visit)(const char* name, void* context),
                 void* context) {
  const int listingFd = ::openat(Fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) {
    return LastError();
  }
  DIR* listing = ::fdopendir(listingFd);
  if (listing == nullptr) {
    const Error error = LastError();
    ::close(listingFd);
    return error;
  }
  while (const dirent* entry = ::readdir(listing)) {
    visit(entry->d_name, context);
  }
  ::closedir(listing);
  return Error::None;
}

Error FlushFolder(FolderHandle folder) {
  return ::fsync(Fd(folder)) == 0 ? Error::None : LastError();
}

Error InspectFile(const char* path, FileInfo& info) {
  struct stat status {};
  if (::stat(path, &status) != 0) {
    return LastError();
  }
  posix::Describe(status, info);
  if (info.regular && !info.readOnly && ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
    return LastError();
  }
  // An append-only file passes the access check but cannot be replaced.
  return info.regular && !info.readOnly ? posix::CheckWriteFlags(path) : Error::None;
}

Error InspectEntry(FolderHandle folder, const char* name, FileInfo& info) {
  struct stat status {};
  if (::fstatat(Fd(folder), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return LastError();
  }
  posix::Describe(status, info);
  return Error::None;
}

Error OpenEntry(FolderHandle folder, const char* name, FileHandle& file) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::openat(Fd(folder), name, O_RDONLY | kFlags);
  if (fd < 0 && errno == EACCES) {
    // A staged file carries the replaced file's permission bits, write-only included.
    fd = ::openat(Fd(folder), name, O_WRONLY | kFlags);
  }
  if (fd < 0) {
    return LastError();
  }
  file = fd;
  return Error::None;
}

Error TryLock(FileHandle file) {
  return ::flock(Fd(file), LOCK_EX | LOCK_NB) == 0 ? Error::None : LastError();
}

// Read access is enough for flock; a file that cannot even be read is left unlocked
// rather than opened for writing.
Error OpenLock(const char* path, FileHandle& lock, FileId& locked) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return errno == EACCES ? Error::NotSupported : LastError();
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const Error error = errno == ENOLCK ? Error::NotSupported : LastError();
    ::close(fd);
    return error;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const Error error = LastError();
    ::close(fd);
    return error;
  }
  locked = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
  lock = fd;
  return Error::None;
}

Error RemoveEntry(FolderHandle folder, const char* name) {
  return ::unlinkat(Fd(folder), name, 0) == 0 ? Error::None : LastError();
}

// By name: the logic has checked that the name still leads to the held file.
Error RemoveHeldEntry(FileHandle /*file*/, FolderHandle folder, const char* name) {
  return RemoveEntry(folder, name);
}

Error CreateStagedFile(FolderHandle folder, const char* name, FileHandle& file) {
  // In an append-only folder a file can be added but never renamed or removed again:
  // a staged file there would stay, so the folder counts as refusing new files.
  int folderFlags = 0;
  if (::ioctl(Fd(folder), FS_IOC_GETFLAGS, &folderFlags) == 0 &&
      (static_cast<unsigned>(folderFlags) & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0) {
    return Error::AccessDenied;
  }
  if (name == nullptr) {
    const int fd = ::openat(Fd(folder), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
      // What kernels and file systems without unnamed files answer.
      return (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) ? Error::NotSupported
                                                                         : LastError();
    }
    // It is named later through /proc/self/fd; where that does not lead to it (no /proc
    // mounted, or another file system over it) a named file is staged instead.
    struct stat reached {};
    struct stat opened {};
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::fstat(fd, &opened) != 0) {
      const Error error = LastError();
      ::close(fd);
      return error;
    }
    if (::stat(self.c_str(), &reached) != 0 || !SameFile(reached, opened)) {
      ::close(fd);
      return Error::NotSupported;
    }
    ::flock(fd, LOCK_EX);  // nobody else can reach an unnamed file: never contended
    file = fd;
    return Error::None;
  }
  const int fd =
      ::openat(Fd(folder), name, O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return LastError();
  }
  // Between creating and locking, another run may have taken the file for an abandoned
  // one and removed it; then this name is no longer ours.
  if (::flock(fd, LOCK_EX) != 0 || !NameIsFile(Fd(folder), name, fd)) {
    // A name that could not be locked, or whose check failed, is not used; while it
    // still leads to this file it is ours to remove, never left behind.
    if (NameIsFile(Fd(folder), name, fd)) {
      ::unlinkat(Fd(folder), name, 0);
    }
    ::close(fd);
    return Error::Exists;
  }
  file = fd;
  return Error::None;
}

// Created owner-only already; CarryMetadata gives it the original's owner and bits.
Error CreateStagedFileLike(FolderHandle folder, const char* name, const char* /*original*/,
                           FileHandle& file) {
  return CreateStagedFile(folder, name, file);
}

Error NameStagedFile(FileHandle file, FolderHandle folder, const char* name) {
  const std::string self = "/proc/self/fd/" + std::to_string(Fd(file));
  return ::linkat(AT_FDCWD, self.c_str(), Fd(folder), name, AT_SYMLINK_FOLLOW) == 0 ? Error::None
                                                                                    : LastError();
}

Error MoveStagedFile(FileHandle /*file*/, FolderHandle folder, const char* from, const char* to) {
  return ::renameat2(Fd(folder), from, Fd(folder), to, RENAME_NOREPLACE) == 0 ? Error::None
                                                                              : LastError();
}

// Owner and group first, since a change of owner clears set-id bits, then the
// permission bits.
Error CarryMetadata(FileHandle file, const FileInfo* from) {
  if (from == nullptr) {
    return ::fchmod(Fd(file), 0666 & ~CurrentUmask()) == 0 ? Error::None : LastError();
  }
  // A new file's group is not always the caller's (a set-group-ID folder, -o grpid):
  // what the file has decides.
  struct stat made {};
  if (::fstat(Fd(file), &made) != 0) {
    return LastError();
  }
  if ((made.st_uid != from->owner || made.st_gid != from->group) &&
      ::fchown(Fd(file), from->owner, from->group) != 0) {
    return LastError();
  }
  if (::fchmod(Fd(file), from->mode) != 0) {
    return LastError();
  }
  // The kernel drops a set-id bit it will not grant without saying so: read back.
  struct stat kept {};
  if (::fstat(Fd(file), &kept) != 0) {
    return LastError();
  }
  return (kept.st_mode & 07777U) == from->mode && kept.st_uid == from->owner &&
                 kept.st_gid == from->group
             ? Error::None
             : Error::AccessDenied;
}

Error CarryAttributes(FileHandle file, const char* from) {
  const int fd = Fd(file);
  std::vector<char> wanted;
  std::vector<char> had;
  if (!ListNames(from, -1, wanted) || !ListNames(nullptr, fd, had)) {
    return LastError();
  }
  // What the new file got from its folder and the old one lacks goes first: a default
  // access list never adds entries.
  for (std::size_t at = 0; at < had.size(); at += std::strlen(had.data() + at) + 1) {
    const char* name = had.data() + at;
    if (!Contains(wanted, name) && ::fremovexattr(fd, name) != 0) {
      return LastError();
    }
  }
  std::vector<char> value;
  std::vector<char> present;
  for (std::size_t at = 0; at < wanted.size(); at += std::strlen(wanted.data() + at) + 1) {
    const char* name = wanted.data() + at;
    if (!ReadValue(from, -1, name, value)) {
      return LastError();
    }
    if (ReadValue(nullptr, fd, name, present) && present == value) {
      continue;  // the system gave it already (a label), or an earlier call did
    }
    if (::fsetxattr(fd, name, value.data(), value.size(), 0) != 0) {
      return LastError();
    }
  }
  unsigned oldFlags = 0;
  unsigned newFlags = 0;
  if (const Error error = ReadFlags(from, oldFlags); error != Error::None) {
    return error;
  }
  int value32 = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &value32) == 0) {
    newFlags = static_cast<unsigned>(value32);
  }
  const unsigned target = (newFlags & ~kCarriedFlags) | (oldFlags & kCarriedFlags);
  if (target != newFlags) {
    value32 = static_cast<int>(target);
    if (::ioctl(fd, FS_IOC_SETFLAGS, &value32) != 0 ||
        ::ioctl(fd, FS_IOC_GETFLAGS, &value32) != 0 ||
        (static_cast<unsigned>(value32) & kCarriedFlags) != (oldFlags & kCarriedFlags)) {
      return Error::NotSupported;
    }
  }
  return Error::None;
}

Error OpenForOverwrite(const char* path, FileHandle& file) {
  constexpr int kFlags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(path, O_RDWR | kFlags);
  if (fd < 0 && errno == EACCES) {
    fd = ::open(path, O_WRONLY | kFlags);  // a file that may be written but not read
  }
  if (fd < 0) {
    return LastError();
  }
  file = fd;
  return Error::None;
}

Error WriteAt(FileHandle file, std::uint64_t offset, const void* data, std::uint32_t length,
              std::uint32_t& moved) {
  for (;;) {
    const ssize_t count = ::pwrite(Fd(file), data, length, static_cast<off_t>(offset));
    if (count >= 0) {
      moved = static_cast<std::uint32_t>(count);
      return Error::None;
    }
    if (errno != EINTR) {
      return LastError();
    }
  }
}

Error SetFileLength(FileHandle file, std::uint64_t length) {
  return ::ftruncate(Fd(file), static_cast<off_t>(length)) == 0 ? Error::None : LastError();
}

Error FlushFile(FileHandle file) { return ::fsync(Fd(file)) == 0 ? Error::None : LastError(); }

Error StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length) {
  return ::sync_file_range(Fd(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                           SYNC_FILE_RANGE_WRITE) == 0
             ? Error::None
             : LastError();
}

Error FlushFileSystem(FileHandle file) {
  return ::syncfs(Fd(file)) == 0 ? Error::None : LastError();
}

Error RenameOver(FileHandle /*staged*/, FolderHandle folder, const char* stagedName,
                 const char* name) {
  return ::renameat(Fd(folder), stagedName, Fd(folder), name) == 0 ? Error::None : LastError();
}

Error GetRandomBytes(void* buffer, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (std::size_t done = 0; done < length;) {
    const ssize_t got = ::getrandom(bytes + done, length - done, 0);
    if (got < 0 && errno != EINTR) {
      return LastError();
    }
    done += got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  return Error::None;
}

// Nanoseconds since the epoch, where the file system records a birth time.
Error GetBirthTime(FileHandle file, std::uint64_t& time) {
  struct statx status {};
  if (::statx(Fd(file), "", AT_EMPTY_PATH, STATX_BTIME, &status) != 0) {
    return LastError();
  }
  if ((status.stx_mask & STATX_BTIME) == 0) {
    return Error::NotSupported;
  }
  time = static_cast<std::uint64_t>(status.stx_btime.tv_sec) * 1000000000ULL +
         status.stx_btime.tv_nsec;
  return Error::None;
}

Error OpenEntryForData(FolderHandle folder, const char* name, bool writable, FileHandle& file) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int fd = ::openat(Fd(folder), name, (writable ? O_RDWR : O_RDONLY) | kFlags);
  if (fd < 0) {
    return LastError();
  }
  file = fd;
  return Error::None;
}

}  // namespace platform
