#include "hardening_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace hardening {
namespace {

void RemoveTree(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
          RemoveTree(path + "/" + name);
        }
      }
      ::closedir(dir);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

void CollectNames(const std::string& base, const std::string& relative,
                  std::set<std::string>& names) {
  DIR* dir = ::opendir((base + relative).c_str());
  if (dir == nullptr) {
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::string path = relative.empty() ? name : relative + "/" + name;
    names.insert(path);
    struct stat info {};
    if (::lstat((base + "/" + path).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      CollectNames(base, "/" + path, names);
    }
  }
  ::closedir(dir);
}

bool SetImmutable(const std::string& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return done;
}

}  // namespace

const std::string& ToolPath() {
  static const std::string path = [] {
    const char* chosen = std::getenv("VELMORAN_HARDENING_TOOL");
    return std::string(chosen != nullptr ? chosen : VELMORAN_TOOL_PATH);
  }();
  return path;
}

bool ToolIsInstrumented() {
  return VELMORAN_TOOL_SANITIZED != 0 || std::getenv("VELMORAN_SANITIZED") != nullptr ||
         std::getenv("VELMORAN_HARDENING_TOOL") != nullptr;
}

Child Start(const Launch& launch) {
  // Everything the child needs is prepared before fork: after it, only calls that are
  // safe in a child of a threaded process.
  std::vector<std::string> argStrings{ToolPath()};
  argStrings.insert(argStrings.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStrings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  // The launch's own entries replace inherited ones of the same name.
  std::vector<std::string> envStrings = launch.environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& own : launch.environment) {
      replaced = replaced || own.rfind(name, 0) == 0;
    }
    if (!replaced) {
      envStrings.push_back(entry);
    }
  }
  std::vector<char*> envp;
  for (std::string& entry : envStrings) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (!launch.quietErrors && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  const rlimit as{launch.addressSpace, launch.addressSpace};
  const rlimit fsize{launch.fileSize, launch.fileSize};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(devNull, STDOUT_FILENO);
    ::dup2(launch.quietErrors ? devNull : pipeFds[1], STDERR_FILENO);
    ::umask(launch.umask);
    // The tool itself must turn a write past the limit into a failed write.
    ::signal(SIGXFSZ, SIG_DFL);
    if (::chdir(launch.directory.c_str()) != 0 || ::setrlimit(RLIMIT_AS, &as) != 0 ||
        ::setrlimit(RLIMIT_FSIZE, &fsize) != 0) {
      ::_exit(125);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (!launch.quietErrors) {
    ::close(pipeFds[1]);
  }
  return {pid, launch.quietErrors ? -1 : pipeFds[0]};
}

Outcome Finish(Child child, int timeoutSeconds) {
  Outcome outcome;
  if (child.pid < 0) {
    return outcome;
  }
  // A guard against a tool that blocks, not a measure of its speed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  if (child.errFd >= 0) {
    char buffer[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        outcome.timedOut = true;
        break;
      }
      pollfd entry{child.errFd, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      const ssize_t got = ::read(child.errFd, buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      outcome.err.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(child.errFd);
  }
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child.pid, &status, outcome.timedOut ? 0 : WNOHANG);
    if (done == child.pid) {
      break;
    }
    if (done < 0 && errno != EINTR) {
      return outcome;
    }
    if (done == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        outcome.timedOut = true;
        ::kill(child.pid, SIGKILL);
      } else {
        ::usleep(1000);
      }
    }
  }
  if (WIFEXITED(status)) {
    outcome.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

Outcome RunTool(const Launch& launch) { return Finish(Start(launch)); }

Bytes ComplementAdd(Bytes data, const std::string& key) {
  for (std::size_t n = 0; n < data.size(); ++n) {
    const unsigned b = static_cast<unsigned char>(data[n]);
    const unsigned k = static_cast<unsigned char>(key[n % key.size()]);
    data[n] = static_cast<char>((256U + k - b - 1U) % 256U);
  }
  return data;
}

Bytes XOrData(Bytes data, const std::string& key) {
  for (std::size_t n = 0; n < data.size(); ++n) {
    data[n] = static_cast<char>(data[n] ^ key[n % key.size()]);
  }
  return data;
}

Bytes SomeBytes(std::size_t length, std::uint64_t seed) {
  Bytes bytes(length, '\0');
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
  std::size_t n = 0;
  while (n < length) {
    state ^= state << 13U;
    state ^= state >> 7U;
    state ^= state << 17U;
    for (int i = 0; i < 8 && n < length; ++i, ++n) {
      bytes[n] = static_cast<char>(state >> (8U * static_cast<unsigned>(i)));
    }
  }
  return bytes;
}

void ToolTest::SetUp() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/velmoran-hardening-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
  root_ = pattern;
}

void ToolTest::TearDown() {
  for (const std::string& path : immutable_) {
    SetImmutable(path, false);
  }
  for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount) {
    ::umount2(mount->c_str(), MNT_DETACH);
  }
  RemoveTree(root_);
}

std::string ToolTest::Path(const std::string& name) const { return root_ + "/" + name; }

void ToolTest::Write(const std::string& name, const Bytes& bytes, unsigned mode) const {
  const std::string path = Path(name);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t moved = ::write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(moved, 0) << path << ": " << std::strerror(errno);
    done += static_cast<std::size_t>(moved);
  }
  ::fchmod(fd, mode);
  ::close(fd);
}

Bytes ToolTest::Read(const std::string& name) const {
  std::ifstream in(Path(name), std::ios::binary);
  if (!in) {
    return "<missing>";
  }
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void ToolTest::MakeDirectory(const std::string& name) const {
  ASSERT_EQ(::mkdir(Path(name).c_str(), 0755), 0) << std::strerror(errno);
}

void ToolTest::Sparse(const std::string& name, std::uint64_t size) const {
  const int fd = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  ::close(fd);
}

std::set<std::string> ToolTest::Names(const std::string& directory) const {
  std::set<std::string> names;
  CollectNames(directory.empty() ? root_ : Path(directory), "", names);
  return names;
}

bool ToolTest::MountTmpfs(const std::string& name, const std::string& options) {
  MakeDirectory(name);
  if (::mount("tmpfs", Path(name).c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    return false;
  }
  mounts_.push_back(Path(name));
  return true;
}

void ToolTest::RemountReadOnly(const std::string& name) const {
  ASSERT_EQ(::mount(nullptr, Path(name).c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);
}

bool ToolTest::MakeImmutable(const std::string& name) {
  if (!SetImmutable(Path(name), true)) {
    return false;
  }
  immutable_.push_back(Path(name));
  return true;
}

ino_t ToolTest::Inode(const std::string& name) const {
  struct stat info {};
  return ::stat(Path(name).c_str(), &info) == 0 ? info.st_ino : 0;
}

nlink_t ToolTest::Links(const std::string& name) const {
  struct stat info {};
  return ::stat(Path(name).c_str(), &info) == 0 ? info.st_nlink : 0;
}

unsigned ToolTest::Mode(const std::string& name) const {
  struct stat info {};
  return ::lstat(Path(name).c_str(), &info) == 0 ? info.st_mode & 07777U : 0U;
}

Launch ToolTest::In(std::vector<std::string> args) const {
  Launch launch;
  launch.args = std::move(args);
  launch.directory = root_;
  return launch;
}

void FillLeaving(const std::string& path, std::uint64_t freeBytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  const std::string chunk(1 << 16, 'F');
  std::uint64_t size = 0;
  for (;;) {
    const ssize_t moved = ::write(fd, chunk.data(), chunk.size());
    if (moved <= 0) {
      break;
    }
    size += static_cast<std::uint64_t>(moved);
  }
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t release = (freeBytes + page - 1) / page * page;
  ASSERT_GE(size, release) << "the file system is too small to leave that much free";
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size - release)), 0);
  ::close(fd);
}

std::uint64_t FreeBytes(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::string Describe(const Bytes& actual, const Bytes& old, const Bytes& transformed) {
  if (actual == "<missing>") {
    return "the file is missing";
  }
  std::ostringstream out;
  out << actual.size() << " bytes (expected " << old.size() << ")";
  std::size_t matchOld = 0;
  std::size_t matchNew = 0;
  for (std::size_t i = 0; i < actual.size() && i < old.size(); ++i) {
    matchOld += actual[i] == old[i] ? 1U : 0U;
    matchNew += actual[i] == transformed[i] ? 1U : 0U;
  }
  out << ", " << matchOld << " bytes as before, " << matchNew << " as transformed";
  return out.str();
}

}  // namespace hardening
