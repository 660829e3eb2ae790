// SIGKILL at random moments while the tool rewrites a large file in place: the file
// is always exactly the old content or exactly the new one, and no temporary file is
// ever left behind (the new content lives in an unnamed file until it is complete).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>

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
    ASSERT_EQ(Names(), names) << "round " << round << ": a temporary file was left behind";
  }
  RecordProperty("kills", killed);
  RecordProperty("old", stayedOld);
  RecordProperty("new", becameNew);
  std::printf("%d kills: %d left the old content, %d the new, 0 torn\n", killed, stayedOld,
              becameNew);
}

}  // namespace
}  // namespace hardening
