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

// The same over the overwrite path: a file with a second name is rewritten in place,
// kept by a recovery record. Whenever a kill leaves the record, the same command again
// gives exactly the bytes the killed run meant to write; without a record the file is
// old or new whole. The moments come from a printed seed.
TEST_F(KillTest, AKilledOverwriteIsFinishedByTheSameCommand) {
  if (ToolIsInstrumented()) {
    GTEST_SKIP() << "a kill would hit the wrapper or the sanitizer's runtime, not the tool";
  }
  constexpr int kKills = 24;
  const Bytes old = SomeBytes(std::size_t{64} << 20, 12);
  const Bytes transformed = ComplementAdd(old, kDefaultKey);
  Write("linked", old);
  ASSERT_EQ(::link(Path("linked").c_str(), Path("second").c_str()), 0);
  const auto names = Names();

  const auto started = std::chrono::steady_clock::now();
  const Outcome whole = RunTool(In({"-s", "linked"}));
  const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  ASSERT_TRUE(Read("linked") == transformed);
  ASSERT_EQ(Names(), names) << "a finished run left its record";
  bool isNew = true;

  const auto seed = static_cast<unsigned>(std::random_device{}());
  std::printf("kill moments from seed %u\n", seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<long long> moment(0, runTime.count() * 11 / 10);
  int finished = 0;
  int keptWhole = 0;
  for (int round = 0; round < kKills; ++round) {
    Launch launch = In({"-s", "linked"});
    launch.quietErrors = true;
    const Child child = Start(launch);
    ::usleep(static_cast<useconds_t>(moment(random)));
    ::kill(child.pid, SIGKILL);
    const Outcome outcome = Finish(child);
    ASSERT_TRUE(outcome.signal == SIGKILL || outcome.exitCode == 0)
        << "exit " << outcome.exitCode << ", signal " << outcome.signal;
    const Bytes& meant = isNew ? old : transformed;  // what this round's run was to write
    if (Names() != names) {
      std::set<std::string> left = Names();
      for (const std::string& name : names) {
        left.erase(name);
      }
      ASSERT_EQ(left.size(), 1U) << "seed " << seed << " round " << round;
      ASSERT_EQ(*left.begin(), ".linked.velmoran-recovery");
      const Outcome next = RunTool(In({"-s", "linked"}));
      ASSERT_EQ(next.exitCode, 0) << "seed " << seed << " round " << round << ": " << next.err;
      ASSERT_TRUE(Read("linked") == meant) << "seed " << seed << " round " << round;
      ASSERT_EQ(Names(), names) << "seed " << seed << " round " << round;
      ++finished;
    } else {
      const Bytes now = Read("linked");
      ASSERT_TRUE(now == old || now == transformed)
          << "seed " << seed << " round " << round << ": torn without a record";
      ++keptWhole;
    }
    isNew = Read("linked") == transformed;
  }
  RecordProperty("finishedFromARecord", finished);
  std::printf("%d kills: %d left a record, finished by the same command; %d left the file whole\n",
              kKills, finished, keptWhole);
}

}  // namespace
}  // namespace hardening
