// Shared by the fault, kill, concurrency and security cases: the tool's launch in a
// test's own directory, small file systems to fill, and the ciphers computed
// independently.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "reference_ciphers.h"
#include "scratch_directory.h"
#include "tool_process.h"

namespace hardening {

using Bytes = std::string;

using support::Child;
using support::Finish;
using support::Launch;
using support::Outcome;
using support::Start;

// The program under test: VELMORAN_HARDENING_TOOL when set (a wrapper that runs the
// tool under valgrind, for instance), else the build's own binary.
const std::string& ToolPath();

// Whether the tool runs under a sanitizer or a wrapper, where an address-space limit
// stops the runtime before the tool itself and a kill hits the wrapper.
bool ToolIsInstrumented();

// The environment that preloads the file-call shim with `settings` (VELMORAN_SHIM...=...):
// a sanitized tool is told not to insist on its runtime coming first.
std::vector<std::string> ShimEnvironment(std::vector<std::string> settings);

// Starts the tool and waits for its end.
inline Outcome RunTool(const Launch& launch) { return support::Run(launch); }

// The ciphers from their formulas, apart from the tool's code.
using support::ComplementAdd;
using support::kDefaultKey;
using support::XOrData;

// `length` reproducible pseudo-random bytes.
Bytes SomeBytes(std::size_t length, std::uint64_t seed);

// A fresh temporary directory per test, removed afterwards, with whatever was
// mounted or made immutable inside it undone first.
class ToolTest : public ::testing::Test, public support::ScratchDirectory {
 public:
  ToolTest() : ScratchDirectory("hardening") {}

  // Mounts a tmpfs with `options` at `name`; false where this environment forbids it.
  bool MountTmpfs(const std::string& name, const std::string& options);
  void RemountReadOnly(const std::string& name) const;

  // The launch of the tool with `args` in this test's directory.
  [[nodiscard]] Launch In(std::vector<std::string> args) const;
};

// Fills the file system holding `name` until it is full, then frees `freeBytes`
// (rounded up to whole pages) again.
void FillLeaving(const std::string& path, std::uint64_t freeBytes);

// Free bytes of the file system holding `path`.
std::uint64_t FreeBytes(const std::string& path);

// A readable dump of a few bytes for failure messages.
std::string Describe(const Bytes& actual, const Bytes& old, const Bytes& transformed);

}  // namespace hardening
