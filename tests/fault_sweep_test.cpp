// Every call of the platform, failed in turn: call N of each kind, N = 1, 2, ... until
// the run no longer makes that call, in every mode of a run, with each error a call can
// report. After each run: a failure has a status of its side (reading or replacing),
// or the run succeeded with the right bytes; no file changed on failure, except where
// the README allows it; no staged file left; nothing leaked; the key wiped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/job.h"
#include "app/job_settings.h"
#include "fake_platform.h"
#include "reference_ciphers.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using fake::Call;
using fake::Fault;
using platform::Error;

const Bytes kPlain = {'h', 'e', 'l', 'l', 'o', ',', ' ', 'w', 'o', 'r', 'l', 'd', '!'};
const std::string kKeyFile = "Q7#zK";

struct Mode {
  const char* name;
  const char* arguments;
  const char* source;
  const char* destination;
  bool destinationExists;
  bool hardLinked;          // the destination has a second name: overwritten in place
  bool mayTearDestination;  // a copy destination on the overwrite path (README)
};

const Mode kModes[] = {
    {"InPlace", "-k src secret", "src", "src", true, false, false},
    {"CopyToANewFile", "-m -c src dir/dst", "src", "dir/dst", false, false, false},
    {"CopyOverAnExistingFile", "-c src dst", "src", "dst", true, false, false},
    {"CopyOntoTheSourcesOwnFile", "-c src src", "src", "src", true, false, false},
    {"HardLinkedInPlace", "-m linked", "linked", "linked", true, true, false},
    {"CopyOntoAHardLinkedSourcesOwnFile", "-c linked linked", "linked", "linked", true, true,
     false},
    {"CopyOverAHardLinkedFile", "-c src linked", "src", "linked", true, true, true},
    {"WithAKeyFile", "-f src key", "src", "src", true, false, false},
};

// What the mode's command makes of `data`.
Bytes Apply(const Mode& mode, const Bytes& data) {
  const std::string arguments = mode.arguments;
  std::string key = "Velmoran";
  if (arguments.find("-k") != std::string::npos) {
    key = "secret";
  } else if (arguments.find("-f") != std::string::npos) {
    key = kKeyFile;
  }
  const std::string plain(data.begin(), data.end());
  const std::string result = arguments.find("-m") != std::string::npos
                                 ? support::XOrData(plain, key)
                                 : support::ComplementAdd(plain, key);
  return Bytes(result.begin(), result.end());
}

Bytes Expected(const Mode& mode) { return Apply(mode, kPlain); }

// Long enough for several stretches of several 512-byte units under a recovery record.
Bytes LongPlain() {
  Bytes plain(20000 + 77);
  for (std::size_t n = 0; n < plain.size(); ++n) {
    plain[n] = static_cast<std::uint8_t>(n * 167 + n / 509);
  }
  return plain;
}

bool IsRecord(const std::string& path) {
  return path.find(".velmoran-recovery") != std::string::npos;
}

// Whether a record holds a slot of a finished job (done as far as the length): the last
// a run writes before removing it, which no later run acts on.
bool SaysFinished(const Bytes& record) {
  const std::string magic = "VLMRREC\x01";
  const auto field = [&](std::size_t at) {
    return static_cast<std::uint32_t>(record[at]) | (record[at + 1] << 8U) |
           (record[at + 2] << 16U) | (static_cast<std::uint32_t>(record[at + 3]) << 24U);
  };
  for (std::size_t at = 0; at + 56 <= record.size(); ++at) {
    if (std::equal(magic.begin(), magic.end(), record.begin() + static_cast<std::ptrdiff_t>(at)) &&
        field(at + 48) == field(at + 20)) {
      return true;
    }
  }
  return false;
}

bool ReadSide(Call call) {
  return call == Call::OpenForReading || call == Call::ProbeWriteAccess ||
         call == Call::GetFileSize || call == Call::ReadFile;
}

const std::set<Status> kReadStatuses = {2, 4, 5, 7, 14, 18, 19};
const std::set<Status> kReplaceStatuses = {3, 6, 15};

struct Variant {
  bool unnamedFiles;
};

struct Injection {
  Fault fault;
  Error error;
};

std::vector<Injection> InjectionsFor(Call call) {
  std::vector<Injection> injections;
  for (const Error error : {Error::Other, Error::AccessDenied, Error::Busy, Error::CrossDevice,
                            Error::Exists, Error::NotSupported, Error::NoSpace}) {
    injections.push_back({Fault::Fail, error});
  }
  if (call == Call::ReadFile) {
    injections.push_back({Fault::Short, Error::None});
    injections.push_back({Fault::Grow, Error::None});
  }
  if (call == Call::WriteAt) {
    injections.push_back({Fault::Short, Error::None});
  }
  return injections;
}

class FaultSweep : public testing::TestWithParam<Mode> {
 protected:
  void SetUp() override { ResetJobSettings(); }
  void TearDown() override { ResetJobSettings(); }

  fake::State& Prepare(const Variant& variant, const Bytes& plain = kPlain) {
    ResetJobSettings();
    fake::State& state = fake::Reset();
    const Mode& mode = GetParam();
    state.unnamedFiles = variant.unnamedFiles;
    state.files[mode.source].bytes = plain;
    state.files[mode.source].hardLinked = mode.hardLinked && mode.source == mode.destination;
    if (mode.destinationExists && mode.destination != std::string(mode.source)) {
      state.files[mode.destination] = {Bytes(40, 9), false, true, mode.hardLinked};
    }
    state.files["key"].bytes = Bytes(kKeyFile.begin(), kKeyFile.end());
    state.files["dir/other"].bytes = {1};
    // Names that only look like a staged file of the destination, and must stay.
    const std::string destination = mode.destination;
    const std::size_t slash = destination.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
    const std::string name = destination.substr(folder.size());
    for (const std::string& lookAlike :
         {"." + name + name + ".velmoran-0123abcd", "." + name.substr(1) + ".velmoran-0123abcd",
          "." + name + ".velmoran-0123ABCD", "." + name + ".velmoran-0123abc"}) {
      state.files[folder + lookAlike].bytes = {2};
    }
    state.secret =
        std::string(GetParam().arguments).find("-f") != std::string::npos ? kKeyFile : "secret";
    state.commandLine = std::string("velmoran -s ") + mode.arguments;
    return state;
  }

  // The invariants after one run; `what` names the run in a failure.
  // `resized`: the fault itself changed the length of a file being read.
  void Check(const fake::State& state, const std::map<std::string, fake::File>& before,
             Status status, Call call, const std::string& what, bool resized = false) {
    const Mode& mode = GetParam();
    if (status != kStatusSuccess) {
      const bool readSide = ReadSide(call);
      // A read at an offset reads the source's own file while it is overwritten, or
      // reads back for a put-back or a refused rename: either side; a lock serves both too.
      // A recovery record is looked for beside the source and the destination alike.
      const bool eitherSide = call == Call::Allocate || call == Call::ReadAt ||
                              call == Call::OpenLock || call == Call::OpenEntryForData ||
                              call == Call::GetBirthTime;
      const bool allowed = eitherSide
                               ? (kReadStatuses.count(status) + kReplaceStatuses.count(status)) != 0
                               : (readSide ? kReadStatuses : kReplaceStatuses).count(status) != 0;
      EXPECT_TRUE(allowed) << what << ": status " << status;
    }
    for (const auto& [path, file] : before) {
      const auto now = state.files.find(path);
      ASSERT_NE(now, state.files.end()) << what << ": " << path << " is gone";
      if (resized && status != kStatusSuccess) {
        continue;
      }
      if (status == kStatusSuccess && path == mode.destination) {
        EXPECT_EQ(now->second.bytes, Expected(mode)) << what << ": wrong bytes";
      } else if (status == kStatusSuccess || path != mode.destination || !mode.mayTearDestination) {
        EXPECT_EQ(now->second.bytes, file.bytes) << what << ": " << path << " changed";
      }
    }
    for (const auto& entry : state.files) {
      // A finished run's recovery record that could not be removed is left empty.
      const bool emptiedRecord = entry.first.find(".velmoran-recovery") != std::string::npos &&
                                 entry.second.bytes.empty() && call == Call::RemoveEntry;
      if (before.count(entry.first) == 0 && !emptiedRecord) {
        EXPECT_TRUE(status == kStatusSuccess && entry.first == mode.destination)
            << what << ": " << entry.first << " was left";
      }
    }
    EXPECT_TRUE(state.liveBlocks.empty()) << what << ": a block leaked";
    EXPECT_EQ(state.releasedTwice, 0) << what;
    EXPECT_EQ(state.releasedWithWrongSize, 0) << what;
    EXPECT_EQ(state.unwipedSecretReleases, 0) << what << ": the key was not wiped";
    EXPECT_EQ(state.openFiles, 0) << what << ": a file was left open";
    EXPECT_EQ(state.openFolders, 0) << what << ": a folder was left open";
  }
};

TEST_P(FaultSweep, EveryFailingCallKeepsTheInvariants) {
  int runs = 0;
  for (const Variant variant : {Variant{true}, Variant{false}}) {
    {
      // Without a fault: the right bytes.
      fake::State& state = Prepare(variant);
      const auto before = state.files;
      const Status status = RunProgram();
      ASSERT_EQ(status, kStatusSuccess);
      Check(state, before, status, Call::Allocate, "no fault");
    }
    for (const Call call : fake::kAllCalls) {
      for (const Injection injection : InjectionsFor(call)) {
        for (int nth = 1; nth < 500; ++nth) {
          fake::State& state = Prepare(variant);
          fake::InjectFault(call, nth, injection.fault, injection.error);
          const auto before = state.files;
          const Status status = RunProgram();
          ++runs;
          if (!fake::FaultFired(call)) {
            break;
          }
          Check(state, before, status, call,
                std::string(fake::CallName(call)) + " #" + std::to_string(nth) + " error " +
                    std::to_string(static_cast<int>(injection.error)) + " fault " +
                    std::to_string(static_cast<int>(injection.fault)) +
                    (variant.unnamedFiles ? " unnamed" : " named"),
                injection.fault != Fault::Fail && call == Call::ReadFile);
          ResetJobSettings();
        }
      }
    }
  }
  RecordProperty("runs", runs);
  std::printf("%s: %d runs\n", GetParam().name, runs);
}

// The system stops at call N of each kind, N = 1, 2, ... in every mode, and the writes
// not yet flushed are kept or lost in several patterns (file and record alike). The
// same command run again on what is left gives the file the interrupted run meant to
// write; a file without a record after the crash holds its old or its new bytes whole.
// The same again where a flush fails first, so that the crash comes during a put-back.
TEST_P(FaultSweep, EveryCrashIsMadeGoodByTheSameCommandAgain) {
  const Mode& mode = GetParam();
  const Bytes plain = LongPlain();
  const bool ownFile = std::string(mode.source) == mode.destination;
  int runs = 0;
  const struct {
    std::uint64_t kept;
    int failedFlush;  // 0: none
  } kScenarios[] = {{~0ULL, 0},
                    {0ULL, 0},
                    {0x5555555555555555ULL, 0},
                    {0xAAAAAAAAAAAAAAAAULL, 0},
                    {0x00FF00FF00FF00FFULL, 0},
                    {~0ULL, 4},
                    {0ULL, 9},
                    {0x5555555555555555ULL, 12},
                    {~0ULL, 13}};
  for (const auto& scenario : kScenarios) {
    const std::uint64_t kept = scenario.kept;
    for (const Call call : fake::kAllCalls) {
      if (scenario.failedFlush != 0 && call == Call::FlushFile) {
        continue;
      }
      for (int nth = 1; nth < 1000; ++nth) {
        fake::State& state = Prepare(Variant{true}, plain);
        const auto before = state.files;
        state.keptWrites = kept;
        if (scenario.failedFlush != 0) {
          fake::InjectFault(Call::FlushFile, scenario.failedFlush);
        }
        fake::InjectFault(call, nth, Fault::Crash);
        RunProgram();
        ResetJobSettings();
        if (!fake::FaultFired(call)) {
          break;
        }
        ++runs;
        const std::string what = std::string(fake::CallName(call)) + " #" + std::to_string(nth) +
                                 " kept " + std::to_string(kept) + " flush failed " +
                                 std::to_string(scenario.failedFlush);
        const Bytes left = state.files[mode.destination].bytes;
        const bool recorded =
            std::any_of(state.files.begin(), state.files.end(), [](const auto& entry) {
              return IsRecord(entry.first) && !SaysFinished(entry.second.bytes);
            });
        if (ownFile && !recorded) {
          ASSERT_TRUE(left == plain || left == Apply(mode, plain)) << what << ": torn, no record";
        }
        state.crashed = false;
        state.faults.clear();
        state.callCount.clear();
        state.commandLine = std::string("velmoran -s ") + mode.arguments;
        ASSERT_EQ(RunProgram(), kStatusSuccess) << what;
        ResetJobSettings();
        const Bytes& result = state.files[mode.destination].bytes;
        if (!ownFile || recorded) {
          EXPECT_TRUE(result == Apply(mode, plain)) << what << ": not the intended bytes";
        } else {
          EXPECT_TRUE(result == Apply(mode, left)) << what << ": not the command's bytes";
        }
        for (const auto& entry : state.files) {
          EXPECT_TRUE(before.count(entry.first) != 0 || entry.first == mode.destination)
              << what << ": " << entry.first << " was left";
        }
        EXPECT_TRUE(ownFile || state.files[mode.source].bytes == plain) << what;
        EXPECT_TRUE(state.liveBlocks.empty()) << what << ": a block leaked";
        EXPECT_EQ(state.openFiles, 0) << what << ": a file was left open";
        EXPECT_EQ(state.openFolders, 0) << what << ": a folder was left open";
        if (HasFailure()) {
          return;
        }
      }
    }
  }
  std::printf("%s: %d crashes\n", mode.name, runs);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultSweep, testing::ValuesIn(kModes),
                         [](const testing::TestParamInfo<Mode>& info) { return info.param.name; });

}  // namespace
