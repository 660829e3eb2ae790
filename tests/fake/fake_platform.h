// An in-memory platform for the unit tests and fuzz targets: files, folders, clock,
// heap and message box, where any single call can be made to fail.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Every call of the seam that can fail.
enum class Call {
  Allocate,
  OpenForReading,
  ProbeWriteAccess,
  GetFileSize,
  ReadFile,
  GetFileInfo,
  LocatePath,
  OpenFolder,
  ListFolder,
  FlushFolder,
  InspectFile,
  InspectEntry,
  OpenEntry,
  TryLock,
  RemoveEntry,
  CreateStagedFile,
  NameStagedFile,
  CarryMetadata,
  OpenForOverwrite,
  WriteAt,
  SetFileLength,
  FlushFile,
  RenameOver,
  ReadAt,
  MoveStagedFile,
  OpenLock,
  CarryAttributes,
  FlushFileSystem,
  GetRandomBytes,
  GetBirthTime,
  OpenEntryForData,
  StartWriteBack,
};

inline constexpr Call kAllCalls[] = {
    Call::Allocate,       Call::OpenForReading, Call::ProbeWriteAccess, Call::GetFileSize,
    Call::ReadFile,       Call::GetFileInfo,    Call::LocatePath,       Call::OpenFolder,
    Call::ListFolder,     Call::FlushFolder,    Call::InspectFile,      Call::InspectEntry,
    Call::OpenEntry,      Call::TryLock,        Call::RemoveEntry,      Call::CreateStagedFile,
    Call::NameStagedFile, Call::CarryMetadata,  Call::OpenForOverwrite, Call::WriteAt,
    Call::SetFileLength,  Call::FlushFile,      Call::RenameOver,       Call::ReadAt,
    Call::MoveStagedFile, Call::OpenLock,       Call::CarryAttributes,  Call::FlushFileSystem,
    Call::GetRandomBytes, Call::GetBirthTime,   Call::OpenEntryForData, Call::StartWriteBack,
};

const char* CallName(Call call);

struct File {
  std::vector<std::uint8_t> bytes;
  bool readOnly = false;
  bool regular = true;
  bool hardLinked = false;      // a second name: forces the overwrite mode
  bool heldByALiveRun = false;  // another run holds it: a staged file cannot be opened,
                                // and no file can be locked
  std::uint64_t birth = 1;      // its birth time
  // What a crash would leave: the bytes at the last flush, and the writes since then
  // (each kept or lost), while `dirty`.
  bool dirty = false;
  std::vector<std::uint8_t> flushed;
  struct Write {
    std::uint64_t sequence = 0;
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
    bool resize = false;  // SetFileLength to `offset`
  };
  std::vector<Write> unflushed;
};

struct Message {
  std::string text;
  std::string caption;
};

// What the fake does instead of a call's normal work.
enum class Fault {
  Fail,   // the call reports its error
  Short,  // ReadFile: the file shrinks by half; WriteAt: half lands, then writes fail
  Grow,   // ReadFile: the file turns out longer than its size said
  Crash,  // the system stops here: unflushed writes are kept or lost by `State::keptWrites`,
          // and every later call fails without any effect
};

struct PlannedFault {
  int nth = 0;
  Fault fault = Fault::Fail;
  platform::Error error = platform::Error::Other;
};

struct State {
  std::string commandLine = "velmoran";
  std::map<std::string, File> files;  // by path; "dir/name" for a file in a folder
  std::vector<Message> messages;
  std::vector<std::uint32_t> ticks;  // returned in turn; 0 once used up
  std::size_t nextTick = 0;
  std::map<const void*, std::size_t> liveBlocks;
  std::size_t largestBlock = 0;
  int releasedTwice = 0;
  int releasedWithWrongSize = 0;
  int unwipedSecretReleases = 0;  // blocks released while still holding key bytes
  std::string secret;             // bytes that must not survive a release
  std::map<Call, int> callCount;
  std::map<Call, PlannedFault> faults;
  bool unnamedFiles = true;  // whether the system has unnamed staged files
  int openFiles = 0;
  int commandLineWipes = 0;  // WipeCommandLine zeroes commandLine's bytes in place
  // The UTF-16 command line, where one is kept (none when empty); its code page is
  // Latin-1: characters up to U+00FF convert exactly.
  std::u16string wideCommandLine;
  int openFolders = 0;
  std::uint32_t nameSeed = 0;
  bool refuseNewFiles = false;  // the folders let no new file be made (AccessDenied)
  bool crashed = false;
  std::uint64_t keptWrites = ~0ULL;  // unflushed write n survives a crash if bit n % 64 is set
  std::uint64_t writeSequence = 0;
  platform::NameLimits nameLimits{255, 4095};  // what GetNameLimits reports for every folder
};

// Fresh state for a test: no files, no faults, no blocks.
State& Reset();
State& Get();

// Makes the `nth` call (counting from 1) of `call` behave as `fault`, reporting `error`.
void InjectFault(Call call, int nth, Fault fault = Fault::Fail,
                 platform::Error error = platform::Error::Other);

// Whether the planned fault of `call` fired.
bool FaultFired(Call call);

}  // namespace fake
