// Preloaded into the tool by the security cases: logs how the temporary file is made
// and put in place, can refuse unnamed files (as a file system without them would),
// and can plant a symbolic link at the very name the tool is about to use, the way an
// attacker who guessed it would. Controlled by VELMORAN_SHIM ("log", "no-tmpfile",
// "plant"), VELMORAN_SHIM_LOG and VELMORAN_SHIM_VICTIM.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool Asked(const char* what) {
  const char* modes = std::getenv("VELMORAN_SHIM");
  return modes != nullptr && std::strstr(modes, what) != nullptr;
}

__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
  const char* path = std::getenv("VELMORAN_SHIM_LOG");
  if (path == nullptr) {
    return;
  }
  using OpenFn = int (*)(const char*, int, ...);
  static const auto realOpen = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
  const int fd = realOpen(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return;
  }
  va_list args;
  va_start(args, format);
  vdprintf(fd, format, args);
  va_end(args);
  dprintf(fd, "\n");
  close(fd);
}

// Plants once per run, at the first name only: a retry under a new name may succeed.
void Plant(int directory, const char* name) {
  static bool planted = false;
  if (planted || !Asked("plant")) {
    return;
  }
  planted = true;
  const char* victim = std::getenv("VELMORAN_SHIM_VICTIM");
  if (victim != nullptr && symlinkat(victim, directory, name) == 0) {
    Log("planted %s", name);
  }
}

unsigned ModeOf(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 ? info.st_mode & 07777U : 0U;
}

using OpenAtFn = int (*)(int, const char*, int, ...);

int OpenAt(OpenAtFn real, int directory, const char* path, int flags, mode_t mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    if (Asked("no-tmpfile")) {
      Log("tmpfile refused");
      errno = EOPNOTSUPP;
      return -1;
    }
    const int fd = real(directory, path, flags, mode);
    Log("tmpfile mode=%o result=%d", fd >= 0 ? ModeOf(fd) : 0U, fd >= 0 ? 0 : -1);
    return fd;
  }
  if ((flags & O_CREAT) != 0) {
    Plant(directory, path);
    const int fd = real(directory, path, flags, mode);
    const int error = errno;
    Log("create %s excl=%d nofollow=%d mode=%o result=%d", path, (flags & O_EXCL) != 0 ? 1 : 0,
        (flags & O_NOFOLLOW) != 0 ? 1 : 0, fd >= 0 ? ModeOf(fd) : 0U, fd >= 0 ? 0 : -1);
    errno = error;
    return fd;
  }
  return real(directory, path, flags, mode);
}

mode_t ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

extern "C" {

int openat(int directory, const char* path, int flags, ...) {
  static const auto real = reinterpret_cast<OpenAtFn>(dlsym(RTLD_NEXT, "openat"));
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAt(real, directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...) {
  static const auto real = reinterpret_cast<OpenAtFn>(dlsym(RTLD_NEXT, "openat64"));
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAt(real, directory, path, flags, mode);
}

int linkat(int fromDirectory, const char* from, int toDirectory, const char* to, int flags) {
  using Fn = int (*)(int, const char*, int, const char*, int);
  static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "linkat"));
  Plant(toDirectory, to);
  const int result = real(fromDirectory, from, toDirectory, to, flags);
  const int error = errno;
  Log("link %s result=%d", to, result);
  errno = error;
  return result;
}

int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) {
  using Fn = int (*)(int, const char*, int, const char*);
  static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "renameat"));
  const int result = real(fromDirectory, from, toDirectory, to);
  const int error = errno;
  Log("rename %s %s result=%d", from, to, result);
  errno = error;
  return result;
}

int fsync(int fd) {
  using Fn = int (*)(int);
  static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
  const int result = real(fd);
  Log("fsync result=%d", result);
  return result;
}

}  // extern "C"
