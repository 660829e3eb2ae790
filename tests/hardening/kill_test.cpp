// SIGKILL at random moments while the tool rewrites a large file in place: the file
// is always exactly the old content or exactly the new one. The new content lives in
// an unnamed file until it is complete; only a kill in the moment between naming it
// and renaming it can leave it behind, and the next run on that file removes it.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <regex>

#include "hardening_support.h"

namespace hardening {
namespace {

class KillTest : public ToolTest {};

TEST_F(KillTest, AKillNeverLeavesATornFileOrATemporaryFile) {
  if (ToolIsInstrumented()) {
    GTEST_SKIP() << "a kill would hit the wrapper or the sanitizer's runtime, not the tool";
  }
  constexpr int kKills = 50;
  const Bytes old = SomeBytes(std::size_t{64} << 20, 11);
  const Bytes transformed = ComplementAdd(old, kDefaultKey);
  Write("big", old);
  const auto names = Names();

  // How long one whole run takes here, so that the kills spread over all of it.
  const auto started = std::chrono::steady_clock::now();
  const Outcome whole = RunTool(In({"-s", "big"}));
  const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  ASSERT_TRUE(Read("big") == transformed);
  bool isNew = true;

  std::mt19937 random(20240601);
  std::uniform_int_distribution<long long> moment(0, runTime.count() * 11 / 10);
  int killed = 0;
  int becameNew = 0;
  int stayedOld = 0;
  int leftNamed = 0;
  const std::regex stagedName{"\\.big\\.velmoran-[0-9a-f]{8}"};
  for (int round = 0; round < kKills; ++round) {
    Launch launch = In({"-s", "big"});
    launch.quietErrors = true;
    const Child child = Start(launch);
    ::usleep(static_cast<useconds_t>(moment(random)));
    killed += ::kill(child.pid, SIGKILL) == 0 ? 1 : 0;
    const Outcome outcome = Finish(child);
    ASSERT_TRUE(outcome.signal == SIGKILL || outcome.exitCode == 0)
        << "exit " << outcome.exitCode << ", signal " << outcome.signal;

    const Bytes now = Read("big");
    const Bytes& before = isNew ? transformed : old;
    const Bytes& after = isNew ? old : transformed;
    if (now == after) {
      isNew = !isNew;
      ++becameNew;
    } else {
      ASSERT_TRUE(now == before) << "round " << round
                                 << ": the file is torn: " << Describe(now, before, after);
      ++stayedOld;
    }
    if (Names() != names) {
      std::set<std::string> left = Names();
      left.erase("big");
      ASSERT_EQ(left.size(), 1U) << "round " << round << ": more than one file was left";
      ASSERT_TRUE(std::regex_match(*left.begin(), stagedName)) << *left.begin();
      ++leftNamed;
      const Outcome next = RunTool(In({"-s", "big"}));
      ASSERT_EQ(next.exitCode, 0) << next.err;
      isNew = !isNew;
      ASSERT_TRUE(Read("big") == (isNew ? transformed : old));
      ASSERT_EQ(Names(), names) << "round " << round << ": the next run left the staged file";
    }
  }
  RecordProperty("kills", killed);
  RecordProperty("old", stayedOld);
  RecordProperty("new", becameNew);
  RecordProperty("leftNamed", leftNamed);
  std::printf(
      "%d kills: %d left the old content, %d the new, 0 torn; %d left a staged name,"
      " removed by the next run\n",
      killed, stayedOld, becameNew, leftNamed);
}

}  // namespace
}  // namespace hardening
