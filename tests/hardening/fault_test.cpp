// Faults while the tool reads or writes: a full disk, a file-size limit, no memory, a
// source that changes size under it, and the overwrite-in-place path under the same
// faults. Whatever happens, every file keeps its exact bytes and nothing is left over.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>

#include "hardening_support.h"

namespace hardening {
namespace {

constexpr std::size_t kLength = (1U << 20) + 123;  // not a whole number of pages

// Where the output goes: over the source, to a new file, or over an existing one.
enum class Target { InPlace, NewCopy, ExistingCopy };

std::string TargetName(Target target) {
  switch (target) {
    case Target::InPlace: return "InPlace";
    case Target::NewCopy: return "NewCopy";
    case Target::ExistingCopy: return "ExistingCopy";
  }
  return "";
}

const Target kTargets[] = {Target::InPlace, Target::NewCopy, Target::ExistingCopy};

// The files of one case in `dir` (relative to the test's directory).
struct Files {
  Files(std::string directory, Target where) : dir(std::move(directory)), target(where) {}

  std::string dir;
  Target target;
  Bytes source;
  Bytes destination;
  std::set<std::string> names;

  [[nodiscard]] std::string Name(const std::string& file) const {
    return dir.empty() ? file : dir + "/" + file;
  }
};

// A small tmpfs, or a btrfs on a loop device (root only): a copy-on-write file system
// takes space for every write, overwrites too, and can refuse a write it reserved for.
enum class FileSystem { Tmpfs, Btrfs };

class FaultTest : public ToolTest {
 public:
  // Mounts the file system at `name`; false where this environment has no such thing.
  bool MountSmall(FileSystem kind, const std::string& name) {
    if (kind == FileSystem::Tmpfs) {
      return MountTmpfs(name, "size=4m,mode=0755");
    }
    if (::geteuid() != 0) {
      return false;
    }
    const std::string image = Path("btrfs.img");
    const std::string make = "truncate -s 128M '" + image + "' && mkfs.btrfs -q '" + image +
                             "' >/dev/null 2>&1 && losetup --find --show '" + image + "'";
    FILE* output = ::popen(make.c_str(), "r");
    if (output == nullptr) {
      return false;
    }
    char device[64] = {};
    const bool made = std::fgets(device, sizeof device, output) != nullptr;
    if (::pclose(output) != 0 || !made) {
      return false;
    }
    device[std::strcspn(device, "\n")] = '\0';
    MakeDirectory(name);
    const bool mounted = Mount(device, name, "btrfs", 0, "");
    // Detached while mounted, the loop device goes with the mount.
    std::system(("losetup -d " + std::string(device)).c_str());
    return mounted;
  }

  // Writes the source (and an existing destination) and returns the silent command.
  Launch Prepare(Files& files, std::size_t length = kLength) {
    files.source = SomeBytes(length, 7);
    files.destination = SomeBytes(length / 3 + 1, 8);
    Write(files.Name("source"), files.source);
    if (files.target == Target::ExistingCopy) {
      Write(files.Name("destination"), files.destination);
    }
    files.names = Names();
    std::vector<std::string> args{"-s"};
    if (files.target != Target::InPlace) {
      args.emplace_back("-c");
    }
    args.push_back(files.Name("source"));
    if (files.target != Target::InPlace) {
      args.push_back(files.Name("destination"));
    }
    return In(args);
  }

  void ExpectUntouched(const Files& files, const Outcome& outcome) const {
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_TRUE(Read(files.Name("source")) == files.source) << "the source lost its bytes";
    if (files.target == Target::ExistingCopy) {
      EXPECT_TRUE(Read(files.Name("destination")) == files.destination)
          << "the destination lost its bytes";
    }
    EXPECT_EQ(Names(), files.names) << "a file was left behind or removed; stderr: " << outcome.err;
  }

  void ExpectDone(const Files& files, const Outcome& outcome) const {
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    const Bytes transformed = ComplementAdd(files.source, kDefaultKey);
    const std::string written =
        files.Name(files.target == Target::InPlace ? "source" : "destination");
    EXPECT_TRUE(Read(written) == transformed) << "the result is not the transformed source";
    if (files.target != Target::InPlace) {
      EXPECT_TRUE(Read(files.Name("source")) == files.source);
    }
  }
};

// ---- a file-size limit on the child, at several offsets --------------------------

using LimitCase = std::tuple<Target, rlim_t>;
class FileSizeLimit : public FaultTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(FileSizeLimit, AWriteCutShortLosesNothing) {
  const auto [target, limit] = GetParam();
  Files files("", target);
  Launch launch = Prepare(files);
  launch.fileSize = limit;
  const Outcome outcome = RunTool(launch);
  if (limit >= kLength) {
    ExpectDone(files, outcome);  // the limit alone is not a fault
    return;
  }
  EXPECT_EQ(outcome.exitCode, limit == 0 ? 6 : 15) << outcome.err;
  ExpectUntouched(files, outcome);
}

INSTANTIATE_TEST_SUITE_P(Offsets, FileSizeLimit,
                         ::testing::Combine(::testing::ValuesIn(kTargets),
                                            ::testing::Values(0, 1, 4096, kLength / 2, kLength - 1,
                                                              kLength)),
                         [](const ::testing::TestParamInfo<LimitCase>& p) {
                           return TargetName(std::get<0>(p.param)) + "_" +
                                  std::to_string(std::get<1>(p.param));
                         });

// ---- a small file system that fills up during the write -------------------------

using FullCase = std::tuple<Target, std::uint64_t, FileSystem>;
class DiskFull : public FaultTest, public ::testing::WithParamInterface<FullCase> {};

TEST_P(DiskFull, AFullDiskLosesNothingAndFreesItsSpace) {
  const auto [target, freeBytes, kind] = GetParam();
  if (!MountSmall(kind, "disk")) {
    GTEST_SKIP() << "mounting this file system is not allowed here; the file-size limit "
                    "cases stand in";
  }
  Files files("disk", target);
  const Launch launch = Prepare(files);
  FillLeaving(Path("disk/filler"), freeBytes);
  files.names = Names();
  const std::uint64_t before = FreeBytes(Path("disk"));
  const Outcome outcome = RunTool(launch);
  if (freeBytes > kLength) {
    ExpectDone(files, outcome);
    return;
  }
  EXPECT_TRUE(outcome.exitCode == 6 || outcome.exitCode == 15) << outcome.exitCode << outcome.err;
  ExpectUntouched(files, outcome);
  // A copy-on-write file system gives freed space back some time later.
  if (kind == FileSystem::Tmpfs) {
    EXPECT_EQ(FreeBytes(Path("disk")), before) << "the staged file still holds space";
  }
}

std::string FullCaseName(const ::testing::TestParamInfo<FullCase>& p) {
  return std::string(std::get<2>(p.param) == FileSystem::Btrfs ? "Btrfs" : "") +
         TargetName(std::get<0>(p.param)) + "_" + std::to_string(std::get<1>(p.param));
}

INSTANTIATE_TEST_SUITE_P(FreeSpace, DiskFull,
                         ::testing::Combine(::testing::ValuesIn(kTargets),
                                            ::testing::Values(0, 4096, kLength / 2, kLength - 4096,
                                                              kLength + 65536),
                                            ::testing::Values(FileSystem::Tmpfs)),
                         FullCaseName);

// Nearly full: what is left is taken by the file system's own records before the data.
INSTANTIATE_TEST_SUITE_P(CopyOnWrite, DiskFull,
                         ::testing::Combine(::testing::ValuesIn(kTargets),
                                            ::testing::Values(0, 4096, kLength / 2),
                                            ::testing::Values(FileSystem::Btrfs)),
                         FullCaseName);

// No inode left: nothing can be created, which is status 3 and never a reason to
// overwrite the file in place. The tmpfs has two inodes: its root and one file.
TEST_F(FaultTest, NoInodeLeftIsStatus3AndNeverAnOverwrite) {
  if (!MountTmpfs("disk", "size=4m,nr_inodes=2,mode=0755")) {
    GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  }
  const Bytes source = SomeBytes(5000, 1);
  Write("disk/source", source);
  Write("outside", source);
  auto names = Names();
  Outcome outcome = RunTool(In({"-s", "disk/source"}));
  EXPECT_EQ(outcome.exitCode, 3) << outcome.err;
  EXPECT_TRUE(Read("disk/source") == source);
  EXPECT_EQ(Names(), names);

  outcome = RunTool(In({"-s", "-c", "outside", "disk/source"}));
  EXPECT_EQ(outcome.exitCode, 3) << outcome.err;
  EXPECT_TRUE(Read("disk/source") == source);
  EXPECT_EQ(Names(), names);
}

// A read-only file system: nothing is probed writable or created, nothing changes.
TEST_F(FaultTest, AReadOnlyFileSystemChangesNothing) {
  if (!MountTmpfs("disk", "size=4m,mode=0755")) {
    GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  }
  const Bytes source = SomeBytes(5000, 1);
  const Bytes destination = SomeBytes(300, 2);
  Write("disk/source", source);
  Write("disk/destination", destination);
  Write("outside", source);
  RemountReadOnly("disk");
  const auto names = Names();
  EXPECT_EQ(RunTool(In({"-s", "disk/source"})).exitCode, 19);
  EXPECT_EQ(RunTool(In({"-s", "-c", "outside", "disk/destination"})).exitCode, 3);
  EXPECT_EQ(RunTool(In({"-s", "-c", "outside", "disk/new"})).exitCode, 3);
  EXPECT_TRUE(Read("disk/source") == source);
  EXPECT_TRUE(Read("disk/destination") == destination);
  EXPECT_EQ(Names(), names);
}

// A device that takes no bytes is no regular file: never written, never replaced.
TEST_F(FaultTest, ADeviceAsDestinationIsStatus3) {
  const Bytes source = SomeBytes(5000, 1);
  Write("source", source);
  ASSERT_EQ(::symlink("/dev/full", Path("full").c_str()), 0);
  const auto names = Names();
  EXPECT_EQ(RunTool(In({"-s", "-c", "source", "/dev/full"})).exitCode, 3);
  EXPECT_EQ(RunTool(In({"-s", "-c", "source", "full"})).exitCode, 3);
  EXPECT_TRUE(Read("source") == source);
  EXPECT_EQ(Names(), names);
}

// ---- no memory: the data buffer and the key-file buffer -------------------------

class OutOfMemory : public FaultTest, public ::testing::WithParamInterface<Target> {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    if (ToolIsInstrumented()) {
      GTEST_SKIP() << "a sanitizer or wrapper needs more address space than any limit allows";
    }
  }
  // Far more than the tool needs to start, far less than the big files below.
  static constexpr rlim_t kAddressSpace = rlim_t{160} << 20;
  static constexpr std::uint64_t kHuge = std::uint64_t{512} << 20;
};

// Whether the file at `path` is `length` zero bytes transformed with the default key,
// read a little at a time: the files here are far larger than the tool's memory.
bool IsTransformedZeros(const std::string& path, std::uint64_t length) {
  const Bytes period = ComplementAdd(Bytes(std::strlen(kDefaultKey), '\0'), kDefaultKey);
  Bytes expected;
  while (expected.size() < (std::size_t{1} << 20)) {
    expected += period;
  }
  std::ifstream in(path, std::ios::binary);
  Bytes chunk(expected.size(), '\0');
  std::uint64_t seen = 0;
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    const auto got = static_cast<std::size_t>(in.gcount());
    if (chunk.compare(0, got, expected, 0, got) != 0) {
      return false;
    }
    seen += got;
  }
  return seen == length;
}

// Memory does not grow with the file: a source far larger than the address space is
// read, ciphered and written a part at a time.
TEST_P(OutOfMemory, ASourceLargerThanMemoryIsProcessedInParts) {
  Files files("", GetParam());
  Launch launch = Prepare(files, 1000);
  Sparse("source", kHuge);
  launch.addressSpace = kAddressSpace;
  const Outcome outcome = RunTool(launch);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  const bool inPlace = files.target == Target::InPlace;
  EXPECT_TRUE(IsTransformedZeros(Path(inPlace ? "source" : "destination"), kHuge));
  if (!inPlace) {
    struct stat info {};
    ASSERT_EQ(::stat(Path("source").c_str(), &info), 0);
    EXPECT_EQ(info.st_blocks, 0) << "the source was written to";
  }
}

TEST_P(OutOfMemory, NoRoomForTheKeyFileIsStatus4) {
  Files files("", GetParam());
  Launch launch = Prepare(files, 1000);
  Sparse("key", kHuge);
  files.names = Names();
  launch.args.insert(launch.args.begin(), "-f");
  launch.args.emplace_back("key");
  launch.addressSpace = kAddressSpace;
  const Outcome outcome = RunTool(launch);
  EXPECT_EQ(outcome.exitCode, 4) << outcome.err;
  ExpectUntouched(files, outcome);
}

// The overwrite path rewrites a large hard-linked file part by part in little memory;
// a key file too large for memory is status 4 before anything is written.
class OutOfMemoryOnOverwrite : public OutOfMemory {};

TEST_F(OutOfMemoryOnOverwrite, ALargeHardLinkedFileIsRewrittenInParts) {
  Sparse("source", kHuge);
  ASSERT_EQ(::link(Path("source").c_str(), Path("second").c_str()), 0);
  Write("small", "a small file");
  ASSERT_EQ(::link(Path("small").c_str(), Path("small-second").c_str()), 0);
  Sparse("key", kHuge);
  Launch launch = In({"-s", "source"});
  launch.addressSpace = kAddressSpace;
  EXPECT_EQ(RunTool(launch).exitCode, 0);
  EXPECT_TRUE(IsTransformedZeros(Path("second"), kHuge));
  EXPECT_EQ(Links("source"), 2U);
  launch.args = {"-s", "-f", "small", "key"};
  EXPECT_EQ(RunTool(launch).exitCode, 4);
  EXPECT_EQ(Read("small"), "a small file");
}

INSTANTIATE_TEST_SUITE_P(Targets, OutOfMemory, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& p) {
                           return TargetName(p.param);
                         });

// ---- the source changes size between the size query and the read ----------------

// Keeps cutting the file's second half off and writing it back, through its own
// descriptor, until told to stop; then leaves the file whole again.
class Resizer {
 public:
  Resizer(const std::string& path, Bytes content)
      : fd_(::open(path.c_str(), O_WRONLY | O_CLOEXEC)), content_(std::move(content)) {
    thread_ = std::thread([this] { Loop(); });
  }
  Resizer(const Resizer&) = delete;
  Resizer& operator=(const Resizer&) = delete;
  ~Resizer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

 private:
  void Loop() {
    const std::size_t half = content_.size() / 2;
    while (!stop_) {
      if (::ftruncate(fd_, static_cast<off_t>(half)) != 0) {
        return;
      }
      WriteBack(half);
    }
  }
  void WriteBack(std::size_t from) const {
    for (std::size_t at = from; at < content_.size();) {
      const std::size_t piece = std::min<std::size_t>(content_.size() - at, 1U << 16);
      const ssize_t moved = ::pwrite(fd_, content_.data() + at, piece, static_cast<off_t>(at));
      if (moved <= 0) {
        return;
      }
      at += static_cast<std::size_t>(moved);
    }
  }

  int fd_;
  Bytes content_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

enum class RaceTarget { InPlace, ExistingCopy, HardLinked };

class SourceRace : public FaultTest, public ::testing::WithParamInterface<RaceTarget> {};

TEST_P(SourceRace, ASourceChangingSizeIsStatus5AndNothingIsWritten) {
  const RaceTarget target = GetParam();
  constexpr int kTries = 400;
  constexpr int kWantedHits = 5;
  const Bytes source = SomeBytes(std::size_t{4} << 20, 3);
  const Bytes destination = SomeBytes(1000, 4);
  const Bytes transformed = ComplementAdd(source, kDefaultKey);
  int hits = 0;
  int completed = 0;
  for (int attempt = 0; attempt < kTries && hits < kWantedHits; ++attempt) {
    ::unlink(Path("second").c_str());
    Write("source", source);
    Write("destination", destination);
    if (target == RaceTarget::HardLinked) {
      ASSERT_EQ(::link(Path("source").c_str(), Path("second").c_str()), 0);
    }
    const auto names = Names();
    const ino_t inode = Inode("source");
    Outcome outcome;
    {
      const Resizer resizer(Path("source"), source);
      outcome =
          RunTool(target == RaceTarget::ExistingCopy ? In({"-s", "-c", "source", "destination"})
                                                     : In({"-s", "source"}));
    }
    ASSERT_TRUE(outcome.exitCode == 0 || outcome.exitCode == 5) << outcome.exitCode << outcome.err;
    ASSERT_EQ(Names(), names) << "a file was left behind";
    if (outcome.exitCode == 5) {
      ++hits;
      ASSERT_EQ(Inode("source"), inode) << "the source was replaced after a failed read";
      ASSERT_TRUE(Read("source") == source) << "the source was written after a failed read";
      ASSERT_TRUE(Read("destination") == destination) << "the destination was written";
      continue;
    }
    ++completed;
    if (target == RaceTarget::HardLinked) {
      continue;  // the helper went on writing into the very file the tool overwrote
    }
    // A run that read a consistent state wrote exactly that state, transformed.
    const Bytes result = Read(target == RaceTarget::ExistingCopy ? "destination" : "source");
    ASSERT_GE(result.size(), source.size() / 2);
    ASSERT_TRUE(result == transformed.substr(0, result.size()))
        << "a run that succeeded wrote something no state of the source gives";
  }
  RecordProperty("hits", hits);
  RecordProperty("completed", completed);
  EXPECT_GE(hits, 1) << "the race was never hit in " << kTries << " runs";
}

INSTANTIATE_TEST_SUITE_P(Targets, SourceRace,
                         ::testing::Values(RaceTarget::InPlace, RaceTarget::ExistingCopy,
                                           RaceTarget::HardLinked),
                         [](const ::testing::TestParamInfo<RaceTarget>& p) {
                           switch (p.param) {
                             case RaceTarget::InPlace: return "InPlace";
                             case RaceTarget::ExistingCopy: return "ExistingCopy";
                             case RaceTarget::HardLinked: return "HardLinked";
                           }
                           return "";
                         });

// ---- the overwrite-in-place path under write faults ------------------------------

// Why the file cannot be replaced by a new one: a second name, or a directory that
// takes no new file.
enum class Overwrite { HardLinked, ImmutableDirectory };

// How the run names the file it rewrites: in place, or as a copy's destination that is
// the source's own file under another name (its second link, or another spelling).
enum class Naming { InPlace, CopyOntoItself };

using OverwriteCase = std::tuple<Overwrite, Naming, rlim_t>;
class OverwriteFault : public FaultTest, public ::testing::WithParamInterface<OverwriteCase> {
 protected:
  // Prepares "dir/source" so that only an overwrite can rewrite it.
  void MakeOverwriteOnly(Overwrite why, const Bytes& source) {
    MakeDirectory("dir");
    Write("dir/source", source);
    if (why == Overwrite::HardLinked) {
      ASSERT_EQ(::link(Path("dir/source").c_str(), Path("dir/second").c_str()), 0);
    } else if (!MakeImmutable("dir")) {
      GTEST_SKIP() << "the file system has no immutable attribute";
    }
  }
};

TEST_P(OverwriteFault, AFailedOverwriteInPlacePutsTheOriginalBack) {
  const auto [why, naming, limit] = GetParam();
  const Bytes source = SomeBytes(kLength, 9);
  MakeOverwriteOnly(why, source);
  if (IsSkipped()) {
    return;
  }
  const auto names = Names();
  const ino_t inode = Inode("dir/source");
  const std::string otherName = why == Overwrite::HardLinked ? "dir/second" : "./dir/source";
  Launch launch = naming == Naming::InPlace ? In({"-s", "dir/source"})
                                            : In({"-s", "-c", "dir/source", otherName});
  launch.fileSize = limit;
  const Outcome outcome = RunTool(launch);
  EXPECT_EQ(Inode("dir/source"), inode) << "the file was replaced, not overwritten";
  EXPECT_EQ(Names(), names);
  const Bytes expected = limit >= kLength ? ComplementAdd(source, kDefaultKey) : source;
  if (limit >= kLength) {
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  } else {
    EXPECT_EQ(outcome.exitCode, limit == 0 ? 6 : 15) << outcome.err;
  }
  const Bytes after = Read("dir/source");
  EXPECT_TRUE(after == expected) << Describe(after, source, ComplementAdd(source, kDefaultKey));
  if (why == Overwrite::HardLinked) {
    EXPECT_TRUE(Read("dir/second") == expected) << "the second name sees other bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, OverwriteFault,
    ::testing::Combine(::testing::Values(Overwrite::HardLinked, Overwrite::ImmutableDirectory),
                       ::testing::Values(Naming::InPlace, Naming::CopyOntoItself),
                       ::testing::Values(0, 1, 4096, kLength / 2, kLength - 1, kLength)),
    [](const ::testing::TestParamInfo<OverwriteCase>& p) {
      return std::string(std::get<0>(p.param) == Overwrite::HardLinked ? "HardLinked"
                                                                       : "Immutable") +
             (std::get<1>(p.param) == Naming::InPlace ? "" : "CopyOntoItself") + "_" +
             std::to_string(std::get<2>(p.param));
    });

// Space that a copy-on-write file system frees only once what was written is flushed:
// the put-back of a failed overwrite meets the same full disk until the file, or its
// whole file system, is flushed, and is tried again after each. Where nothing frees it,
// the status is still the short write, and the file is left partly transformed with its
// recovery record beside it: the same command, once there is room, finishes the job.
struct PutBackCase {
  const char* name;
  const char* fault;
  bool putBack;
};

class PutBackTest : public FaultTest, public ::testing::WithParamInterface<PutBackCase> {};

TEST_P(PutBackTest, IsTriedAgainAfterEachFlush) {
  if (std::getenv("VELMORAN_HARDENING_TOOL") != nullptr) {
    GTEST_SKIP() << "the shim would be preloaded into the wrapper too";
  }
  const Bytes source = SomeBytes(kLength, 11);
  Write("source", source);
  HardLink("source", "second");
  const auto names = Names();
  Launch launch = In({"-s", "source"});
  launch.environment =
      ShimEnvironment({"VELMORAN_SHIM_FAIL=" + std::string(GetParam().fault),
                       "VELMORAN_SHIM_WRITE_PIECE=" + std::to_string(kLength / 4)});
  const Outcome outcome = RunTool(launch);
  EXPECT_EQ(outcome.exitCode, 15) << outcome.err;
  const Bytes after = Read("source");
  EXPECT_EQ(after == source, GetParam().putBack)
      << Describe(after, source, ComplementAdd(source, kDefaultKey));
  EXPECT_TRUE(Read("second") == after);
  if (!GetParam().putBack) {
    EXPECT_EQ(Names().count(".source.velmoran-recovery"), 1U) << "torn, with no record";
    const Outcome again = RunTool(In({"-s", "source"}));
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(Read("source") == ComplementAdd(source, kDefaultKey));
  }
  EXPECT_EQ(Names(), names);
}

INSTANTIATE_TEST_SUITE_P(
    Flushes, PutBackTest,
    // Write 1 makes the recovery record, then each stretch's record and bytes follow in
    // turn: write 5 is the second stretch's bytes.
    ::testing::Values(PutBackCase{"FreedByFlushingTheFile", "pwrite:5:ENOSPC:until-flush", true},
                      PutBackCase{"FreedByFlushingTheFileSystem", "pwrite:5:EDQUOT:until-syncfs",
                                  true},
                      PutBackCase{"NeverFreed", "pwrite:5:ENOSPC:onward", false}),
    [](const ::testing::TestParamInfo<PutBackCase>& p) { return std::string(p.param.name); });

// A run on a hard-linked file whose writes, and so its put-back, fail from its second
// stretch on leaves the file partly transformed with its recovery record. Each row then
// runs a command on it, without any fault.
struct RecordRow {
  const char* name;
  std::vector<std::string> args;
  int exitCode;
  bool finished;            // the file then holds what the first run meant to write, record gone
  bool unwritable = false;  // made immutable before the command: still read, never written
};

class RecordRowTest : public FaultTest, public ::testing::WithParamInterface<RecordRow> {};

TEST_P(RecordRowTest, TheRecordDecidesWhoMayTouchTheFile) {
  if (std::getenv("VELMORAN_HARDENING_TOOL") != nullptr) {
    GTEST_SKIP() << "the shim would be preloaded into the wrapper too";
  }
  const Bytes source = SomeBytes(kLength, 13);
  Write("source", source);
  Write("other", SomeBytes(1000, 14));
  HardLink("source", "second");
  Launch launch = In({"-s", "-k", "source", "secret"});
  launch.environment = ShimEnvironment({"VELMORAN_SHIM_FAIL=pwrite:5:ENOSPC:onward"});
  ASSERT_EQ(RunTool(launch).exitCode, 15);
  const Bytes left = Read("source");
  ASSERT_TRUE(left != source);
  ASSERT_EQ(Names().count(".source.velmoran-recovery"), 1U);
  if (GetParam().unwritable && !MakeImmutable("source")) {
    GTEST_SKIP() << "the file system has no immutable attribute";
  }
  const auto names = Names();

  const Outcome outcome = RunTool(In(GetParam().args));
  EXPECT_EQ(outcome.exitCode, GetParam().exitCode) << outcome.err;
  if (GetParam().finished) {
    EXPECT_TRUE(Read("source") == ComplementAdd(source, "secret"));
    std::set<std::string> without = names;
    without.erase(".source.velmoran-recovery");
    EXPECT_EQ(Names(), without);
  } else {
    EXPECT_TRUE(Read("source") == left) << "touched";
    EXPECT_EQ(Names(), names);
  }
  EXPECT_TRUE(Read("second") == Read("source"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordRowTest,
    ::testing::Values(
        RecordRow{"SameCommand", {"-s", "-k", "source", "secret"}, 0, true},
        RecordRow{
            "CopyOntoItsOwnFile", {"-s", "-c", "-k", "source", "./source", "secret"}, 0, true},
        RecordRow{"AnotherKey", {"-s", "-k", "source", "wrong"}, 19, false},
        RecordRow{"AnotherCipher", {"-s", "-m", "-k", "source", "secret"}, 19, false},
        RecordRow{"CopyFromIt", {"-s", "-c", "-k", "source", "copy", "secret"}, 19, false},
        RecordRow{"CopyOverIt", {"-s", "-c", "-k", "other", "source", "secret"}, 3, false},
        RecordRow{
            "CopyFromItsOtherName", {"-s", "-c", "-k", "second", "copy", "secret"}, 19, false},
        RecordRow{"SameCommandOnItsOtherName", {"-s", "-k", "second", "secret"}, 0, true},
        // A source another program keeps from being written is still only read.
        RecordRow{"CopyFromItsOtherNameThatMayNotBeWritten",
                  {"-s", "-c", "-k", "second", "copy", "secret"},
                  19,
                  false,
                  true}),
    [](const ::testing::TestParamInfo<RecordRow>& p) { return std::string(p.param.name); });

// An overwrite needs new blocks where the file has holes: a full disk then fails it
// partway, and the bytes already written must be put back.
TEST_F(FaultTest, AFullDiskDuringAnOverwritePutsTheOriginalBack) {
  if (!MountTmpfs("disk", "size=4m,mode=0755")) {
    GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  }
  const Bytes head = SomeBytes(kLength / 2, 5);
  Write("disk/source", head);
  ASSERT_EQ(::truncate(Path("disk/source").c_str(), static_cast<off_t>(kLength)), 0);
  ASSERT_EQ(::link(Path("disk/source").c_str(), Path("disk/second").c_str()), 0);
  const Bytes source = Read("disk/source");
  FillLeaving(Path("disk/filler"), 64 * 1024);
  const auto names = Names();
  const Outcome outcome = RunTool(In({"-s", "disk/source"}));
  EXPECT_TRUE(outcome.exitCode == 6 || outcome.exitCode == 15) << outcome.exitCode << outcome.err;
  const Bytes after = Read("disk/source");
  EXPECT_TRUE(after == source) << Describe(after, source, ComplementAdd(source, kDefaultKey));
  EXPECT_TRUE(Read("disk/second") == source);
  EXPECT_EQ(Names(), names);
}

// The same on a nearly full btrfs (root only): the overwrite fails for want of space,
// and the put-back needs new space too. Whether it succeeds depends on what the file
// system frees; either way the status is the failed write's and nothing is left over.
TEST_F(FaultTest, ANearlyFullCopyOnWriteDiskDuringAnOverwriteEndsInAWriteStatus) {
  if (!MountSmall(FileSystem::Btrfs, "disk")) {
    GTEST_SKIP() << "no btrfs or loop device here (root only)";
  }
  const Bytes source = SomeBytes(8 * kLength, 5);
  Write("disk/source", source);
  ASSERT_EQ(::link(Path("disk/source").c_str(), Path("disk/second").c_str()), 0);
  ::sync();
  FillLeaving(Path("disk/filler"), kLength);
  const auto names = Names();
  const Outcome outcome = RunTool(In({"-s", "disk/source"}));
  const Bytes after = Read("disk/source");
  const bool putBack = after == source;
  RecordProperty("put_back", putBack ? 1 : 0);
  if (outcome.exitCode != 0) {
    EXPECT_TRUE(outcome.exitCode == 6 || outcome.exitCode == 15) << outcome.exitCode << outcome.err;
  } else {
    EXPECT_TRUE(after == ComplementAdd(source, kDefaultKey));
  }
  EXPECT_TRUE(Read("disk/second") == after);
  // A put-back that could not be made leaves the recovery record: once there is room,
  // the same command finishes the job.
  if (Names().count("disk/.source.velmoran-recovery") != 0) {
    RecordProperty("record_left", 1);
    ::unlink(Path("disk/filler").c_str());
    const Outcome again = RunTool(In({"-s", "disk/source"}));
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(Read("disk/source") == ComplementAdd(source, kDefaultKey));
    EXPECT_EQ(Names().count("disk/.source.velmoran-recovery"), 0U);
    return;
  }
  EXPECT_EQ(Names(), names);
}

// The same where the put-back cannot find room at all (root only): the file shares its
// blocks with a clone (as `cp --reflink` or a snapshot leaves it), so every block
// rewritten takes new space and nothing the run frees by flushing. The overwrite fails
// partway, and so does its put-back: the record is left, and once there is room the
// same command finishes the job.
TEST_F(FaultTest, APutBackWithoutRoomLeavesTheRecordForTheSameCommand) {
  if (!MountSmall(FileSystem::Btrfs, "disk")) {
    GTEST_SKIP() << "no btrfs or loop device here (root only)";
  }
  const Bytes source = SomeBytes(8 * kLength, 15);
  const Bytes transformed = ComplementAdd(source, kDefaultKey);
  Write("disk/source", source);
  HardLink("disk/source", "disk/second");
  const int from = ::open(Path("disk/source").c_str(), O_RDONLY | O_CLOEXEC);
  const int to = ::open(Path("disk/clone").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::ioctl(to, FICLONE, from), 0) << std::strerror(errno);
  ::close(from);
  ::close(to);
  ::sync();
  FillLeaving(Path("disk/filler"), 2 * kLength);
  ::sync();
  const auto names = Names();

  const Outcome outcome = RunTool(In({"-s", "disk/source"}));
  EXPECT_EQ(outcome.exitCode, 15) << outcome.err;
  const Bytes left = Read("disk/source");
  EXPECT_FALSE(left == source) << "put back after all";
  EXPECT_TRUE(Read("disk/second") == left);
  ASSERT_EQ(Names().count("disk/.source.velmoran-recovery"), 1U) << "torn, with no record";

  ::unlink(Path("disk/filler").c_str());
  const Outcome again = RunTool(In({"-s", "disk/source"}));
  EXPECT_EQ(again.exitCode, 0) << again.err;
  const Bytes after = Read("disk/source");
  EXPECT_TRUE(after == transformed) << Describe(after, source, transformed);
  EXPECT_TRUE(Read("disk/clone") == source) << "the clone lost its bytes";
  std::set<std::string> without = names;
  without.erase("disk/filler");
  EXPECT_EQ(Names(), without) << "the record or a staged file was left";
}

}  // namespace
}  // namespace hardening
