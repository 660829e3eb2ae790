// The job driver over the fake platform: statuses, reports, and every failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/job.h"
#include "app/job_settings.h"
#include "fake_platform.h"
#include "status_texts.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using fake::Call;
using fake::Fault;

const Bytes kPlain = {'h', 'e', 'l', 'l', 'o', ',', ' ', 'w', 'o', 'r', 'l', 'd'};

Bytes ComplementAddReference(Bytes data, const std::string& key) {
  for (std::size_t n = 0; n < data.size(); ++n) {
    data[n] = static_cast<std::uint8_t>(key[n % key.size()] - data[n] - 1);
  }
  return data;
}

Bytes XorReference(Bytes data, const std::string& key) {
  for (std::size_t n = 0; n < data.size(); ++n) {
    data[n] = static_cast<std::uint8_t>(data[n] ^ key[n % key.size()]);
  }
  return data;
}

class JobTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetJobSettings();
    state_ = &fake::Reset();
    state_->files["src"].bytes = kPlain;
    state_->files["key"].bytes = {0x00, 0x10, 0xFF};
  }
  void TearDown() override { ResetJobSettings(); }

  Status Run(const std::string& arguments) {
    state_->commandLine = "velmoran " + arguments;
    const int wipesBefore = state_->commandLineWipes;
    const Status status = RunProgram();
    // Whatever happened: every block released once, every handle closed.
    EXPECT_TRUE(state_->liveBlocks.empty());
    EXPECT_EQ(state_->releasedTwice, 0);
    EXPECT_EQ(state_->releasedWithWrongSize, 0);
    EXPECT_EQ(state_->openFiles, 0);
    EXPECT_EQ(state_->openFolders, 0);
    // The command line may hold the key string: wiped once, at the end, whatever happened.
    EXPECT_EQ(state_->commandLineWipes, wipesBefore + 1);
    EXPECT_EQ(state_->commandLine.find_first_not_of('\0'), std::string::npos);
    return status;
  }
  std::string OnlyMessage() const {
    EXPECT_EQ(state_->messages.size(), 1U);
    return state_->messages.empty() ? "" : state_->messages[0].text;
  }
  Bytes& FileBytes(const std::string& path) { return state_->files[path].bytes; }

  fake::State* state_ = nullptr;
};

struct KeyCase {
  const char* switches;
  const char* keyArgument;
  std::string key;  // the bytes the cipher must use
};

class KeySourceTest : public JobTest, public testing::WithParamInterface<KeyCase> {};

TEST_P(KeySourceTest, BothCiphersInPlaceAndCopyUseTheChosenKey) {
  const KeyCase& c = GetParam();
  const std::string tail = std::string(" ") + c.keyArgument;
  ASSERT_EQ(Run(std::string(c.switches) + " src" + tail), kStatusSuccess);
  EXPECT_EQ(FileBytes("src"), ComplementAddReference(kPlain, c.key));
  ASSERT_EQ(Run(std::string(c.switches) + " src" + tail), kStatusSuccess);
  EXPECT_EQ(FileBytes("src"), kPlain) << "the same command restores the file";

  ASSERT_EQ(Run(std::string(c.switches) + " -m -c src dst" + tail), kStatusSuccess);
  EXPECT_EQ(FileBytes("dst"), XorReference(kPlain, c.key));
  EXPECT_EQ(FileBytes("src"), kPlain);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeySourceTest,
                         testing::Values(KeyCase{"", "", "Velmoran"},
                                         KeyCase{"", "ignored", "Velmoran"},
                                         KeyCase{"-k", "pass", "pass"},
                                         KeyCase{"-f", "key", std::string("\x00\x10\xFF", 3)},
                                         KeyCase{"-k -f", "key", std::string("\x00\x10\xFF", 3)}));

struct FailureCase {
  const char* arguments;
  Status status;
};

class FailureTest : public JobTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, ReportsTheStatusAndTouchesNothing) {
  state_->files["empty"].bytes = {};
  state_->files["locked"] = {kPlain, true};
  state_->files["folder"] = {{}, false, false};
  state_->files["dst"].bytes = {1, 2, 3};
  const auto before = state_->files;
  EXPECT_EQ(Run(GetParam().arguments), GetParam().status);
  EXPECT_EQ(OnlyMessage(), StatusMessage(GetParam().status));
  for (const auto& [path, file] : before) {
    EXPECT_EQ(state_->files[path].bytes, file.bytes) << path;
  }
  EXPECT_EQ(state_->files.size(), before.size()) << "no file appeared";
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FailureTest,
    testing::Values(FailureCase{"missing", kStatusSourceOpen},
                    FailureCase{"folder", kStatusSourceOpen}, FailureCase{"empty", kStatusZeroSize},
                    FailureCase{"locked", kStatusReadOnly},
                    FailureCase{"-f src missing", kStatusKeyFileOpen},
                    FailureCase{"-f src folder", kStatusKeyFileOpen},
                    FailureCase{"-f src empty", kStatusZeroSize},
                    FailureCase{"-c src locked", kStatusDestinationCreate},
                    FailureCase{"-c src folder", kStatusDestinationCreate},
                    FailureCase{"-c missing locked", kStatusSourceOpen},  // source errors first
                    FailureCase{"-f -c src folder missing", kStatusKeyFileOpen},
                    FailureCase{"-f key key", kStatusDestinationCreate},  // the key is kept
                    FailureCase{"-f -c src key key", kStatusDestinationCreate},
                    FailureCase{"a b c", kStatusTooManyArguments}));

TEST_F(JobTest, ReadOnlyFilesThatAreOnlyReadWork) {
  state_->files["src"].readOnly = true;
  state_->files["key"].readOnly = true;
  EXPECT_EQ(Run("-f -c src dst key"), kStatusSuccess);
  EXPECT_EQ(FileBytes("dst"), ComplementAddReference(kPlain, std::string("\x00\x10\xFF", 3)));
}

TEST_F(JobTest, CopyOntoTheSourcePathActsLikeInPlace) {
  EXPECT_EQ(Run("-c src src"), kStatusSuccess);
  EXPECT_EQ(FileBytes("src"), ComplementAddReference(kPlain, "Velmoran"));
}

TEST_F(JobTest, SilentRunsShowNothingButReturnTheStatus) {
  EXPECT_EQ(Run("-s missing"), kStatusSourceOpen);
  EXPECT_EQ(Run("-s src"), kStatusSuccess);
  EXPECT_EQ(Run("-s"), kStatusSourceExpected);
  EXPECT_TRUE(state_->messages.empty());
}

// The cipher's time is the sum of its parts and the rest of the run is input/output.
TEST_F(JobTest, ReportTimesCountTheCipherPartsAndTheRestAsInputOutput) {
  // start, before and after the one part, after all parts, written: the cipher took 5
  // (across a wrap), and the whole run 22.
  state_->ticks = {0xFFFFFFF6U, 0xFFFFFFFEU, 3, 5, 12};
  ASSERT_EQ(Run("src"), kStatusSuccess);
  EXPECT_EQ(OnlyMessage(),
            "Encryption/decryption successful.\r\rTime used for file input/output: 17 "
            "milliseconds\rTime used for encryption/decryption: 5 milliseconds");
  EXPECT_EQ(state_->messages[0].caption, "Velmoran");
}

TEST_F(JobTest, UsageTextIsExact) {
  EXPECT_EQ(Run(""), kStatusUsage);
  EXPECT_EQ(OnlyMessage(),
            "File encryption/decryption tool\r\rUsage: Velmoran.exe [-k] [-f] [-s] [-c] [-m] "
            "source [destination] [key|keyfile]\r\rSwitches described:\r\t-k: use command line "
            "provided key string\r\t-f: use key file\r\t-s: silent modus\r\t-c: copy/create new "
            "file at different location\r\t-m: use masmlib XOrData algorithm");
}

TEST(StatusTable, EveryFailureHasItsFixedText) {
  for (Status status = 2; status < kStatusCount; ++status) {
    char text[kReportCapacity] = {};
    ASSERT_TRUE(FormatReport(status, 0, 0, text));
    EXPECT_EQ(text, support::StatusText(status)) << "status " << status;
  }
  char text[kReportCapacity] = {};
  EXPECT_FALSE(FormatReport(kStatusCount, 0, 0, text));
}

TEST_F(JobTest, AFileThatChangesSizeWhileReadIsNeverWritten) {
  for (const Fault fault : {Fault::Short, Fault::Grow}) {
    fake::Reset();
    state_->files["src"].bytes = kPlain;
    fake::InjectFault(Call::ReadFile, 1, fault);
    EXPECT_EQ(Run("src"), kStatusRead);
    EXPECT_EQ(state_->callCount[Call::WriteAt], 0);
    EXPECT_EQ(state_->callCount[Call::RenameOver], 0);
  }
}

TEST_F(JobTest, ARefusedRenameFallsBackToOverwriting) {
  fake::InjectFault(Call::RenameOver, 1, Fault::Fail, platform::Error::Busy);
  ASSERT_EQ(Run("-m src"), kStatusSuccess);
  EXPECT_EQ(FileBytes("src"), XorReference(kPlain, "Velmoran"));
}

// A folder that keeps its entries (append-only) refuses to rename the still-empty named
// staged file: the destination is overwritten instead, or a new one refused, and what
// stays behind (the empty file it could not remove either) never holds data.
struct KeptEntriesCase {
  const char* arguments;
  Status status;
  const char* output;  // holds the plain text ciphered with the default key, when 0
};

class KeptEntriesTest : public JobTest, public testing::WithParamInterface<KeptEntriesCase> {};

TEST_P(KeptEntriesTest, AStagedFileThatCannotBeRenamedIsNeverWritten) {
  state_->unnamedFiles = false;
  state_->files["old"].bytes = {1, 2, 3};
  fake::InjectFault(Call::MoveStagedFile, 1, Fault::Fail, platform::Error::AccessDenied);
  fake::InjectFault(Call::RemoveEntry, 1, Fault::Fail, platform::Error::AccessDenied);
  ASSERT_EQ(Run(GetParam().arguments), GetParam().status);
  if (GetParam().status == kStatusSuccess) {
    EXPECT_EQ(FileBytes(GetParam().output), ComplementAddReference(kPlain, "Velmoran"));
  } else {
    EXPECT_EQ(state_->files.count(GetParam().output), 0U);
  }
  for (const auto& [path, file] : state_->files) {
    if (path.find(".velmoran-") != std::string::npos) {
      EXPECT_TRUE(file.bytes.empty()) << path << " holds data";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, KeptEntriesTest,
                         testing::Values(KeptEntriesCase{"src", kStatusSuccess, "src"},
                                         KeptEntriesCase{"-c src old", kStatusSuccess, "old"},
                                         KeptEntriesCase{"-c src new", kStatusDestinationCreate,
                                                         "new"}));

// Limits that leave no room for a staged name beside the file (19 characters more than
// its folder, 19 for a name): an existing destination is written itself, as a direct
// write would be, and no staged file is ever made. One more character, and one fits.
struct NameRoomCase {
  platform::NameLimits limits;
  const char* arguments;
  const char* destination;
  bool staged;
};

class NameRoomTest : public JobTest, public testing::WithParamInterface<NameRoomCase> {};

TEST_P(NameRoomTest, WithoutRoomForAStagedNameTheFileItselfIsWritten) {
  state_->unnamedFiles = false;  // as on Windows: every staged file has a name
  state_->nameLimits = GetParam().limits;
  state_->files["old"].bytes = {1, 2, 3};
  ASSERT_EQ(Run(GetParam().arguments), kStatusSuccess);
  EXPECT_EQ(FileBytes(GetParam().destination), ComplementAddReference(kPlain, "Velmoran"));
  EXPECT_EQ(state_->callCount[Call::CreateStagedFile] > 0, GetParam().staged);
  EXPECT_EQ(state_->callCount[Call::OpenForOverwrite] > 0, !GetParam().staged);
  for (const auto& [path, file] : state_->files) {
    EXPECT_EQ(path.find(".velmoran-"), std::string::npos) << path << " left behind";
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, NameRoomTest,
                         testing::Values(NameRoomCase{{255, 18}, "src", "src", false},
                                         NameRoomCase{{255, 18}, "-c src old", "old", false},
                                         NameRoomCase{{18, 4095}, "src", "src", false},
                                         NameRoomCase{{18, 4095}, "-c src old", "old", false},
                                         NameRoomCase{{255, 19}, "src", "src", true},
                                         NameRoomCase{{19, 4095}, "-c src old", "old", true}));

// Where the system has unnamed staged files there is no name to leave behind: no probe.
TEST_F(JobTest, AnUnnamedStagedFileIsNotMovedFirst) {
  ASSERT_EQ(Run("src"), kStatusSuccess);
  EXPECT_EQ(state_->callCount[Call::MoveStagedFile], 0);
  state_->unnamedFiles = false;
  ASSERT_EQ(Run("src"), kStatusSuccess);
  EXPECT_EQ(state_->callCount[Call::MoveStagedFile], 1);
  EXPECT_EQ(FileBytes("src"), kPlain);
}

// Just before the rename, the destination's name must still lead to the file that was
// looked at: a name that is gone or leads elsewhere is refused, nothing touched.
TEST_F(JobTest, ANameThatNoLongerLeadsToTheDestinationIsNeverRenamedOver) {
  // A copy looks at its source's entry first.
  const std::pair<const char*, int> runs[] = {{"src", 1}, {"-c src dst", 2}};
  for (const auto& [arguments, check] : runs) {
    for (const platform::Error error : {platform::Error::NotFound, platform::Error::Other}) {
      SetUp();
      state_->files["dst"].bytes = {1, 2, 3};
      fake::InjectFault(Call::InspectEntry, check, Fault::Fail, error);
      EXPECT_EQ(Run(arguments), kStatusDestinationCreate) << arguments;
      EXPECT_EQ(FileBytes("src"), kPlain) << arguments;
      EXPECT_EQ(FileBytes("dst"), Bytes({1, 2, 3})) << arguments;
      EXPECT_EQ(state_->files.size(), 3U) << arguments;
    }
  }
}

// Whether the source may be rewritten is a question of access, never of space.
TEST_F(JobTest, AWriteAccessProbeFailingForWantOfSpaceIsNotReadOnly) {
  const std::pair<platform::Error, Status> cases[] = {
      {platform::Error::NoSpace, kStatusSuccess},
      {platform::Error::AccessDenied, kStatusReadOnly},
      {platform::Error::Busy, kStatusReadOnly},
  };
  for (const auto& [error, status] : cases) {
    SetUp();
    fake::InjectFault(Call::ProbeWriteAccess, 1, Fault::Fail, error);
    EXPECT_EQ(Run("src"), status) << static_cast<int>(error);
  }
}

// A file another run holds is never read for replacing nor written.
TEST_F(JobTest, AFileHeldByAnotherRunIsLeftAsItIs) {
  state_->files["src"].heldByALiveRun = true;
  EXPECT_EQ(Run("-s src"), kStatusReadOnly);
  EXPECT_EQ(FileBytes("src"), kPlain);
  SetUp();
  state_->files["dst"] = {{1, 2, 3}, false, true, false, true};
  EXPECT_EQ(Run("-s -c src dst"), kStatusDestinationCreate);
  EXPECT_EQ(FileBytes("dst"), Bytes({1, 2, 3}));
}

// The key file is read whole before the source is read at all.
TEST_F(JobTest, AFailedKeyFileWinsOverAFailedSourceRead) {
  fake::InjectFault(Call::ReadFile, 1);
  EXPECT_EQ(Run("-f src missing"), kStatusKeyFileOpen);
  EXPECT_EQ(FileBytes("src"), kPlain);
  EXPECT_EQ(state_->callCount[Call::WriteAt], 0);
}

// A file of several parts, each ciphered at its own key position, on every path the
// bytes take: staged, overwritten in place (read through the handle that writes it),
// and a copy over another file's hard link. The buffer is one part, not the file.
struct PartsCase {
  const char* arguments;
  std::uint32_t length;
  bool xored;
  const char* output;
  bool hardLinked;
};

class PartsTest : public JobTest, public testing::WithParamInterface<PartsCase> {
 protected:
  Bytes Plain() const {
    Bytes plain(GetParam().length);
    for (std::size_t n = 0; n < plain.size(); ++n) {
      plain[n] = static_cast<std::uint8_t>(n * 131 + n / 4099);
    }
    return plain;
  }
  void SetUp() override {
    JobTest::SetUp();
    const PartsCase& c = GetParam();
    FileBytes("src") = Plain();
    FileBytes("key") = {'s', 'e', 'v', 'e', 'n', '!', '?'};
    if (std::string(c.output) != "src") {
      state_->files[c.output] = {Bytes(100, 7), false, true, c.hardLinked};
    } else {
      state_->files["src"].hardLinked = c.hardLinked;
    }
  }
};

TEST_P(PartsTest, EachPartIsCipheredAtItsKeyPositionInBoundedMemory) {
  const PartsCase& c = GetParam();
  ASSERT_EQ(Run(c.arguments), kStatusSuccess);
  const Bytes plain = Plain();
  EXPECT_TRUE(FileBytes(c.output) == (c.xored ? XorReference(plain, "seven!?")
                                              : ComplementAddReference(plain, "seven!?")));
  EXPECT_LE(state_->largestBlock, std::size_t{4} << 20) << "the buffer grew with the file";
}

// A failure in a later part, after earlier parts were written: every file is as it was
// (a copy's other destination aside), the overwritten source put back by reading what
// was written and transforming it again.
TEST_P(PartsTest, AFailureInALaterPartLeavesTheSourceAsItWas) {
  const PartsCase& c = GetParam();
  // Read through the handle that writes it, the overwritten source fails as a write.
  const bool readThroughWriter = std::string(c.output) == "src" && c.hardLinked;
  const struct {
    Call call;
    Fault fault;
    Status status;
  } kFaults[] = {
      {Call::WriteAt, Fault::Fail, kStatusShortWrite},
      {Call::WriteAt, Fault::Short, kStatusShortWrite},
      {readThroughWriter ? Call::ReadAt : Call::ReadFile, Fault::Fail,
       readThroughWriter ? kStatusShortWrite : kStatusRead},
      {Call::FlushFile, Fault::Fail, kStatusWrite},
  };
  for (const auto& f : kFaults) {
    // The call halfway through a clean run's calls of that kind: a later part, whatever
    // else (a recovery record) makes such calls.
    SetUp();
    ASSERT_EQ(Run(c.arguments), kStatusSuccess);
    const int calls = state_->callCount[f.call];
    SetUp();
    fake::InjectFault(f.call, calls / 2 > 1 ? calls / 2 : 1, f.fault);
    // Where more than one flush is made, the failing one comes after some part was written.
    const Status expected = f.call == Call::FlushFile && calls > 1 ? kStatusShortWrite : f.status;
    EXPECT_EQ(Run(c.arguments), expected) << fake::CallName(f.call);
    EXPECT_TRUE(FileBytes("src") == Plain()) << fake::CallName(f.call);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PartsTest,
    testing::Values(PartsCase{"-f src key", (8U << 20) * 2 + 4097, false, "src", false},
                    PartsCase{"-m -f src key", (8U << 20) + 1, true, "src", false},
                    PartsCase{"-f src key", 8U << 20, false, "src", true},
                    PartsCase{"-m -f src key", (8U << 20) + 4097, true, "src", true},
                    PartsCase{"-c -f src dst key", (8U << 20) + 1, false, "dst", true},
                    PartsCase{"-c -f src dst key", 3U << 20, false, "dst", false}));

TEST_F(JobTest, ARenameRefusalThatFailsToOverwritePutsTheOriginalBack) {
  fake::InjectFault(Call::RenameOver, 1, Fault::Fail, platform::Error::Busy);
  // Write 1 is the staged file's, 2 and 3 the recovery record's, 4 the overwrite's.
  fake::InjectFault(Call::WriteAt, 4, Fault::Short);
  EXPECT_EQ(Run("-k src secret"), kStatusShortWrite);
  EXPECT_EQ(FileBytes("src"), kPlain);
}

TEST_F(JobTest, OverwritingSetsTheNewLength) {
  state_->files["dst"] = {Bytes(100, 7), false, true, true, false};
  ASSERT_EQ(Run("-c src dst"), kStatusSuccess);
  EXPECT_EQ(FileBytes("dst"), ComplementAddReference(kPlain, "Velmoran"));
}

TEST_F(JobTest, KeyFileBytesAreWipedBeforeRelease) {
  state_->files["key"].bytes = {'s', 'e', 'c', 'r', 'e', 't', '!'};
  state_->secret = "secret!";
  ASSERT_EQ(Run("-f src key"), kStatusSuccess);
  EXPECT_EQ(state_->unwipedSecretReleases, 0);
}

// A run on a hard-linked file (rewritten in place) stopped halfway leaves a recovery
// record beside it. Each row then runs a command on what is left.
struct RecordCase {
  const char* name;
  const char* arguments;
  Status status;
  enum Expect { Finished, Untouched, CommandOnWhatWasLeft } expect;
  bool recordStays;
  void (*disturb)(fake::State& state, const Bytes& left);  // before the second run
};

Bytes RecordedPlain() {
  Bytes plain(9000);
  for (std::size_t n = 0; n < plain.size(); ++n) {
    plain[n] = static_cast<std::uint8_t>(n * 89 + n / 311);
  }
  return plain;
}

class RecordTest : public JobTest, public testing::WithParamInterface<RecordCase> {
 protected:
  bool HasRecord() const { return state_->files.count(".linked.velmoran-recovery") != 0; }
};

// The first unit of the stretch in flight: where the bytes left first differ from the
// intended ones.
std::size_t FirstUnitInFlight(const Bytes& left, const Bytes& intended) {
  std::size_t n = 0;
  while (n < left.size() && left[n] == intended[n]) {
    ++n;
  }
  return n / 512 * 512;
}

TEST_P(RecordTest, TheNextRunActsOnTheRecord) {
  const RecordCase& c = GetParam();
  const Bytes plain = RecordedPlain();
  const Bytes intended = ComplementAddReference(plain, "secret");
  state_->files["linked"] = {plain, false, true, true};
  // Writes: the record made, then for each stretch of three units the record and the
  // stretch. The crash comes as the second stretch is written.
  fake::InjectFault(Call::WriteAt, 5, Fault::Crash);
  Run("-s -k linked secret");
  ASSERT_TRUE(HasRecord());
  const Bytes left = FileBytes("linked");
  ASSERT_NE(left, plain);
  ASSERT_NE(left, intended);
  state_->crashed = false;
  state_->faults.clear();
  if (c.disturb != nullptr) {
    c.disturb(*state_, left);
  }
  const Bytes disturbed = FileBytes("linked");
  EXPECT_EQ(Run(std::string("-s ") + c.arguments), c.status);
  switch (c.expect) {
    case RecordCase::Finished:
      EXPECT_TRUE(FileBytes("linked") == intended) << "not what the interrupted run meant";
      break;
    case RecordCase::Untouched: EXPECT_TRUE(FileBytes("linked") == disturbed) << "touched"; break;
    case RecordCase::CommandOnWhatWasLeft:
      EXPECT_TRUE(FileBytes("linked") == ComplementAddReference(disturbed, "secret"));
      break;
  }
  EXPECT_EQ(HasRecord(), c.recordStays);
  EXPECT_EQ(state_->files.count("copy"), 0U) << "a refused copy made a file";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordTest,
    testing::Values(
        RecordCase{"SameCommand", "-k linked secret", kStatusSuccess, RecordCase::Finished, false,
                   nullptr},
        RecordCase{"CopyOntoItsOwnFile", "-c -k linked linked secret", kStatusSuccess,
                   RecordCase::Finished, false, nullptr},
        RecordCase{"AnotherKey", "-k linked other", kStatusReadOnly, RecordCase::Untouched, true,
                   nullptr},
        RecordCase{"AnotherCipher", "-m -k linked secret", kStatusReadOnly, RecordCase::Untouched,
                   true, nullptr},
        RecordCase{"CopyFromIt", "-c -k linked copy secret", kStatusReadOnly, RecordCase::Untouched,
                   true, nullptr},
        RecordCase{"CopyOverIt", "-c -k src linked secret", kStatusDestinationCreate,
                   RecordCase::Untouched, true, nullptr},
        RecordCase{"StaleForAnotherFile", "-k linked secret", kStatusSuccess,
                   RecordCase::CommandOnWhatWasLeft, false,
                   [](fake::State& state, const Bytes&) { state.files["linked"].birth = 77; }},
        RecordCase{
            "StaleForAnotherLength", "-k linked secret", kStatusSuccess,
            RecordCase::CommandOnWhatWasLeft, false,
            [](fake::State& state, const Bytes&) { state.files["linked"].bytes.push_back(1); }},
        RecordCase{"StaleDoneRange", "-k linked secret", kStatusSuccess,
                   RecordCase::CommandOnWhatWasLeft, false,
                   [](fake::State& state, const Bytes&) { state.files["linked"].bytes[3] ^= 1; }},
        RecordCase{
            "AUnitInFlightFitsNothing", "-k linked secret", kStatusRead, RecordCase::Untouched,
            true,
            [](fake::State& state, const Bytes& left) {
              Bytes& bytes = state.files["linked"].bytes;
              const Bytes plain = RecordedPlain();
              bytes[FirstUnitInFlight(left, ComplementAddReference(plain, "secret")) + 100] ^= 0x40;
            }},
        RecordCase{"EmptyRecord", "-k linked secret", kStatusSuccess,
                   RecordCase::CommandOnWhatWasLeft, false,
                   [](fake::State& state, const Bytes&) {
                     state.files[".linked.velmoran-recovery"].bytes.clear();
                     state.files["linked"].bytes = RecordedPlain();
                   }},
        RecordCase{"TornBeforeItWasWhole", "-k linked secret", kStatusSuccess,
                   RecordCase::CommandOnWhatWasLeft, false,
                   [](fake::State& state, const Bytes& left) {
                     state.files[".linked.velmoran-recovery"].bytes.assign(40, 0);
                     state.files["linked"].bytes = RecordedPlain();
                     (void)left;
                   }}),
    [](const testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

// Where no record can be made beside the file, the overwrite goes on as it did without.
TEST_F(JobTest, AFolderThatTakesNoRecordIsOverwrittenWithoutOne) {
  state_->files["linked"] = {kPlain, false, true, true};
  state_->refuseNewFiles = true;
  ASSERT_EQ(Run("-k linked secret"), kStatusSuccess);
  EXPECT_EQ(FileBytes("linked"), ComplementAddReference(kPlain, "secret"));
  EXPECT_EQ(state_->callCount[Call::FlushFile], 1) << "flushed once, as without a record";
}

}  // namespace
