// How the temporary file is made: unnamed and owner-only where the platform allows,
// else under a fresh name made exclusively without following links; a symbolic link
// an attacker plants at the name the tool picks is never followed.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "hardening_support.h"

namespace hardening {
namespace {

class TemporaryFile : public ToolTest {
 protected:
  // Runs the tool in place on "dir/source" with the shim in `modes`; the log's lines.
  std::vector<std::string> RunWithShim(const std::string& modes, Outcome& outcome) {
    Launch launch = In({"-s", "dir/source"});
    launch.umask = 0;  // owner-only must come from the tool, not from the umask
    launch.environment =
        ShimEnvironment({"VELMORAN_SHIM=" + modes, "VELMORAN_SHIM_LOG=" + Path("shim.log"),
                         "VELMORAN_SHIM_VICTIM=" + Path("victim")});
    outcome = RunTool(launch);
    std::ifstream in(Path("shim.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    ::unlink(Path("shim.log").c_str());
    return lines;
  }

  void SetUp() override {
    ToolTest::SetUp();
    MakeDirectory("dir");
    Write("dir/source", source_, 0644);
    Write("victim", victim_, 0644);
  }

  static std::string Joined(const std::vector<std::string>& lines) {
    std::ostringstream out;
    for (const std::string& line : lines) {
      out << "  " << line << "\n";
    }
    return out.str();
  }

  static long Find(const std::vector<std::string>& lines, const std::string& prefix) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind(prefix, 0) == 0) {
        return static_cast<long>(i);
      }
    }
    return -1;
  }

  void ExpectVictimUntouched() {
    EXPECT_EQ(Read("victim"), victim_) << "a planted link was followed";
    EXPECT_EQ(Mode("victim"), 0644U);
  }

  // Runs with the shim planting a symbolic link at the first temporary name the tool
  // picks: the link and its victim stay as they were, and the run still succeeds under
  // another name. Returns where the planted link points.
  std::string RunPastAPlantedLink(const std::string& modes) {
    Outcome outcome;
    const auto log = RunWithShim(modes, outcome);
    const long planted = Find(log, "planted ");
    EXPECT_GE(planted, 0) << Joined(log);
    if (planted < 0) {
      return "";
    }
    ExpectVictimUntouched();
    const std::string name = log[static_cast<std::size_t>(planted)].substr(8);
    EXPECT_EQ(Names("dir"), (std::set<std::string>{"source", name}));
    char target[4096] = {};
    EXPECT_GT(::readlink(Path("dir/" + name).c_str(), target, sizeof target - 1), 0)
        << "the planted link was replaced";
    // A taken name is no reason to fail: the tool picks another.
    EXPECT_EQ(outcome.exitCode, 0) << Joined(log);
    EXPECT_TRUE(Read("dir/source") == ComplementAdd(source_, kDefaultKey));
    return target;
  }

  const Bytes source_ = SomeBytes(300000, 31);
  const Bytes victim_ = "the attacker's target must never change";
  const std::regex tempName_{"\\.source\\.velmoran-[0-9a-f]{8}"};
};

TEST_F(TemporaryFile, IsUnnamedOwnerOnlyAndNamedOnlyOnceComplete) {
  Outcome outcome;
  const auto log = RunWithShim("log", outcome);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  const long created = Find(log, "tmpfile mode=600 result=0");
  const long flushed = Find(log, "fsync result=0");
  const long linked = Find(log, "link ");
  const long renamed = Find(log, "rename ");
  ASSERT_GE(created, 0) << "no unnamed owner-only file was made:\n" << Joined(log);
  EXPECT_EQ(Find(log, "create "), -1) << "a named file was made:\n" << Joined(log);
  EXPECT_LT(created, flushed) << Joined(log);
  EXPECT_LT(flushed, linked) << "the file got a name before it was complete:\n" << Joined(log);
  EXPECT_LT(linked, renamed) << Joined(log);
  std::smatch name;
  const std::string linkLine = linked >= 0 ? log[static_cast<std::size_t>(linked)] : "";
  EXPECT_TRUE(std::regex_search(linkLine, name, tempName_)) << linkLine;
  EXPECT_TRUE(Read("dir/source") == ComplementAdd(source_, kDefaultKey));
  EXPECT_EQ(Mode("dir/source"), 0644U) << "the replacement lost the file's permissions";
  EXPECT_EQ(Names("dir"), std::set<std::string>{"source"});
}

TEST_F(TemporaryFile, WithoutUnnamedFilesItIsExclusiveNoFollowAndOwnerOnly) {
  Outcome outcome;
  const auto log = RunWithShim("log,no-tmpfile", outcome);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  const long created = Find(log, "create ");
  ASSERT_GE(created, 0) << Joined(log);
  const std::string& line = log[static_cast<std::size_t>(created)];
  EXPECT_NE(line.find("excl=1 nofollow=1 mode=600 result=0"), std::string::npos) << line;
  EXPECT_TRUE(std::regex_search(line, tempName_)) << line;
  EXPECT_LT(Find(log, "fsync result=0"), Find(log, "rename ")) << Joined(log);
  EXPECT_TRUE(Read("dir/source") == ComplementAdd(source_, kDefaultKey));
  EXPECT_EQ(Names("dir"), std::set<std::string>{"source"});
}

TEST_F(TemporaryFile, ALinkPlantedAtTheFallbackNameIsNeverFollowed) {
  EXPECT_EQ(RunPastAPlantedLink("log,no-tmpfile,plant"), Path("victim"));
}

TEST_F(TemporaryFile, ALinkPlantedAtTheNameOfTheUnnamedFileIsNeverFollowed) {
  RunPastAPlantedLink("log,plant");
}

// What a kill between naming the staged file and renaming it leaves, and what only
// looks like it. The next run on the same file removes the first and nothing else.
enum class Planted {
  File,
  WriteOnly,
  LockedByALiveRun,
  Symlink,
  HardLinked,
  Directory,
  OtherOwner
};

struct LeftoverCase {
  const char* label;
  const char* name;
  Planted kind;
  bool removed;
};

class Leftover : public ToolTest, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(Leftover, OnlyAnAbandonedStagedFileOfThisFileIsRemoved) {
  const LeftoverCase& c = GetParam();
  const Bytes source = SomeBytes(5000, 3);
  const Bytes content = "what a killed run had staged";
  Write("source", source);
  Write("victim", content);
  const std::string planted = Path(c.name);
  int lockHolder = -1;
  switch (c.kind) {
    case Planted::File: Write(c.name, content, 0600); break;
    case Planted::WriteOnly: Write(c.name, content, 0200); break;
    case Planted::LockedByALiveRun:
      Write(c.name, content, 0600);
      lockHolder = ::open(planted.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(::flock(lockHolder, LOCK_EX), 0);
      break;
    case Planted::Symlink: ASSERT_EQ(::symlink(Path("victim").c_str(), planted.c_str()), 0); break;
    case Planted::HardLinked: ASSERT_EQ(::link(Path("victim").c_str(), planted.c_str()), 0); break;
    case Planted::Directory: MakeDirectory(c.name); break;
    case Planted::OtherOwner:
      if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can plant another user's file";
      }
      Write(c.name, content, 0600);
      ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
      break;
  }

  const Outcome outcome = RunTool(In({"-s", "source"}));
  if (lockHolder >= 0) {
    ::close(lockHolder);
  }
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_TRUE(Read("source") == ComplementAdd(source, kDefaultKey));
  EXPECT_EQ(Read("victim"), content);
  struct stat info {};
  EXPECT_EQ(::lstat(planted.c_str(), &info) != 0, c.removed) << c.name;
  std::set<std::string> expected = {"source", "victim"};
  if (!c.removed) {
    expected.insert(c.name);
  }
  EXPECT_EQ(Names(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    NextRun, Leftover,
    ::testing::Values(
        LeftoverCase{"Abandoned", ".source.velmoran-0123abcd", Planted::File, true},
        LeftoverCase{"AbandonedWriteOnly", ".source.velmoran-0123abcd", Planted::WriteOnly, true},
        LeftoverCase{"StillStaging", ".source.velmoran-0123abcd", Planted::LockedByALiveRun, false},
        LeftoverCase{"SevenDigits", ".source.velmoran-0123abc", Planted::File, false},
        LeftoverCase{"UpperCase", ".source.velmoran-0123ABCD", Planted::File, false},
        LeftoverCase{"OtherFile", ".other.velmoran-0123abcd", Planted::File, false},
        LeftoverCase{"NoDot", "source.velmoran-0123abcd", Planted::File, false},
        LeftoverCase{"Symlink", ".source.velmoran-0123abcd", Planted::Symlink, false},
        LeftoverCase{"HardLinked", ".source.velmoran-0123abcd", Planted::HardLinked, false},
        LeftoverCase{"Directory", ".source.velmoran-0123abcd", Planted::Directory, false},
        LeftoverCase{"OtherOwner", ".source.velmoran-0123abcd", Planted::OtherOwner, false}),
    [](const ::testing::TestParamInfo<LeftoverCase>& param) { return param.param.label; });

// Whether the source in place may be written is asked without opening it for writing
// (which on an overlay copies the whole file up): a run that then fails on its key
// file leaves no trace of a write open, seen as the close of one.
TEST_F(ToolTest, TheWriteAccessProbeNeverOpensTheFileForWriting) {
  Write("src", SomeBytes(5000, 4));
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, Path("src").c_str(), IN_CLOSE_WRITE), 0);
  const Outcome outcome = RunTool(In({"-s", "-f", "src", "missing"}));
  EXPECT_EQ(outcome.exitCode, 18);
  alignas(inotify_event) char events[4096];
  EXPECT_LE(::read(watch, events, sizeof events), 0) << "the source was opened for writing";
  ::close(watch);
}

// Whether a source may be rewritten in place is asked for the user the run acts as,
// without opening it for writing; where the kernel has no faccessat2 the permission
// bits decide the same way. Run as another user (root only) in a folder of that user's.
struct ProbeCase {
  const char* label;
  uid_t owner;
  gid_t group;
  mode_t mode;
  int status;
};

class WriteAccessProbe : public ToolTest,
                         public ::testing::WithParamInterface<std::tuple<ProbeCase, const char*>> {
};

TEST_P(WriteAccessProbe, DecidesForTheUserTheRunActsAs) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root";
  }
  constexpr uid_t kNobody = 65534;
  const auto& [c, shim] = GetParam();
  const Bytes content = SomeBytes(5000, 6);
  ASSERT_EQ(::chmod(Path("").c_str(), 0755), 0);
  MakeDirectory("mine");
  ASSERT_EQ(::chown(Path("mine").c_str(), kNobody, kNobody), 0);
  Write("mine/src", content);
  ASSERT_EQ(::chown(Path("mine/src").c_str(), c.owner, c.group), 0);
  ASSERT_EQ(::chmod(Path("mine/src").c_str(), c.mode), 0);
  Write("shim.log", "");
  ASSERT_EQ(::chmod(Path("shim.log").c_str(), 0666), 0);
  Launch launch = In({});
  launch.program = "/usr/bin/setpriv";
  launch.args = {"--reuid=65534", "--regid=65534", "--clear-groups", ToolPath(), "-s", "mine/src"};
  launch.environment = ShimEnvironment(
      {"VELMORAN_SHIM=log," + std::string(shim), "VELMORAN_SHIM_LOG=" + Path("shim.log")});
  const Outcome outcome = RunTool(launch);
  EXPECT_EQ(outcome.exitCode, c.status) << outcome.err;
  const Bytes now = Read("mine/src");
  EXPECT_EQ(now == content, c.status != 0);
  const bool refused = Read("shim.log").find("faccessat2 refused") != std::string::npos;
  // A file with no write bit at all is read-only before the kernel is asked.
  EXPECT_EQ(refused, std::string(shim) == "no-faccessat2" && (c.mode & 0222) != 0);
}

INSTANTIATE_TEST_SUITE_P(
    AsAnotherUser, WriteAccessProbe,
    ::testing::Combine(::testing::Values(ProbeCase{"OwnFile", 65534, 65534, 0644, 0},
                                         ProbeCase{"OnlyItsOwnerWrites", 0, 0, 0644, 19},
                                         ProbeCase{"ItsGroupWrites", 0, 65534, 0664, 0},
                                         ProbeCase{"OthersWrite", 0, 0, 0646, 0},
                                         ProbeCase{"NoWriteBit", 65534, 65534, 0444, 19}),
                       ::testing::Values("", "no-faccessat2")),
    [](const ::testing::TestParamInfo<std::tuple<ProbeCase, const char*>>& param) {
      return std::string(std::get<0>(param.param).label) +
             (*std::get<1>(param.param) == '\0' ? "" : "WithoutFaccessat2");
    });

// How many descriptors a run needs does not grow with a key file, which is read and
// closed before the destination is taken on: from the smallest limit at which a plain
// run succeeds, the same run with a key file succeeds too.
struct DescriptorCase {
  const char* label;
  std::vector<std::string> plain;
  std::vector<std::string> withKeyFile;
};

class Descriptors : public ToolTest, public ::testing::WithParamInterface<DescriptorCase> {
 protected:
  int Run(int limit, const std::vector<std::string>& args) {
    Write("src", SomeBytes(5000, 5));
    Write("key", "key");
    ::unlink(Path("dst").c_str());
    Launch launch = In({});
    launch.program = "/bin/sh";
    std::string command = "ulimit -n " + std::to_string(limit) + " && exec \"$0\"";
    for (const std::string& arg : args) {
      command += " " + arg;
    }
    launch.args = {"-c", command, ToolPath()};
    launch.quietErrors = true;
    return RunTool(launch).exitCode;
  }
};

TEST_P(Descriptors, AKeyFileNeedsNoMoreThanAPlainRun) {
  int smallest = 0;
  for (int limit = 3; limit <= 32 && smallest == 0; ++limit) {
    smallest = Run(limit, GetParam().plain) == 0 ? limit : 0;
  }
  ASSERT_GT(smallest, 0);
  for (int limit = smallest; limit < smallest + 4; ++limit) {
    EXPECT_EQ(Run(limit, GetParam().withKeyFile), 0) << "ulimit -n " << limit;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SmallestLimit, Descriptors,
    ::testing::Values(DescriptorCase{"InPlace", {"-s", "src"}, {"-s", "-f", "src", "key"}},
                      DescriptorCase{"Copy",
                                     {"-s", "-c", "src", "dst"},
                                     {"-s", "-c", "-f", "src", "dst", "key"}}),
    [](const ::testing::TestParamInfo<DescriptorCase>& param) { return param.param.label; });

// A source named through a descriptor's link (/dev/fd/N) of a file that has been
// removed: the link's text names "<name> (deleted)", which may be another file or
// nothing. The result never goes anywhere but over the file that was read, so here the
// run is refused and no file changes or appears.
struct DescriptorLinkCase {
  const char* label;
  bool fileOfTheLinksName;  // a file named like the link's text exists
  const char* mode;         // "" in place, else copy onto the same descriptor link
};

class DescriptorLink : public ToolTest, public ::testing::WithParamInterface<DescriptorLinkCase> {};

TEST_P(DescriptorLink, NeverReplacesAnotherFileOfTheLinksName) {
  const DescriptorLinkCase& c = GetParam();
  const Bytes source = SomeBytes(5000, 9);
  const Bytes bystander = "a file that only has the link's name";
  Write("gone2", source);
  if (c.fileOfTheLinksName) {
    Write("gone2 (deleted)", bystander);
  }
  const auto names = Names();
  Launch launch = In({});
  launch.program = "/bin/sh";
  const std::string copy = *c.mode == '\0' ? "" : std::string(c.mode) + " /dev/fd/7 ";
  launch.args = {"-c", "exec 7<gone2; rm gone2; exec \"$0\" -s " + copy + "/dev/fd/7", ToolPath()};
  const Outcome outcome = RunTool(launch);
  EXPECT_EQ(outcome.exitCode, 3) << outcome.err;
  std::set<std::string> left = names;
  left.erase("gone2");
  EXPECT_EQ(Names(), left);
  if (c.fileOfTheLinksName) {
    EXPECT_EQ(Read("gone2 (deleted)"), bystander);
  }
}

INSTANTIATE_TEST_SUITE_P(
    RemovedSource, DescriptorLink,
    ::testing::Values(DescriptorLinkCase{"InPlaceOverAFileOfThatName", true, ""},
                      DescriptorLinkCase{"InPlaceWithNoFileOfThatName", false, ""},
                      DescriptorLinkCase{"CopyOntoItsOwnLinkOverAFileOfThatName", true, "-c"}),
    [](const ::testing::TestParamInfo<DescriptorLinkCase>& param) { return param.param.label; });

}  // namespace
}  // namespace hardening
