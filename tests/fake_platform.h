// An in-memory platform for the unit tests: files, clock, heap and message box,
// where any single call can be made to fail.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake {

enum class Call {
  Allocate,
  OpenForReading,
  ProbeWriteAccess,
  GetFileSize,
  ReadFile,
  BeginReplacement,
  MapReplacement,
  WriteAt,
  CommitReplacement,
};

struct File {
  std::vector<std::uint8_t> bytes;
  bool readOnly = false;
  bool regular = true;
  bool hardLinked = false;  // forces the overwrite mode, as a second name would
};

struct Message {
  std::string text;
  std::string caption;
};

// What the fake does instead of a call's normal work.
enum class Fault {
  Fail,           // the call reports failure
  Short,          // ReadFile: the file shrinks by half; WriteAt: half lands, then writes fail
  RenameRefused,  // CommitReplacement of a staged file: the rename is impossible here
  Grow,           // ReadFile: the file turns out longer than its size said
};

struct State {
  std::string commandLine = "velmoran";
  std::map<std::string, File> files;
  std::vector<Message> messages;
  std::vector<std::uint32_t> ticks;  // returned in turn; 0 once used up
  std::size_t nextTick = 0;
  std::map<const void*, std::size_t> liveBlocks;
  int releasedTwice = 0;
  int releasedWithWrongSize = 0;
  int unwipedSecretReleases = 0;  // blocks released while still holding key bytes
  std::string secret;             // bytes that must not survive a release
  std::map<Call, int> callCount;
  std::map<Call, std::pair<int, Fault>> faults;  // fault at the n-th call (1-based)
  bool mappable = false;  // whether staged files can be mapped (the fast path)
  struct WriteBack {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;  // the range as it was when handed over
  };
  std::vector<WriteBack> writeBacks;
  int openFiles = 0;
  int openReplacements = 0;
  int commandLineWipes = 0;  // WipeCommandLine zeroes commandLine's bytes in place
  // The UTF-16 command line, where one is kept (none when empty); its code page is
  // Latin-1: characters up to U+00FF convert exactly.
  std::u16string wideCommandLine;
};

// Fresh state for a test: no files, no faults, no blocks.
State& Reset();
State& Get();

// Makes the `nth` call (counting from 1) of `call` behave as `fault`.
void InjectFault(Call call, int nth, Fault fault = Fault::Fail);

}  // namespace fake
