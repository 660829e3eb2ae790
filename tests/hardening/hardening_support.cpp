#include "hardening_support.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace hardening {

const std::string& ToolPath() {
  static const std::string path = support::ToolPath("VELMORAN_HARDENING_TOOL");
  return path;
}

bool ToolIsInstrumented() {
  return VELMORAN_TOOL_SANITIZED != 0 || std::getenv("VELMORAN_SANITIZED") != nullptr ||
         std::getenv("VELMORAN_HARDENING_TOOL") != nullptr;
}

std::vector<std::string> ShimEnvironment(std::vector<std::string> settings) {
  std::string asan = "verify_asan_link_order=0";
  if (const char* options = std::getenv("ASAN_OPTIONS")) {
    asan = std::string(options) + ":" + asan;
  }
  settings.push_back("LD_PRELOAD=" + std::string(VELMORAN_SHIM_PATH));
  settings.push_back("ASAN_OPTIONS=" + asan);
  return settings;
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

bool ToolTest::MountTmpfs(const std::string& name, const std::string& options) {
  MakeDirectory(name);
  return Mount("tmpfs", name, "tmpfs", MS_NOSUID | MS_NODEV, options);
}

void ToolTest::RemountReadOnly(const std::string& name) const {
  ASSERT_EQ(::mount(nullptr, Path(name).c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);
}

Launch ToolTest::In(std::vector<std::string> args) const {
  Launch launch;
  launch.program = ToolPath();
  launch.args = std::move(args);
  launch.directory = Root();
  // Large files, and runs under valgrind, take far longer than the usual guard.
  launch.timeoutSeconds = 120;
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
  if (actual == support::kMissing) {
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
