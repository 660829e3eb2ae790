// The Windows build ended at random moments (TerminateProcess, as Task Manager does)
// while it rewrites a large file in place: the file is always exactly the old content
// or exactly the new one, and a staged file left behind is removed by the next run.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <random>
#include <string>
#include <vector>

#include "reference_ciphers.h"
#include "wine_support.h"

namespace {

using wintest::Bytes;
using wintest::TempDir;

struct Started {
  HANDLE process = nullptr;
};

Started StartInPlace(const TempDir& dir) {
  std::string line = "\"" + wintest::ToolPath() + "\" -s \"" + (dir / "big.bin") + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(wintest::ToolPath().c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, dir.Path().c_str(), &startup, &info)) {
    return {};
  }
  ::CloseHandle(info.hThread);
  return {info.hProcess};
}

unsigned long WaitFor(HANDLE process) {
  ::WaitForSingleObject(process, 60000);
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return code;
}

TEST(Killed, NeverLeavesATornFileAndItsStagedFileGoesWithTheNextRun) {
  constexpr int kKills = 20;
  constexpr unsigned long kKilledCode = 99;
  TempDir dir;
  const Bytes old = support::SomeBytes(std::size_t{32} << 20, 5);
  const Bytes transformed = support::ComplementAdd(old, support::kDefaultKey);
  dir.Write("big.bin", old);

  const DWORD started = ::GetTickCount();
  Started whole = StartInPlace(dir);
  ASSERT_NE(whole.process, nullptr);
  ASSERT_EQ(WaitFor(whole.process), 0U);
  const DWORD runTime = ::GetTickCount() - started;
  ASSERT_EQ(dir.Read("big.bin"), transformed);
  bool isNew = true;

  std::mt19937 random(20241209);
  std::uniform_int_distribution<DWORD> moment(0, runTime + runTime / 10);
  int leftNamed = 0;
  for (int round = 0; round < kKills; ++round) {
    Started run = StartInPlace(dir);
    ASSERT_NE(run.process, nullptr);
    ::Sleep(moment(random));
    ::TerminateProcess(run.process, kKilledCode);
    const unsigned long code = WaitFor(run.process);
    ASSERT_TRUE(code == 0 || code == kKilledCode) << "exit code " << code;

    const Bytes now = dir.Read("big.bin");
    if (now == (isNew ? old : transformed)) {
      isNew = !isNew;
    } else {
      ASSERT_TRUE(now == (isNew ? transformed : old)) << "round " << round << ": the file is torn";
    }
    std::vector<std::string> names = dir.Names();
    if (names.size() > 1) {
      ASSERT_EQ(names.size(), 2U) << "round " << round << ": more than one file was left";
      EXPECT_EQ(names[0].rfind(".big.bin.velmoran-", 0), 0U) << names[0];
      ++leftNamed;
      Started next = StartInPlace(dir);
      ASSERT_NE(next.process, nullptr);
      ASSERT_EQ(WaitFor(next.process), 0U);
      isNew = !isNew;
      ASSERT_EQ(dir.Read("big.bin"), isNew ? transformed : old);
      ASSERT_EQ(dir.Names(), std::vector<std::string>{"big.bin"})
          << "round " << round << ": the next run left the staged file";
    }
  }
  std::printf("%d kills, 0 torn; %d left a staged file, removed by the next run\n", kKills,
              leftNamed);
}

}  // namespace
