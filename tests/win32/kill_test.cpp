// The Windows build ended at random moments (TerminateProcess, as Task Manager does)
// while it rewrites a large file in place: the file is always exactly the old content
// or exactly the new one, and a staged file left behind is removed by the next run.
// A file with a second name is overwritten in place instead, kept by a recovery record
// beside it: the same command finishes what a killed run left, and the record keeps
// every other run off the file until then.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// Starts the tool with `arguments` after its path, in `dir`.
Started StartTool(const TempDir& dir, const std::string& arguments) {
  std::string line = "\"" + wintest::ToolPath() + "\" " + arguments;
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

Started StartInPlace(const TempDir& dir) {
  return StartTool(dir, "-s \"" + (dir / "big.bin") + "\"");
}

// Runs the tool with `arguments` to its end: its exit code.
unsigned long RunToEnd(const TempDir& dir, const std::string& arguments) {
  const Started run = StartTool(dir, arguments);
  return run.process == nullptr ? ~0UL : WaitFor(run.process);
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

// A file with a second name, which the tool can only overwrite in place; the moments
// of the kills are drawn over the length of one whole run.
class KilledOverwrite : public ::testing::Test {
 protected:
  static constexpr unsigned long kKilledCode = 99;
  static constexpr const char* kCommand = "-s linked.bin";
  static constexpr const char* kRecord = ".linked.bin.velmoran-recovery";

  void SetUp() override {
    old_ = support::SomeBytes(std::size_t{64} << 20, 7);
    transformed_ = support::ComplementAdd(old_, support::kDefaultKey);
    dir_.Write("linked.bin", old_);
    dir_.Write("other.bin", "another file");
    ASSERT_TRUE(
        ::CreateHardLinkA((dir_ / "second.bin").c_str(), (dir_ / "linked.bin").c_str(), nullptr));
    names_ = dir_.Names();
    const DWORD started = ::GetTickCount();
    ASSERT_EQ(RunToEnd(dir_, kCommand), 0U);
    runTime_ = ::GetTickCount() - started;
    ASSERT_TRUE(dir_.Read("linked.bin") == transformed_);
    ASSERT_EQ(dir_.Names(), names_) << "a finished run left its record";
    isNew_ = true;
  }

  // Kills the command `delay` ms after its start. Whether it left a record; the bytes
  // the run meant to write go to `meant`.
  bool KillAfter(DWORD delay, Bytes& meant) {
    meant = isNew_ ? old_ : transformed_;
    const Started run = StartTool(dir_, kCommand);
    EXPECT_NE(run.process, nullptr);
    if (run.process == nullptr) {
      return false;
    }
    ::Sleep(delay);
    ::TerminateProcess(run.process, kKilledCode);
    const unsigned long code = WaitFor(run.process);
    EXPECT_TRUE(code == 0 || code == kKilledCode) << "exit code " << code;
    if (dir_.Exists(kRecord)) {
      return true;
    }
    const Bytes now = dir_.Read("linked.bin");
    EXPECT_TRUE(now == old_ || now == transformed_) << "torn without a record";
    EXPECT_EQ(dir_.Names(), names_);
    isNew_ = now == transformed_;
    return false;
  }

  // Kills runs amid their course until one leaves a record. The bytes it meant to write.
  Bytes LeaveARecord() {
    std::mt19937 random(20241210);
    std::uniform_int_distribution<DWORD> moment(runTime_ / 4, runTime_ * 3 / 4);
    Bytes meant;
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (KillAfter(moment(random), meant)) {
        return meant;
      }
    }
    ADD_FAILURE() << "no kill in 20 left a record";
    return meant;
  }

  // What the folder holds with the record.
  [[nodiscard]] std::vector<std::string> NamesWithRecord() const {
    std::vector<std::string> names = names_;
    names.emplace_back(kRecord);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  Bytes old_;
  Bytes transformed_;
  std::vector<std::string> names_;
  DWORD runTime_ = 0;
  bool isNew_ = true;  // whether the file holds the transformed bytes
};

TEST_F(KilledOverwrite, IsFinishedByTheSameCommand) {
  constexpr int kKills = 12;
  const char* const given = std::getenv("VELMORAN_KILL_SEED");  // repeats a run's moments
  const auto seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                     : static_cast<unsigned>(std::random_device{}());
  std::printf("kill moments from seed %u over runs of %lu ms\n", seed, runTime_);
  std::mt19937 random(seed);
  std::uniform_int_distribution<DWORD> moment(0, runTime_ + runTime_ / 10);
  int finished = 0;
  for (int round = 0; round < kKills; ++round) {
    Bytes meant;
    const bool recorded = KillAfter(moment(random), meant);
    ASSERT_FALSE(HasFailure()) << "seed " << seed << " round " << round;
    if (recorded) {
      ASSERT_EQ(RunToEnd(dir_, kCommand), 0U) << "seed " << seed << " round " << round;
      ASSERT_TRUE(dir_.Read("linked.bin") == meant) << "seed " << seed << " round " << round;
      ASSERT_EQ(dir_.Names(), names_) << "seed " << seed << " round " << round;
      isNew_ = meant == transformed_;
      ++finished;
    }
  }
  // Whether kills do come amid an overwrite is left to the rows below, which kill runs
  // until one does.
  std::printf("%d kills: %d left a record, finished by the same command\n", kKills, finished);
}

// Each row is a command run on what a killed run left: only the same command, in place
// or as a copy onto the file itself, with the same cipher and key, may go on with it.
TEST_F(KilledOverwrite, TheRecordDecidesWhoMayTouchTheFile) {
  struct Row {
    const char* command;
    unsigned long status;
  };
  const Row refused[] = {
      {"-s -k linked.bin wrong", 19},        // another key
      {"-s -m linked.bin", 19},              // the other cipher
      {"-s -c linked.bin copy.bin", 19},     // a copy from the file
      {"-s -c second.bin copy.bin", 19},     // from its other name
      {"-s -c other.bin linked.bin", 3},     // a copy over the file
      {"-s -c -m other.bin second.bin", 3},  // over its other name
  };
  Bytes meant = LeaveARecord();
  ASSERT_FALSE(HasFailure());
  const Bytes left = dir_.Read("linked.bin");
  for (const Row& row : refused) {
    EXPECT_EQ(RunToEnd(dir_, row.command), row.status) << row.command;
    EXPECT_TRUE(dir_.Read("linked.bin") == left) << row.command << ": touched";
    EXPECT_EQ(dir_.Names(), NamesWithRecord()) << row.command;
  }
  EXPECT_EQ(RunToEnd(dir_, kCommand), 0U);
  EXPECT_TRUE(dir_.Read("second.bin") == meant) << "not what the killed run meant";
  EXPECT_EQ(dir_.Names(), names_);

  isNew_ = meant == transformed_;
  meant = LeaveARecord();
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(RunToEnd(dir_, "-s -c linked.bin .\\LINKED.bin"), 0U);
  EXPECT_TRUE(dir_.Read("linked.bin") == meant) << "a copy onto the file itself";
  EXPECT_EQ(dir_.Names(), names_);
}

// A record whose file has changed length since no longer tells where the file stands:
// it is removed, and the run goes on with the file as it is.
TEST_F(KilledOverwrite, AStaleRecordIsRemovedAndTheRunGoesOn) {
  for (const std::size_t length : {old_.size() + 1, old_.size() / 2}) {
    LeaveARecord();
    ASSERT_FALSE(HasFailure());
    const Bytes changed = support::SomeBytes(length, 8);
    dir_.Write("second.bin", changed);  // the same file, by its other name
    ASSERT_EQ(dir_.Names(), NamesWithRecord());
    EXPECT_EQ(RunToEnd(dir_, kCommand), 0U) << length;
    EXPECT_TRUE(dir_.Read("linked.bin") == support::ComplementAdd(changed, support::kDefaultKey))
        << length;
    EXPECT_EQ(dir_.Names(), names_) << length;
    dir_.Write("linked.bin", old_);  // back to the old bytes, for the next kill
    isNew_ = false;
  }
}

}  // namespace
