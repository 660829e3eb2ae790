// Preloaded into the tool by the security and fault-sweep cases.
//
// VELMORAN_SHIM ("log", "no-tmpfile", "no-faccessat2", "plant"), VELMORAN_SHIM_LOG,
// VELMORAN_SHIM_VICTIM: logs how the temporary file is made and put in place, can refuse
// unnamed files (as a file system without them would) or faccessat2 (as an older kernel
// would), and can plant a symbolic link at the very name the
// tool is about to use, the way an attacker who guessed it would.
//
// VELMORAN_SHIM_FAIL=call:N:ERRNO[:onward] fails the N-th call of one kind (see kCalls;
// "open" counts open, open64, openat and openat64 together, "pwrite" pwrite and
// pwrite64, and so on) with that errno, and with "onward" every later call of that kind
// too, as a fault that does not go away would; with "until-flush" every later call until
// the tool flushes a file or its file system (fsync, syncfs), with "until-syncfs" until it
// flushes the file system, as space a copy-on-write file system frees then.
// VELMORAN_SHIM_ALSO_FAIL, in the same form, sets the scene for it (a refused rename,
// say), unreported; the first of the two that matches a call decides.
// VELMORAN_SHIM_WRITE_PIECE=bytes makes every pwrite move at most that many bytes, a short
// write as any file system may give, so that a file takes several writes;
// VELMORAN_SHIM_READ_PIECE does the same for read.
// VELMORAN_SHIM_REPORT names a file that gets, at exit, "calls KIND COUNT" per kind and,
// when a fault fired, "fired KIND N ERRNO WHAT" with WHAT the file the call was about:
// how a sweep knows its N has passed the last call. A fault that stays adds the last
// call it failed as "last KIND N ERRNO WHAT".
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// ---- faults -------------------------------------------------------------------------

enum Call {
  kOpen,
  kRead,
  kFstat,
  kMmap,
  kPwrite,
  kWrite,
  kFallocate,
  kFtruncate,
  kFsync,
  kSyncfs,
  kLink,
  kRename,
  kFchown,
  kFchmod,
  kFlock,
  kFgetxattr,
  kFsetxattr,
  kFlistxattr,
  kCallCount
};

const char* const kCalls[kCallCount] = {"open",      "read",      "fstat",     "mmap",   "pwrite",
                                        "write",     "fallocate", "ftruncate", "fsync",  "syncfs",
                                        "link",      "rename",    "fchown",    "fchmod", "flock",
                                        "fgetxattr", "fsetxattr", "flistxattr"};

struct ErrnoName {
  const char* name;
  int value;
};

const ErrnoName kErrnos[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT},
    {"EPERM", EPERM},   {"EACCES", EACCES}, {"EXDEV", EXDEV},
    {"EBUSY", EBUSY},   {"EROFS", EROFS},   {"ENOMEM", ENOMEM},
    {"ENOENT", ENOENT}, {"EEXIST", EEXIST}, {"EINVAL", EINVAL},
    {"ENOLCK", ENOLCK}, {"EAGAIN", EAGAIN}, {"EOPNOTSUPP", EOPNOTSUPP},
    {"EMFILE", EMFILE}, {"EFBIG", EFBIG},   {"ENAMETOOLONG", ENAMETOOLONG},
};

struct Fault {
  int call = -1;
  long n = 0;
  int error = 0;
  const char* errorName = "";
  bool onward = false;
  // Stays until the tool flushes (1: a file or the file system, 2: the file system), as
  // space on a copy-on-write file system does.
  int untilFlushed = 0;
};

struct State {
  Fault fault;
  Fault setting;  // a fault that sets the scene, not reported
  long calls[kCallCount] = {};
  bool fired = false;
  std::string firedWhat;
  long firedAt = 0;
  std::string lastWhat;  // of the last call failed, where the fault stays
  long lastAt = 0;
  long writePiece = 0;
  long readPiece = 0;
  bool flushedSinceFault = false;  // a flush that frees what the fault stands for
};

// Parsed once, before main: the tool is single-threaded, the shim keeps it simple.
State& Shared() {
  static State state;
  return state;
}

// Calls the shim makes for itself (logging, describing a file) are not the tool's.
thread_local int inside = 0;

struct Inside {
  Inside() { ++inside; }
  ~Inside() { --inside; }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;
};

Fault ParseFault(const char* setting) {
  Fault fault;
  if (setting == nullptr) {
    return fault;
  }
  char kind[32] = {};
  char error[32] = {};
  char onward[16] = {};
  long n = 0;
  if (std::sscanf(setting, "%31[a-z0-9]:%ld:%31[A-Z]:%15s", kind, &n, error, onward) < 3) {
    return fault;
  }
  for (int call = 0; call < kCallCount; ++call) {
    if (std::strcmp(kCalls[call], kind) == 0) {
      fault.call = call;
    }
  }
  for (const ErrnoName& known : kErrnos) {
    if (std::strcmp(known.name, error) == 0) {
      fault.error = known.value;
      fault.errorName = known.name;
    }
  }
  if (fault.error == 0) {
    fault.call = -1;
  }
  fault.n = n;
  fault.onward = std::strcmp(onward, "onward") == 0;
  fault.untilFlushed = std::strcmp(onward, "until-flush") == 0    ? 1
                       : std::strcmp(onward, "until-syncfs") == 0 ? 2
                                                                  : 0;
  return fault;
}

__attribute__((constructor)) void ReadSettings() {
  State& state = Shared();
  state.fault = ParseFault(std::getenv("VELMORAN_SHIM_FAIL"));
  state.setting = ParseFault(std::getenv("VELMORAN_SHIM_ALSO_FAIL"));
  if (const char* piece = std::getenv("VELMORAN_SHIM_WRITE_PIECE")) {
    state.writePiece = std::strtol(piece, nullptr, 10);
  }
  if (const char* piece = std::getenv("VELMORAN_SHIM_READ_PIECE")) {
    state.readPiece = std::strtol(piece, nullptr, 10);
  }
}

using OpenFn = int (*)(const char*, int, ...);

OpenFn RealOpen() {
  static const auto real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
  return real;
}

__attribute__((destructor)) void WriteReport() {
  const char* path = std::getenv("VELMORAN_SHIM_REPORT");
  if (path == nullptr) {
    return;
  }
  const int fd = RealOpen()(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    return;
  }
  const State& state = Shared();
  for (int call = 0; call < kCallCount; ++call) {
    dprintf(fd, "calls %s %ld\n", kCalls[call], state.calls[call]);
  }
  if (state.fired) {
    dprintf(fd, "fired %s %ld %s %s\n", kCalls[state.fault.call], state.firedAt,
            state.fault.errorName, state.firedWhat.c_str());
  }
  if (state.lastAt > state.firedAt) {
    dprintf(fd, "last %s %ld %s %s\n", kCalls[state.fault.call], state.lastAt,
            state.fault.errorName, state.lastWhat.c_str());
  }
  close(fd);
}

// "path r|w|rw" of an open descriptor.
std::string DescribeFd(int fd) {
  const Inside guard;
  char target[4096] = {};
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(self.c_str(), target, sizeof target - 1);
  std::string what = length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
  const int flags = fcntl(fd, F_GETFL);
  const int access = flags < 0 ? -1 : (flags & O_ACCMODE);
  what += access == O_RDONLY ? " r" : access == O_WRONLY ? " w" : access == O_RDWR ? " rw" : " ?";
  return what;
}

// "path r|w|rw flags=HEX" of an open about to be made, relative to `directory`.
std::string DescribeOpen(int directory, const char* path, int flags) {
  std::string what;
  if (directory != AT_FDCWD && path[0] != '/') {
    what = DescribeFd(directory);
    what = what.substr(0, what.rfind(' ')) + "/";
  }
  what += path;
  const int access = flags & O_ACCMODE;
  what += access == O_RDONLY ? " r" : access == O_WRONLY ? " w" : " rw";
  char hex[32];
  std::snprintf(hex, sizeof hex, " flags=%x", static_cast<unsigned>(flags));
  return what + hex;
}

// Counts a call of the tool's and says whether it is the one to fail (errno set then).
// `describe` names the file the call is about, asked only when the fault fires.
template <typename Describe>
bool Fails(Call call, Describe describe) {
  if (inside > 0) {
    return false;
  }
  State& state = Shared();
  const long n = ++state.calls[call];
  const auto hits = [&](const Fault& fault) {
    return fault.call == call && n >= fault.n &&
           (n == fault.n || fault.onward || (fault.untilFlushed != 0 && !state.flushedSinceFault));
  };
  if (!hits(state.fault)) {
    if (hits(state.setting)) {
      errno = state.setting.error;
      return true;
    }
    return false;
  }
  const Fault& fault = state.fault;
  if (!state.fired) {
    state.fired = true;
    state.firedAt = n;
    state.firedWhat = describe();
  } else {
    state.lastAt = n;
    state.lastWhat = describe();
  }
  errno = fault.error;
  return true;
}

auto AboutFd(int fd) {
  return [fd] { return DescribeFd(fd); };
}

// ---- logging and planting -----------------------------------------------------------

bool Asked(const char* what) {
  const char* modes = std::getenv("VELMORAN_SHIM");
  return modes != nullptr && std::strstr(modes, what) != nullptr;
}

__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
  const char* path = std::getenv("VELMORAN_SHIM_LOG");
  if (path == nullptr) {
    return;
  }
  const int fd = RealOpen()(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
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
  const Inside guard;
  struct stat info {};
  return fstat(fd, &info) == 0 ? info.st_mode & 07777U : 0U;
}

using OpenAtFn = int (*)(int, const char*, int, ...);

int OpenAt(OpenAtFn real, int directory, const char* path, int flags, mode_t mode) {
  if (Fails(kOpen, [=] { return DescribeOpen(directory, path, flags); })) {
    return -1;
  }
  if (inside > 0) {
    return real(directory, path, flags, mode);
  }
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

template <typename Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int Open(const char* name, const char* path, int flags, mode_t mode) {
  if (Fails(kOpen, [=] { return DescribeOpen(AT_FDCWD, path, flags); })) {
    return -1;
  }
  // open and open64 are the same call here; each resolves its own next definition.
  static const auto realOpen = Real<OpenFn>("open");
  static const auto realOpen64 = Real<OpenFn>("open64");
  return (std::strcmp(name, "open") == 0 ? realOpen : realOpen64)(path, flags, mode);
}

ssize_t PWrite(ssize_t (*real)(int, const void*, size_t, off_t), int fd, const void* data,
               size_t length, off_t offset) {
  if (Fails(kPwrite, AboutFd(fd))) {
    return -1;
  }
  const long piece = Shared().writePiece;
  if (inside == 0 && piece > 0 && length > static_cast<size_t>(piece)) {
    length = static_cast<size_t>(piece);
  }
  return real(fd, data, length, offset);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Open("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Open("open64", path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
  static const auto real = Real<OpenAtFn>("openat");
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAt(real, directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...) {
  static const auto real = Real<OpenAtFn>("openat64");
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAt(real, directory, path, flags, mode);
}

ssize_t read(int fd, void* buffer, size_t length) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  if (Fails(kRead, AboutFd(fd))) {
    return -1;
  }
  const long piece = Shared().readPiece;
  if (inside == 0 && piece > 0 && length > static_cast<size_t>(piece)) {
    length = static_cast<size_t>(piece);
  }
  return real(fd, buffer, length);
}

int fstat(int fd, struct stat* info) {
  static const auto real = Real<int (*)(int, struct stat*)>("fstat");
  return Fails(kFstat, AboutFd(fd)) ? -1 : real(fd, info);
}

int fstat64(int fd, struct stat64* info) {
  static const auto real = Real<int (*)(int, struct stat64*)>("fstat64");
  return Fails(kFstat, AboutFd(fd)) ? -1 : real(fd, info);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  static const auto real = Real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
  if (Fails(kMmap, [=] { return fd < 0 ? std::string("anonymous") : DescribeFd(fd); })) {
    return MAP_FAILED;
  }
  return real(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset) {
  static const auto real = Real<void* (*)(void*, size_t, int, int, int, off64_t)>("mmap64");
  if (Fails(kMmap, [=] { return fd < 0 ? std::string("anonymous") : DescribeFd(fd); })) {
    return MAP_FAILED;
  }
  return real(address, length, protection, flags, fd, offset);
}

ssize_t pwrite(int fd, const void* data, size_t length, off_t offset) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return PWrite(real, fd, data, length, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t length, off64_t offset) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
  return PWrite(real, fd, data, length, offset);
}

ssize_t write(int fd, const void* data, size_t length) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  return Fails(kWrite, AboutFd(fd)) ? -1 : real(fd, data, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  static const auto real = Real<int (*)(int, int, off_t, off_t)>("fallocate");
  return Fails(kFallocate, AboutFd(fd)) ? -1 : real(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
  static const auto real = Real<int (*)(int, int, off64_t, off64_t)>("fallocate64");
  return Fails(kFallocate, AboutFd(fd)) ? -1 : real(fd, mode, offset, length);
}

int ftruncate(int fd, off_t length) {
  static const auto real = Real<int (*)(int, off_t)>("ftruncate");
  return Fails(kFtruncate, AboutFd(fd)) ? -1 : real(fd, length);
}

int ftruncate64(int fd, off64_t length) {
  static const auto real = Real<int (*)(int, off64_t)>("ftruncate64");
  return Fails(kFtruncate, AboutFd(fd)) ? -1 : real(fd, length);
}

int fsync(int fd) {
  static const auto real = Real<int (*)(int)>("fsync");
  if (Fails(kFsync, AboutFd(fd))) {
    Log("fsync result=-1");
    return -1;
  }
  const int result = real(fd);
  Log("fsync result=%d", result);
  if (Shared().fired && Shared().fault.untilFlushed == 1) {
    Shared().flushedSinceFault = true;
  }
  return result;
}

int syncfs(int fd) {
  static const auto real = Real<int (*)(int)>("syncfs");
  if (Fails(kSyncfs, AboutFd(fd))) {
    return -1;
  }
  const int result = real(fd);
  Log("syncfs result=%d", result);
  if (Shared().fired) {
    Shared().flushedSinceFault = true;
  }
  return result;
}

int fdatasync(int fd) {
  static const auto real = Real<int (*)(int)>("fdatasync");
  return Fails(kFsync, AboutFd(fd)) ? -1 : real(fd);
}

int linkat(int fromDirectory, const char* from, int toDirectory, const char* to, int flags) {
  static const auto real = Real<int (*)(int, const char*, int, const char*, int)>("linkat");
  if (Fails(kLink, [=] { return DescribeOpen(toDirectory, to, O_WRONLY); })) {
    return -1;
  }
  Plant(toDirectory, to);
  const int result = real(fromDirectory, from, toDirectory, to, flags);
  const int error = errno;
  Log("link %s result=%d", to, result);
  errno = error;
  return result;
}

int link(const char* from, const char* to) {
  static const auto real = Real<int (*)(const char*, const char*)>("link");
  return Fails(kLink, [=] { return DescribeOpen(AT_FDCWD, to, O_WRONLY); }) ? -1 : real(from, to);
}

int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) {
  static const auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
  if (Fails(kRename, [=] { return DescribeOpen(toDirectory, to, O_WRONLY); })) {
    Log("rename %s %s result=-1", from, to);
    return -1;
  }
  const int result = real(fromDirectory, from, toDirectory, to);
  const int error = errno;
  Log("rename %s %s result=%d", from, to, result);
  errno = error;
  return result;
}

int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
              unsigned flags) {
  static const auto real = Real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  if (Fails(kRename, [=] { return DescribeOpen(toDirectory, to, O_WRONLY); })) {
    return -1;
  }
  return real(fromDirectory, from, toDirectory, to, flags);
}

int rename(const char* from, const char* to) {
  static const auto real = Real<int (*)(const char*, const char*)>("rename");
  return Fails(kRename, [=] { return DescribeOpen(AT_FDCWD, to, O_WRONLY); }) ? -1 : real(from, to);
}

int fchown(int fd, uid_t owner, gid_t group) {
  static const auto real = Real<int (*)(int, uid_t, gid_t)>("fchown");
  return Fails(kFchown, AboutFd(fd)) ? -1 : real(fd, owner, group);
}

int fchmod(int fd, mode_t mode) {
  static const auto real = Real<int (*)(int, mode_t)>("fchmod");
  return Fails(kFchmod, AboutFd(fd)) ? -1 : real(fd, mode);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"  // the call shares its name with fcntl's struct
int flock(int fd, int operation) {
  static const auto real = Real<int (*)(int, int)>("flock");
  return Fails(kFlock, AboutFd(fd)) ? -1 : real(fd, operation);
}
#pragma GCC diagnostic pop

ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
  static const auto real = Real<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr");
  return Fails(kFgetxattr, AboutFd(fd)) ? -1 : real(fd, name, value, size);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  static const auto real = Real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
  return Fails(kFsetxattr, AboutFd(fd)) ? -1 : real(fd, name, value, size, flags);
}

ssize_t flistxattr(int fd, char* list, size_t size) {
  static const auto real = Real<ssize_t (*)(int, char*, size_t)>("flistxattr");
  return Fails(kFlistxattr, AboutFd(fd)) ? -1 : real(fd, list, size);
}

// Only faccessat2 is ever refused; every other system call passes with its arguments.
long syscall(long number, ...) {  // NOLINT(google-runtime-int): the C library's signature
  va_list args;
  va_start(args, number);
  long arguments[6];                  // NOLINT(google-runtime-int)
  for (long& argument : arguments) {  // NOLINT(google-runtime-int)
    argument = va_arg(args, long);    // NOLINT(google-runtime-int)
  }
  va_end(args);
  if (number == SYS_faccessat2 && Asked("no-faccessat2")) {
    Log("faccessat2 refused");
    errno = ENOSYS;
    return -1;
  }
  static const auto real = Real<long (*)(long, ...)>("syscall");  // NOLINT(google-runtime-int)
  return real(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
              arguments[5]);
}

}  // extern "C"
