// Every file call the built tool makes, failed in turn: for each kind of call and each
// errno a system gives, the run fails call N = 1, 2, ... through the preloaded shim
// until N passes the last call. Whatever fails, the run ends with its status (never a
// signal): 0 with exactly the transformed bytes, a read-side status when what failed
// was reading the source or key file, a replace-side one otherwise; a failed run
// changes no file and leaves no staged file behind, and the source is never lost.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "hardening_support.h"

namespace hardening {
namespace {

// A call kind of the shim's and the errnos a file system gives for it. Some send a run
// down another path (EACCES or EPERM creating a file, EXDEV or EBUSY renaming it); the
// rest should end it, or be retried past.
struct CallFaults {
  const char* call;
  std::vector<const char*> errnos;
};

const std::vector<CallFaults> kCallFaults = {
    {"open", {"EACCES", "EPERM", "EIO", "ENOSPC"}},
    {"read", {"EIO"}},
    {"fstat", {"EIO"}},
    {"mmap", {"ENOMEM", "EACCES"}},
    {"pwrite", {"EIO", "ENOSPC", "EDQUOT"}},
    {"write", {"EIO"}},
    {"fallocate", {"ENOSPC", "EDQUOT", "EOPNOTSUPP"}},
    {"ftruncate", {"EIO", "EPERM"}},
    {"fsync", {"EIO", "ENOSPC", "EDQUOT"}},
    {"syncfs", {"EIO"}},
    {"link", {"ENOSPC", "EDQUOT", "EPERM", "ENOENT", "EXDEV"}},
    {"rename", {"EXDEV", "EBUSY", "EIO", "EACCES", "EPERM"}},
    {"fchown", {"EPERM"}},
    {"fchmod", {"EPERM", "EIO"}},
    {"flock", {"ENOLCK", "EAGAIN"}},
    {"fgetxattr", {"EIO", "EOPNOTSUPP"}},
    {"fsetxattr", {"EPERM", "EOPNOTSUPP", "ENOSPC"}},
    {"flistxattr", {"EIO", "EOPNOTSUPP"}},
};

// A guard against a sweep that never ends, far beyond any run's calls of one kind.
constexpr long kMaxCallsOfAKind = 200;

// One way of running the tool. The files live in "work": "source", and as the mode
// asks "destination", "key" and a second name "second" of one of them.
struct SweepMode {
  const char* label;
  std::vector<std::string> args;
  std::string output;  // the file a successful run rewrites
  bool existingDestination = false;
  const char* hardLinked = nullptr;
  bool keyFile = false;
  bool otherOwner = false;     // the source belongs to another user (root only)
  const char* shimModes = "";  // VELMORAN_SHIM
  const char* scene = "";      // a fault of every run, which sends it down another path
  // A copy's destination overwritten in place, which a failed run may leave partly
  // written.
  bool overwritesCopy = false;
  // The fault stays: call N and every later call of its kind fail.
  bool faultStays = false;
  // Where a failed run may leave its output torn, for a reason that has no rule yet:
  // such runs are counted and shown as "torn", not failed.
  const char* tearsBecause = nullptr;

  [[nodiscard]] SweepMode Existing() const { return With(&SweepMode::existingDestination); }
  [[nodiscard]] SweepMode KeyFile() const { return With(&SweepMode::keyFile); }
  [[nodiscard]] SweepMode OverwritesCopy() const { return With(&SweepMode::overwritesCopy); }
  [[nodiscard]] SweepMode FaultStays() const { return With(&SweepMode::faultStays); }
  [[nodiscard]] SweepMode OtherOwner() const { return With(&SweepMode::otherOwner); }
  [[nodiscard]] SweepMode Linked(const char* name) const {
    SweepMode mode = *this;
    mode.hardLinked = name;
    return mode;
  }
  [[nodiscard]] SweepMode Shim(const char* modes, const char* sceneFault = "") const {
    SweepMode mode = *this;
    mode.shimModes = modes;
    mode.scene = sceneFault;
    return mode;
  }
  [[nodiscard]] SweepMode MayTear(const char* why) const {
    SweepMode mode = *this;
    mode.tearsBecause = why;
    return mode;
  }

 private:
  [[nodiscard]] SweepMode With(bool SweepMode::*flag) const {
    SweepMode mode = *this;
    mode.*flag = true;
    return mode;
  }
};

SweepMode InPlace(const char* label) { return {label, {"source"}, "source"}; }
SweepMode Copy(const char* label) {
  return {label, {"-c", "source", "destination"}, "destination"};
}

const std::vector<SweepMode> kModes = {
    InPlace("InPlace"),
    InPlace("InPlaceNamedStaging").Shim("no-tmpfile"),
    Copy("NewCopy"),
    Copy("ExistingCopy").Existing(),
    {"OntoItsOwnFile", {"-c", "source", "./source"}, "source"},
    InPlace("HardLinkedInPlace").Linked("source"),
    Copy("HardLinkedDestination").Existing().Linked("destination").OverwritesCopy(),
    InPlace("OtherUsersFile").OtherOwner(),
    InPlace("RenameRefusedInPlace").Shim("", "rename:1:EXDEV"),
    InPlace("RenameRefusedNamedStaging").Shim("no-tmpfile", "rename:1:EXDEV"),
    Copy("RenameRefusedCopy").Existing().Shim("", "rename:1:EBUSY").OverwritesCopy(),
    SweepMode{"KeyFile", {"-f", "source", "key"}, "source"}.KeyFile(),
    SweepMode{"KeyFileCopy", {"-c", "-f", "source", "destination", "key"}, "destination"}
        .KeyFile()
        .Existing(),
    // The destination is the source's file under another spelling: where it must be
    // overwritten, a failure puts it back exactly as in place.
    SweepMode{"OntoItsOwnFileHardLinked", {"-c", "source", "./source"}, "source"}.Linked("source"),
    SweepMode{"OntoItsOwnFileRenameRefused", {"-c", "source", "./source"}, "source"}.Shim(
        "", "rename:1:EXDEV"),
    // Faults that stay: no retry gets past them.
    InPlace("FaultStaysInPlace").FaultStays(),
    // The put-back's writes fail as the first did.
    InPlace("FaultStaysHardLinked")
        .Linked("source")
        .FaultStays()
        .MayTear("a put-back that fails after its retries is reported as the write was"),
};

// What the shim says about a run.
struct ShimReport {
  bool present = false;
  bool fired = false;
  std::string firedCall;
  std::string firedWhat;  // "path access [flags=hex]", or "anonymous"
  // The call whose failure the run reports: where the fault stays, the last one failed.
  std::string decidingWhat;
};

ShimReport ReadReport(const std::string& path) {
  ShimReport report;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    report.present = true;
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "fired") {
      long n = 0;
      std::string error;
      words >> report.firedCall >> n >> error;
      std::getline(words >> std::ws, report.firedWhat);
      report.decidingWhat = report.firedWhat;
      report.fired = true;
    } else if (word == "last") {
      long n = 0;
      std::string call;
      std::string error;
      words >> call >> n >> error;
      std::getline(words >> std::ws, report.decidingWhat);
    }
  }
  return report;
}

enum class Side { Read, Replace, Report, Lock };

// Which side of the run a failed call was on, from the file it was about: reading the
// source or key file (opened for reading, or the source's write-access probe, which
// opens it without blocking and never writes), the data block, or the message; all
// else belongs to replacing the destination.
Side SideOf(const ShimReport& report) {
  const std::string& what = report.decidingWhat;
  if (what == "anonymous") {
    return Side::Read;
  }
  if (what.rfind("pipe:", 0) == 0 || what.rfind("/dev/", 0) == 0) {
    return Side::Report;
  }
  std::istringstream words(what);
  std::string path;
  std::string access;
  std::string flags;
  words >> path >> access >> flags;
  const std::string name = path.substr(path.rfind('/') + 1);
  // Another run's lock on the file to be replaced: 19 in place, 3 for a copy.
  if (report.firedCall == "flock" && access == "r" && (name == "source" || name == "destination")) {
    return Side::Lock;
  }
  const bool reading =
      report.firedCall == "open" || report.firedCall == "read" || report.firedCall == "fstat";
  if (!reading || (name != "source" && name != "key")) {
    return Side::Replace;
  }
  if (access == "r") {
    return Side::Read;
  }
  const unsigned long openFlags =
      flags.rfind("flags=", 0) == 0 ? std::stoul(flags.substr(6), nullptr, 16) : 0;
  return (openFlags & O_NONBLOCK) != 0 ? Side::Read : Side::Replace;
}

bool IsReadStatus(int code) {
  return code == 2 || code == 4 || code == 5 || code == 7 || code == 14 || code == 18 || code == 19;
}

bool IsReplaceStatus(int code) { return code == 3 || code == 6 || code == 15; }

class FaultSweep : public ToolTest, public ::testing::WithParamInterface<SweepMode> {
 protected:
  // A tmpfs where allowed: the runs flush every file they write, and a disk makes
  // each flush cost more than the rest of the run.
  void SetUp() override {
    ToolTest::SetUp();
    MountTmpfs("work", "size=16m,mode=0755");  // else a plain directory
  }

  // Puts the mode's files in place, as fresh as before the first run.
  void Prepare(const SweepMode& mode) {
    for (const std::string& name : Names("work")) {
      ::unlink(Path("work/" + name).c_str());
    }
    Write("work/source", source_);
    if (mode.existingDestination) {
      Write("work/destination", destination_);
    }
    if (mode.keyFile) {
      Write("work/key", key_);
    }
    if (mode.hardLinked != nullptr) {
      HardLink(std::string("work/") + mode.hardLinked, "work/second");
    }
    if (mode.otherOwner) {
      ASSERT_EQ(::chown(Path("work/source").c_str(), kOtherUser, kOtherUser), 0);
    }
  }

  [[nodiscard]] Launch Command(const SweepMode& mode, const std::string& fault) const {
    Launch launch = In(mode.args);
    launch.directory = Path("work");
    launch.timeoutSeconds = 30;
    launch.environment = ShimEnvironment({"VELMORAN_SHIM=" + std::string(mode.shimModes),
                                          "VELMORAN_SHIM_FAIL=" + fault,
                                          "VELMORAN_SHIM_ALSO_FAIL=" + std::string(mode.scene),
                                          "VELMORAN_SHIM_WRITE_PIECE=" + std::to_string(kPiece),
                                          "VELMORAN_SHIM_READ_PIECE=" + std::to_string(kPiece),
                                          "VELMORAN_SHIM_REPORT=" + Path("report")});
    return launch;
  }

  // The invariants after one run; a message naming what broke, or "" when none did.
  std::string Check(const SweepMode& mode, const std::string& fault, const Outcome& outcome,
                    const ShimReport& report, int& torn) {
    std::ostringstream broken;
    if (outcome.signal != 0 || outcome.timedOut || outcome.exitCode < 0) {
      broken << "ended by signal " << outcome.signal << (outcome.timedOut ? " (timed out)" : "")
             << "; ";
    }
    if (!report.present) {
      broken << "the shim wrote no report (the tool did not exit normally); ";
    }
    const std::string& output = mode.output;
    const bool copy = output == "destination";
    const Bytes transformed = ComplementAdd(source_, mode.keyFile ? key_ : kDefaultKey);
    const Bytes before = !copy                      ? source_
                         : mode.existingDestination ? destination_
                                                    : support::kMissing;
    // A recovery record left beside the file: by a run whose put-back failed too, it
    // tells where the file stands, and the same command without the fault finishes the
    // job; one that is empty (made, then never written, or emptied as it could not be
    // removed) the next run drops, as it is here.
    const std::string record = "." + output + ".velmoran-recovery";
    bool finishedFromRecord = false;
    if (Names("work").count(record) != 0) {
      if (Read("work/" + record).empty()) {
        ::unlink(Path("work/" + record).c_str());
      } else if (IsReplaceStatus(outcome.exitCode)) {
        Launch again = In(mode.args);
        again.directory = Path("work");
        const Outcome next = RunTool(again);
        if (next.exitCode != 0 || Read("work/" + output) != transformed) {
          broken << "the same command again did not finish the job from the record: status "
                 << next.exitCode << ", " << Describe(Read("work/" + output), before, transformed)
                 << "; ";
        }
        finishedFromRecord = true;
      }
    }
    const Bytes outputNow = Read("work/" + output);
    std::set<std::string> names = {"source"};
    if (mode.existingDestination || (copy && outcome.exitCode == 0)) {
      names.insert("destination");
    }
    if (mode.keyFile) {
      names.insert("key");
    }
    if (mode.hardLinked != nullptr) {
      names.insert("second");
    }
    if (Names("work") != names) {
      broken << "names left: " << ::testing::PrintToString(Names("work")) << "; ";
    }
    if (copy && Read("work/source") != source_) {
      broken << "the copy's source changed: " << Describe(Read("work/source"), source_, transformed)
             << "; ";
    }
    if (mode.keyFile && Read("work/key") != key_) {
      broken << "the key file changed; ";
    }
    if (mode.hardLinked != nullptr &&
        Read("work/second") != Read(std::string("work/") + mode.hardLinked)) {
      broken << "the second name sees other bytes; ";
    }

    const Side side = report.fired ? SideOf(report) : Side::Report;
    struct stat info {};
    if (mode.otherOwner &&
        (::stat(Path("work/source").c_str(), &info) != 0 || info.st_uid != kOtherUser)) {
      broken << "the file lost its owner; ";
    }
    if (outcome.exitCode == 0) {
      if (outputNow != transformed) {
        broken << "status 0 but " << output << " is " << Describe(outputNow, before, transformed)
               << "; ";
      }
      return broken.str();
    }
    if (side == Side::Report) {
      broken << "status " << outcome.exitCode << " where nothing but the message failed; ";
    } else if (side == Side::Lock   ? outcome.exitCode != 19 && outcome.exitCode != 3
               : side == Side::Read ? !IsReadStatus(outcome.exitCode)
                                    : !IsReplaceStatus(outcome.exitCode)) {
      broken << "status " << outcome.exitCode << " is not of the "
             << (side == Side::Read ? "read" : "replace") << " side; ";
    }
    if (finishedFromRecord) {
      std::cout << "finished from the record: " << mode.label << ", " << fault << ", status "
                << outcome.exitCode << "\n";
    } else if (mode.tearsBecause != nullptr && outputNow != before &&
               IsReplaceStatus(outcome.exitCode)) {
      ++torn;
      std::cout << "torn (" << mode.tearsBecause << "): " << mode.label << ", " << fault
                << ", status " << outcome.exitCode << ", " << output << " is "
                << Describe(outputNow, before, transformed) << "\n";
    } else if (!mode.overwritesCopy && outputNow != before) {
      broken << "the failed run changed " << output << ": "
             << Describe(outputNow, before, transformed) << "; ";
    }
    return broken.str();
  }

  static constexpr uid_t kOtherUser = 65534;
  static constexpr std::size_t kLength = 100000;  // above the size the tool maps its block
  static constexpr long kPiece = 40000;           // three reads or writes for the whole file
  const Bytes source_ = SomeBytes(kLength, 41);
  const Bytes destination_ = SomeBytes(5000, 42);
  const Bytes key_ = "a key file's key";
};

TEST_P(FaultSweep, EveryFailedCallEndsInItsStatusAndLosesNothing) {
  if (std::getenv("VELMORAN_HARDENING_TOOL") != nullptr) {
    GTEST_SKIP() << "the shim would be preloaded into the wrapper too, and count its calls";
  }
  const SweepMode& mode = GetParam();
  if (mode.otherOwner && ::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a file to another user";
  }
  // A sanitized tool starts many times slower: there each call kind fails with its
  // first errno only (for open and rename the one that sends a run to the overwrite).
  const bool everyErrno = !ToolIsInstrumented();
  const auto started = std::chrono::steady_clock::now();
  int runs = 0;
  int fired = 0;
  int failures = 0;
  int torn = 0;
  for (const CallFaults& kind : kCallFaults) {
    const std::size_t errnos = everyErrno ? kind.errnos.size() : 1;
    for (std::size_t e = 0; e < errnos; ++e) {
      const char* error = kind.errnos[e];
      for (long n = 1; n <= kMaxCallsOfAKind; ++n) {
        ASSERT_NO_FATAL_FAILURE(Prepare(mode));
        ::unlink(Path("report").c_str());
        const std::string fault = std::string(kind.call) + ":" + std::to_string(n) + ":" + error +
                                  (mode.faultStays ? ":onward" : "");
        const Outcome outcome = RunTool(Command(mode, fault));
        const ShimReport report = ReadReport(Path("report"));
        ++runs;
        const std::string broken = Check(mode, fault, outcome, report, torn);
        if (!broken.empty()) {
          ++failures;
          ADD_FAILURE() << mode.label << ", " << fault << " (" << report.firedWhat << "): status "
                        << outcome.exitCode << ": " << broken << "stderr: " << outcome.err;
        }
        if (!report.fired) {
          break;
        }
        ++fired;
        ASSERT_LT(n, kMaxCallsOfAKind) << kind.call << " never ran out of calls";
      }
      if (failures > 20) {
        FAIL() << "stopping the sweep after " << failures << " broken runs";
      }
    }
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  RecordProperty("runs", runs);
  RecordProperty("faults", fired);
  RecordProperty("milliseconds", static_cast<int>(elapsed.count()));
  if (mode.tearsBecause != nullptr) {
    RecordProperty("torn", torn);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultSweep, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<SweepMode>& p) {
                           return std::string(p.param.label);
                         });

}  // namespace
}  // namespace hardening
