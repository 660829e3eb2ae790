// Command line, clock, memory and message box on POSIX.
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/linux/arguments.h"
#include "platform/platform.h"

namespace {

std::string& CommandLine() {
  static std::string line;
  return line;
}

// The argv the line was formed from: its strings hold the key as well.
struct Arguments {
  int count = 0;
  char* const* values = nullptr;
};

Arguments& GivenArguments() {
  static Arguments arguments;
  return arguments;
}

// Volatile stores: the compiler may not drop a wipe of memory nobody reads again.
void Wipe(char* bytes, std::size_t length) {
  volatile char* volatileBytes = bytes;
  for (std::size_t i = 0; i < length; ++i) {
    volatileBytes[i] = '\0';
  }
}

// Blocks this large come straight from the kernel as fresh zero pages; smaller ones
// from calloc. Release tells them apart by the same size test.
constexpr std::size_t kMappedThreshold = std::size_t{64} * 1024;
constexpr std::size_t kHugePageThreshold = std::size_t{4} * 1024 * 1024;

void WriteFully(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t moved = ::write(fd, data, length);
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    if (moved <= 0) {
      return;
    }
    data += moved;
    length -= static_cast<std::size_t>(moved);
  }
}

}  // namespace

namespace platform::posix {

void SetArguments(int argc, char* const* argv) {
  std::string& line = CommandLine();
  line.clear();
  GivenArguments() = {argc, argv};
  // One block of the final size: a growing string would leave copies of the key
  // behind in the blocks it gave up.
  std::size_t length = 0;
  for (int i = 0; i < argc; ++i) {
    length += std::strlen(argv[i]) + 3;  // a separator and two quotation marks at most
  }
  line.reserve(length);
  for (int i = 0; i < argc; ++i) {
    const std::string_view element = argv[i];
    if (i > 0) {
      line += ' ';
    }
    if (element.empty() || element.find_first_of(" \t") != std::string_view::npos) {
      line += '"';
      line += element;
      line += '"';
    } else {
      line += element;
    }
  }
}

}  // namespace platform::posix

namespace platform {

const char* GetCommandLine() { return CommandLine().c_str(); }

const char16_t* GetWideCommandLine() { return nullptr; }  // argv is all there is

bool ConvertsExactly(const char16_t* /*text*/, std::size_t /*length*/) { return true; }

void WipeCommandLine() {
  std::string& line = CommandLine();
  Wipe(line.data(), line.size());
  line.clear();
  const Arguments& arguments = GivenArguments();
  for (int i = 0; i < arguments.count; ++i) {
    Wipe(arguments.values[i], std::strlen(arguments.values[i]));
  }
}

std::uint32_t GetTickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
  return static_cast<std::uint32_t>(milliseconds);
}

std::uint32_t GetNameSeed() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint32_t>(now.tv_nsec) ^ (static_cast<std::uint32_t>(::getpid()) << 20U);
}

void ShowMessageBox(const char* text, const char* caption) {
  std::string line = caption;
  line += ": ";
  for (const char* p = text; *p != '\0'; ++p) {
    line += (*p == '\r') ? '\n' : *p;
  }
  line += '\n';
  WriteFully(STDERR_FILENO, line.data(), line.size());
}

void* AllocateZeroed(std::size_t size) {
  if (size < kMappedThreshold) {
    return std::calloc(size, 1);  // NOLINT(cppcoreguidelines-no-malloc): this is the heap
  }
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) {
    return nullptr;
  }
  if (size >= kHugePageThreshold) {
    // Fewer, larger pages make the first touch of a big buffer much cheaper.
    ::madvise(block, size, MADV_HUGEPAGE);
  }
  return block;
}

void ReleaseBlock(void* block, std::size_t size) {
  if (size < kMappedThreshold) {
    std::free(block);  // NOLINT(cppcoreguidelines-no-malloc): this is the heap
  } else {
    ::munmap(block, size);
  }
}

}  // namespace platform
