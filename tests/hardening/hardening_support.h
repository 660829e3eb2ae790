// Shared by the fault, kill, concurrency and security cases: starting the built tool
// under limits, fresh temporary directories, and the ciphers computed independently.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace hardening {

using Bytes = std::string;

struct Launch {
  std::vector<std::string> args;  // argv[1..]
  std::string directory;          // the child's working directory
  rlim_t addressSpace = RLIM_INFINITY;
  rlim_t fileSize = RLIM_INFINITY;
  mode_t umask = 022;
  std::vector<std::string> environment;  // extra NAME=value entries
  bool quietErrors = false;              // stderr to /dev/null instead of collected
};

struct Outcome {
  int exitCode = -1;  // -1 unless the child exited
  int signal = 0;     // the signal that ended it
  bool timedOut = false;
  std::string err;
};

// The program under test: VELMORAN_HARDENING_TOOL when set (a wrapper that runs the
// tool under valgrind, for instance), else the build's own binary.
const std::string& ToolPath();

// Whether the tool runs under a sanitizer or a wrapper, where an address-space limit
// stops the runtime before the tool itself and a kill hits the wrapper.
bool ToolIsInstrumented();

// Starts the tool; the caller waits for it with Finish.
struct Child {
  pid_t pid = -1;
  int errFd = -1;
};
Child Start(const Launch& launch);
Outcome Finish(Child child, int timeoutSeconds = 120);
Outcome RunTool(const Launch& launch);

// The ciphers from their formulas, apart from the tool's code.
Bytes ComplementAdd(Bytes data, const std::string& key);  // (k - b - 1) mod 256
Bytes XOrData(Bytes data, const std::string& key);        // b ^ k
inline const char kDefaultKey[] = "Velmoran";

// `length` reproducible pseudo-random bytes.
Bytes SomeBytes(std::size_t length, std::uint64_t seed);

// A fresh temporary directory per test, removed afterwards, with whatever was
// mounted or made immutable inside it undone first.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 public:
  [[nodiscard]] std::string Path(const std::string& name) const;
  void Write(const std::string& name, const Bytes& bytes, unsigned mode = 0644) const;
  [[nodiscard]] Bytes Read(const std::string& name) const;
  void MakeDirectory(const std::string& name) const;
  // A file of `size` bytes with holes, so that huge sources cost no disk or time.
  void Sparse(const std::string& name, std::uint64_t size) const;
  // Every name in the directory (recursively, relative), hidden ones included.
  [[nodiscard]] std::set<std::string> Names(const std::string& directory = "") const;
  // Mounts a tmpfs with `options` at `name`; false where this environment forbids it.
  bool MountTmpfs(const std::string& name, const std::string& options);
  void RemountReadOnly(const std::string& name) const;
  // Sets the immutable attribute; false where the file system has none.
  bool MakeImmutable(const std::string& name);
  [[nodiscard]] ino_t Inode(const std::string& name) const;
  [[nodiscard]] nlink_t Links(const std::string& name) const;
  [[nodiscard]] unsigned Mode(const std::string& name) const;

  // The launch of the tool with `args` in this test's directory.
  [[nodiscard]] Launch In(std::vector<std::string> args) const;

 protected:
  std::string root_;

 private:
  std::vector<std::string> mounts_;
  std::vector<std::string> immutable_;
};

// Fills the file system holding `name` until it is full, then frees `freeBytes`
// (rounded up to whole pages) again.
void FillLeaving(const std::string& path, std::uint64_t freeBytes);

// Free bytes of the file system holding `path`.
std::uint64_t FreeBytes(const std::string& path);

// A readable dump of a few bytes for failure messages.
std::string Describe(const Bytes& actual, const Bytes& old, const Bytes& transformed);

}  // namespace hardening
