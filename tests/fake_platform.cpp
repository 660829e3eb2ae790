#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace fake {
namespace {
State g_state;

// The fault planned for this call, counting it.
bool Faulted(Call call, Fault& fault) {
  const int count = ++g_state.callCount[call];
  const auto planned = g_state.faults.find(call);
  if (planned == g_state.faults.end() || planned->second.first != count) {
    return false;
  }
  fault = planned->second.second;
  return true;
}

bool Failed(Call call) {
  Fault fault = Fault::Fail;
  return Faulted(call, fault);
}

struct OpenRead {
  std::string path;
  std::size_t position = 0;
};
}  // namespace

State& Reset() {
  g_state = State{};
  return g_state;
}
State& Get() { return g_state; }
void InjectFault(Call call, int nth, Fault fault) { g_state.faults[call] = {nth, fault}; }

}  // namespace fake

struct platform::Replacement {
  std::string path;
  ReplaceMode mode = ReplaceMode::Staged;
  std::vector<std::uint8_t> staged;
  bool mapped = false;
  std::uint64_t limit = UINT64_MAX;  // a full disk: nothing lands past this offset
};

namespace platform {

using fake::Call;
using fake::Fault;
using fake::g_state;

const char* GetCommandLine() { return g_state.commandLine.c_str(); }

const char16_t* GetWideCommandLine() {
  return g_state.wideCommandLine.empty() ? nullptr : g_state.wideCommandLine.c_str();
}

bool ConvertsExactly(const char16_t* text, std::size_t length) {
  return std::all_of(text, text + length, [](char16_t c) { return c <= 0xFF; });
}

void WipeCommandLine() {
  std::fill(g_state.commandLine.begin(), g_state.commandLine.end(), '\0');
  std::fill(g_state.wideCommandLine.begin(), g_state.wideCommandLine.end(), u'\0');
  ++g_state.commandLineWipes;
}

std::uint32_t GetTickCount() {
  return g_state.nextTick < g_state.ticks.size() ? g_state.ticks[g_state.nextTick++] : 0;
}

void ShowMessageBox(const char* text, const char* caption) {
  g_state.messages.push_back({text, caption});
}

void* AllocateZeroed(std::size_t size) {
  if (fake::Failed(Call::Allocate)) {
    return nullptr;
  }
  void* block = std::calloc(size, 1);
  g_state.liveBlocks[block] = size;
  return block;
}

void ReleaseBlock(void* block, std::size_t size) {
  const auto live = g_state.liveBlocks.find(block);
  if (live == g_state.liveBlocks.end()) {
    ++g_state.releasedTwice;
    return;
  }
  if (live->second != size) {
    ++g_state.releasedWithWrongSize;
  }
  const std::string& secret = g_state.secret;
  const auto* bytes = static_cast<const char*>(block);
  if (!secret.empty() &&
      std::search(bytes, bytes + size, secret.begin(), secret.end()) != bytes + size) {
    ++g_state.unwipedSecretReleases;
  }
  g_state.liveBlocks.erase(live);
  std::free(block);
}

FileHandle OpenForReading(const char* path) {
  if (fake::Failed(Call::OpenForReading)) {
    return kInvalidFile;
  }
  const auto file = g_state.files.find(path);
  if (file == g_state.files.end() || !file->second.regular) {
    return kInvalidFile;
  }
  ++g_state.openFiles;
  auto* open = new fake::OpenRead;
  open->path = path;
  return reinterpret_cast<FileHandle>(open);
}

bool ProbeWriteAccess(const char* path) {
  if (fake::Failed(Call::ProbeWriteAccess)) {
    return false;
  }
  const auto file = g_state.files.find(path);
  return file != g_state.files.end() && !file->second.readOnly;
}

bool GetFileSize(FileHandle file, std::uint64_t& size) {
  if (fake::Failed(Call::GetFileSize)) {
    return false;
  }
  size = g_state.files[reinterpret_cast<fake::OpenRead*>(file)->path].bytes.size();
  return true;
}

std::int64_t ReadFile(FileHandle file, void* buffer, std::uint32_t length) {
  auto* open = reinterpret_cast<fake::OpenRead*>(file);
  Fault fault = Fault::Fail;
  const bool faulted = fake::Faulted(Call::ReadFile, fault);
  if (faulted && fault == Fault::Fail) {
    return -1;
  }
  std::vector<std::uint8_t>& bytes = g_state.files[open->path].bytes;
  if (faulted && fault == Fault::Grow) {
    bytes.push_back(0x5A);
  }
  if (faulted && fault == Fault::Short) {
    bytes.resize(open->position + (bytes.size() - open->position) / 2);  // the file shrank
  }
  const std::size_t moved = std::min<std::size_t>(length, bytes.size() - open->position);
  std::memcpy(buffer, bytes.data() + open->position, moved);
  open->position += moved;
  return static_cast<std::int64_t>(moved);
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) {
    --g_state.openFiles;
    delete reinterpret_cast<fake::OpenRead*>(file);
  }
}

Replacement* BeginReplacement(const char* path, bool allowStaging) {
  if (fake::Failed(Call::BeginReplacement)) {
    return nullptr;
  }
  const auto file = g_state.files.find(path);
  const bool exists = file != g_state.files.end();
  if (exists && (!file->second.regular || file->second.readOnly)) {
    return nullptr;
  }
  auto* replacement = new Replacement;
  replacement->path = path;
  if (exists && (!allowStaging || file->second.hardLinked)) {
    replacement->mode = ReplaceMode::Overwrite;
  }
  ++g_state.openReplacements;
  return replacement;
}

ReplaceMode GetReplaceMode(const Replacement* replacement) { return replacement->mode; }

std::uint8_t* MapReplacement(Replacement* replacement, std::uint64_t length) {
  if (!g_state.mappable || replacement->mode != ReplaceMode::Staged ||
      fake::Failed(Call::MapReplacement)) {
    return nullptr;
  }
  replacement->staged.resize(length);
  replacement->mapped = true;
  return replacement->staged.data();
}

void StartWriteBack(Replacement* replacement, std::uint64_t offset, std::uint64_t length) {
  const auto* from = replacement->staged.data() + offset;
  g_state.writeBacks.push_back({offset, std::vector<std::uint8_t>(from, from + length)});
}

std::int64_t WriteAt(Replacement* replacement, std::uint64_t offset, const void* data,
                     std::uint32_t length) {
  Fault fault = Fault::Fail;
  const bool faulted = fake::Faulted(Call::WriteAt, fault);
  if (offset + length > replacement->limit || (faulted && fault == Fault::Fail)) {
    return -1;
  }
  std::uint32_t moved = length;
  if (faulted && fault == Fault::Short) {
    moved = length / 2;  // the disk fills: part lands, later writes past it fail
    replacement->limit = offset + moved;
  }
  std::vector<std::uint8_t>& target = replacement->mode == ReplaceMode::Overwrite
                                          ? g_state.files[replacement->path].bytes
                                          : replacement->staged;
  if (target.size() < offset + moved) {
    target.resize(offset + moved);
  }
  std::memcpy(target.data() + offset, data, moved);
  return moved;
}

CommitResult CommitReplacement(Replacement* replacement, std::uint64_t length) {
  Fault fault = Fault::Fail;
  if (fake::Faulted(Call::CommitReplacement, fault)) {
    if (fault == Fault::RenameRefused && replacement->mode == ReplaceMode::Staged) {
      if (!replacement->mapped) {
        --g_state.openReplacements;
        delete replacement;
      }
      return CommitResult::RenameRefused;
    }
    return CommitResult::Failed;
  }
  if (replacement->mode == ReplaceMode::Overwrite) {
    g_state.files[replacement->path].bytes.resize(length);
  } else {
    replacement->staged.resize(length);
    g_state.files[replacement->path].bytes = replacement->staged;
  }
  --g_state.openReplacements;
  delete replacement;
  return CommitResult::Done;
}

void AbandonReplacement(Replacement* replacement) {
  --g_state.openReplacements;
  delete replacement;
}

}  // namespace platform
