// SIGKILL at random moments while the tool rewrites a large file in place: the file
// is always exactly the old content or exactly the new one. The new content lives in
// an unnamed file until it is complete; only a kill in the moment between naming it
// and renaming it can leave it behind, and the next run on that file removes it.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>

#include "hardening_support.h"

namespace hardening {
namespace {

// A file rewritten over and over, each run killed at a moment drawn over the length of
// one whole run.
class KillTest : public ToolTest {
 protected:
  void SetUp() override {
    if (ToolIsInstrumented()) {
      GTEST_SKIP() << "a kill would hit the wrapper or the sanitizer's runtime, not the tool";
    }
  }

  // Runs `args` to its end, which must be 0, and draws the kill moments from then on
  // over that run's length and a tenth more.
  void TimeOneRun(const std::vector<std::string>& args, unsigned seed) {
    const auto started = std::chrono::steady_clock::now();
    const Outcome whole = RunTool(In(args));
    const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    random_.seed(seed);
    moment_ = std::uniform_int_distribution<long long>(0, runTime.count() * 11 / 10);
  }

  // Starts `args` and kills it at the next moment; the run ends by the kill or, when
  // it was quicker, by its own success. Whether the kill reached it.
  bool RunAndKill(const std::vector<std::string>& args) {
    Launch launch = In(args);
    launch.quietErrors = true;
    const Child child = Start(launch);
    ::usleep(static_cast<useconds_t>(moment_(random_)));
    const bool killed = ::kill(child.pid, SIGKILL) == 0;
    const Outcome outcome = Finish(child);
    EXPECT_TRUE(outcome.signal == SIGKILL || outcome.exitCode == 0)
        << "exit " << outcome.exitCode << ", signal " << outcome.signal;
    return killed;
  }

 private:
  std::mt19937 random_;
  std::uniform_int_distribution<long long> moment_;
};

TEST_F(KillTest, AKillNeverLeavesATornFileOrATemporaryFile) {
  constexpr int kKills = 50;
  const Bytes old = SomeBytes(std::size_t{64} << 20, 11);
  const Bytes transformed = ComplementAdd(old, kDefaultKey);
  Write("big", old);
  const auto names = Names();

  // How long one whole run takes here, so that the kills spread over all of it.
  TimeOneRun({"-s", "big"}, 20240601);
  ASSERT_TRUE(Read("big") == transformed);
  bool isNew = true;

  int killed = 0;
  int becameNew = 0;
  int stayedOld = 0;
  int leftNamed = 0;
  const std::regex stagedName{"\\.big\\.velmoran-[0-9a-f]{8}"};
  for (int round = 0; round < kKills; ++round) {
    killed += RunAndKill({"-s", "big"}) ? 1 : 0;
    ASSERT_FALSE(HasFailure());

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
// old or new whole. The moments come from a printed seed (VELMORAN_KILL_SEED repeats
// them).
struct KillPlan {
  const char* name;
  std::size_t mebibytes;
  int kills;
  // On a tmpfs, where one is allowed: a flush costs nothing there, so that many rounds
  // over a large file take little time. A kill, unlike a power loss, loses nothing the
  // tool wrote, on any file system.
  bool inMemory;
};

class OverwriteKillTest : public KillTest, public ::testing::WithParamInterface<KillPlan> {};

TEST_P(OverwriteKillTest, AKilledOverwriteIsFinishedByTheSameCommand) {
  const KillPlan& plan = GetParam();
  std::string folder;  // where the files lie: "" for the scratch folder, else "fs/"
  if (plan.inMemory) {
    if (MountTmpfs("fs", "size=" + std::to_string(plan.mebibytes * 2 + 16) + "m,mode=0755")) {
      folder = "fs/";
    } else {
      std::printf("no tmpfs allowed here: on the scratch folder's file system\n");
    }
  }
  const std::string file = folder + "linked";
  const Bytes old = SomeBytes(plan.mebibytes << 20, 12);
  const Bytes transformed = ComplementAdd(old, kDefaultKey);
  Write(file, old);
  HardLink(file, folder + "second");
  const auto names = Names();

  const char* const given = std::getenv("VELMORAN_KILL_SEED");
  const auto seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                     : static_cast<unsigned>(std::random_device{}());
  std::printf("kill moments from seed %u\n", seed);
  TimeOneRun({"-s", file}, seed);
  ASSERT_TRUE(Read(file) == transformed);
  ASSERT_EQ(Names(), names) << "a finished run left its record";
  bool isNew = true;

  int finished = 0;
  int keptWhole = 0;
  for (int round = 0; round < plan.kills; ++round) {
    RunAndKill({"-s", file});
    ASSERT_FALSE(HasFailure()) << "seed " << seed << " round " << round;
    const Bytes& meant = isNew ? old : transformed;  // what this round's run was to write
    std::set<std::string> left = Names();
    for (const std::string& name : names) {
      left.erase(name);
    }
    if (!left.empty()) {
      ASSERT_EQ(left.size(), 1U) << "seed " << seed << " round " << round;
      ASSERT_EQ(*left.begin(), folder + ".linked.velmoran-recovery");
      const Outcome next = RunTool(In({"-s", file}));
      ASSERT_EQ(next.exitCode, 0) << "seed " << seed << " round " << round << ": " << next.err;
      ASSERT_EQ(Names(), names) << "seed " << seed << " round " << round;
    }
    const Bytes now = Read(file);
    if (!left.empty()) {
      ASSERT_TRUE(now == meant) << "seed " << seed << " round " << round << ": "
                                << Describe(now, isNew ? transformed : old, meant);
      ++finished;
    } else {
      ASSERT_TRUE(now == old || now == transformed)
          << "seed " << seed << " round " << round << ": torn without a record";
      ++keptWhole;
    }
    isNew = now == transformed;
  }
  RecordProperty("finishedFromARecord", finished);
  std::printf("%d kills: %d left a record, finished by the same command; %d left the file whole\n",
              plan.kills, finished, keptWhole);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OverwriteKillTest,
                         ::testing::Values(KillPlan{"64MiB", 64, 24, false},
                                           KillPlan{"200MiB", 200, 20, true}),
                         [](const ::testing::TestParamInfo<KillPlan>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
}  // namespace hardening
