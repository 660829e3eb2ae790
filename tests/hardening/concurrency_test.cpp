// Eight runs rewriting the same file in place at once, again and again: the file ends
// whole every time, every byte transformed the same number of times.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include "hardening_support.h"

namespace hardening {
namespace {

class ConcurrentRuns : public ToolTest {};

TEST_F(ConcurrentRuns, EightRunsOnOneFileNeverTearIt) {
  constexpr int kRounds = 50;
  constexpr int kRuns = 8;
  const Bytes original = SomeBytes((std::size_t{1} << 20) + 7, 21);
  const Bytes transformed = ComplementAdd(original, kDefaultKey);
  Write("shared", original);
  const auto names = Names();
  int failures = 0;
  int odd = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Child> children;
    for (int run = 0; run < kRuns; ++run) {
      Launch launch = In({"-s", "shared"});
      launch.quietErrors = true;
      children.push_back(Start(launch));
    }
    for (const Child& child : children) {
      const Outcome outcome = Finish(child);
      ASSERT_EQ(outcome.signal, 0) << "a run crashed";
      ASSERT_TRUE(outcome.exitCode >= 0 && outcome.exitCode <= 19) << outcome.exitCode;
      failures += outcome.exitCode != 0 ? 1 : 0;
    }
    const Bytes now = Read("shared");
    // Even counts of passes give the original back, odd ones one pass.
    ASSERT_TRUE(now == original || now == transformed)
        << "round " << round << ": " << Describe(now, original, transformed);
    odd += now == transformed ? 1 : 0;
    ASSERT_EQ(Names(), names) << "round " << round << ": a temporary file was left behind";
  }
  RecordProperty("failedRuns", failures);
  std::printf("%d rounds of %d runs: 0 torn, %d ended transformed, %d runs failed cleanly\n",
              kRounds, kRuns, odd, failures);
}

// Two runs on one large file at once, hard-linked (overwritten in place) or not
// (replaced by a rename): a run that finds the file taken by the other says so (19)
// and the file ends transformed once per run that succeeded, never a mix, never a
// change lost.
struct PairCase {
  const char* label;
  bool hardLinked;
};

class TwoRuns : public ToolTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(TwoRuns, EachSucceedsOrFindsTheFileTaken) {
  const Bytes original = SomeBytes(std::size_t{200} << 20, 22);
  Write("big", original);
  if (GetParam().hardLinked) {
    ASSERT_EQ(::link(Path("big").c_str(), Path("alias").c_str()), 0);
  }
  const auto names = Names();
  std::vector<Child> children;
  for (int run = 0; run < 2; ++run) {
    children.push_back(Start(In({"-s", "big"})));
  }
  int succeeded = 0;
  for (const Child& child : children) {
    const Outcome outcome = Finish(child);
    ASSERT_TRUE(outcome.exitCode == 0 || outcome.exitCode == 19) << outcome.exitCode;
    succeeded += outcome.exitCode == 0 ? 1 : 0;
  }
  const Bytes now = Read("big");
  const Bytes expected = succeeded == 1 ? ComplementAdd(original, kDefaultKey) : original;
  EXPECT_TRUE(now == expected) << succeeded << " succeeded; "
                               << Describe(now, original, ComplementAdd(original, kDefaultKey));
  EXPECT_EQ(Names(), names);
  std::printf("%s: %d of 2 runs succeeded\n", GetParam().label, succeeded);
}

INSTANTIATE_TEST_SUITE_P(OneLargeFile, TwoRuns,
                         ::testing::Values(PairCase{"Renamed", false},
                                           PairCase{"HardLinked", true}),
                         [](const ::testing::TestParamInfo<PairCase>& param) {
                           return param.param.label;
                         });

// A file another run holds (its lock) is left as it is: 19 in place, 3 as a copy's
// destination.
struct HeldCase {
  const char* label;
  std::vector<std::string> args;
  int status;
};

class HeldFile : public ToolTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(HeldFile, IsLeftUntouched) {
  const Bytes content = SomeBytes(5000, 23);
  Write("src", content);
  Write("dst", "old destination");
  const int holder = ::open(Path(GetParam().args.back()).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  std::vector<std::string> args = {"-s"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  const Outcome outcome = RunTool(In(args));
  ::close(holder);
  EXPECT_EQ(outcome.exitCode, GetParam().status);
  EXPECT_EQ(Read("src"), content);
  EXPECT_EQ(Read("dst"), "old destination");
  EXPECT_EQ(Names(), (std::set<std::string>{"src", "dst"}));
}

INSTANTIATE_TEST_SUITE_P(ByAnotherRun, HeldFile,
                         ::testing::Values(HeldCase{"InPlace", {"src"}, 19},
                                           HeldCase{"CopyDestination", {"-c", "src", "dst"}, 3}),
                         [](const ::testing::TestParamInfo<HeldCase>& param) {
                           return param.param.label;
                         });

}  // namespace
}  // namespace hardening
