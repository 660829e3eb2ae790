// Eight runs rewriting the same file in place at once, again and again: the file ends
// whole every time, every byte transformed the same number of times.
#include <signal.h>

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

}  // namespace
}  // namespace hardening
