#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace fake {
namespace {
State g_state;

using platform::Error;

// What survives the crash: each file as flushed, with the writes since then that are kept.
void Crash() {
  for (auto& entry : g_state.files) {
    File& file = entry.second;
    if (!file.dirty) {
      continue;
    }
    file.bytes = file.flushed;
    for (const File::Write& write : file.unflushed) {
      if (((g_state.keptWrites >> (write.sequence % 64)) & 1U) == 0) {
        continue;
      }
      if (write.resize) {
        file.bytes.resize(write.offset);
        continue;
      }
      if (file.bytes.size() < write.offset + write.bytes.size()) {
        file.bytes.resize(write.offset + write.bytes.size());
      }
      std::copy(write.bytes.begin(), write.bytes.end(),
                file.bytes.begin() + static_cast<std::ptrdiff_t>(write.offset));
    }
    file.dirty = false;
    file.unflushed.clear();
  }
  g_state.crashed = true;
}

// The fault planned for this call, counting it. After a crash every call fails.
bool Faulted(Call call, PlannedFault& planned) {
  if (g_state.crashed) {
    planned = {};
    return true;
  }
  const int count = ++g_state.callCount[call];
  const auto found = g_state.faults.find(call);
  if (found == g_state.faults.end() || found->second.nth != count) {
    return false;
  }
  planned = found->second;
  if (planned.fault == Fault::Crash) {
    Crash();
    planned = {};
  }
  return true;
}

// Remembers a write to a named file until it is flushed.
void NoteUnflushed(const std::string& path, std::uint64_t offset, const std::uint8_t* bytes,
                   std::size_t length, bool resize) {
  File& file = g_state.files[path];
  if (!file.dirty) {
    file.flushed = file.bytes;
    file.dirty = true;
  }
  File::Write write;
  write.sequence = g_state.writeSequence++;
  write.offset = offset;
  write.bytes.assign(bytes, bytes + length);
  write.resize = resize;
  file.unflushed.push_back(std::move(write));
}

void MarkFlushed(File& file) {
  file.dirty = false;
  file.unflushed.clear();
}

// The error to report when this call is to fail, else Error::None.
Error Failed(Call call) {
  PlannedFault planned;
  return Faulted(call, planned) ? planned.error : Error::None;
}

// One open file: a named file by its path, or an unnamed staged file's own bytes.
struct Handle {
  std::string path;  // empty while unnamed
  std::vector<std::uint8_t> unnamed;
  std::size_t position = 0;
  std::uint64_t limit = UINT64_MAX;  // a full disk: nothing lands past this offset
  std::uint64_t unnamedId = 0;
};

struct Folder {
  std::string prefix;  // "" or "dir/"
};

Handle* AsHandle(platform::FileHandle file) { return reinterpret_cast<Handle*>(file); }
Folder* AsFolder(platform::FolderHandle folder) { return reinterpret_cast<Folder*>(folder); }

platform::FileHandle NewHandle(const std::string& path) {
  ++g_state.openFiles;
  auto* handle = new Handle;
  handle->path = path;
  return reinterpret_cast<platform::FileHandle>(handle);
}

std::vector<std::uint8_t>& BytesOf(Handle& handle) {
  return handle.path.empty() ? handle.unnamed : g_state.files[handle.path].bytes;
}

platform::FileId IdOf(const std::string& path) { return {1, std::hash<std::string>{}(path)}; }

void Describe(const std::string& path, const File& file, platform::FileInfo& info) {
  info.regular = file.regular;
  info.readOnly = file.readOnly;
  info.ownedByUser = true;
  info.links = file.hardLinked ? 2 : 1;
  info.id = IdOf(path);
}

// Opens the file at `path` unless `call` is to fail: NotFound where there is none, and
// with `regularOnly` NotSupported where it is no regular file.
Error OpenExisting(Call call, const std::string& path, bool regularOnly,
                   platform::FileHandle& file) {
  if (const Error error = Failed(call); error != Error::None) {
    return error;
  }
  const auto found = g_state.files.find(path);
  if (found == g_state.files.end()) {
    return Error::NotFound;
  }
  if (regularOnly && !found->second.regular) {
    return Error::NotSupported;
  }
  file = NewHandle(path);
  return Error::None;
}

}  // namespace

const char* CallName(Call call) {
  static const char* const kNames[] = {
      "Allocate",       "OpenForReading", "ProbeWriteAccess", "GetFileSize",
      "ReadFile",       "GetFileInfo",    "LocatePath",       "OpenFolder",
      "ListFolder",     "FlushFolder",    "InspectFile",      "InspectEntry",
      "OpenEntry",      "TryLock",        "RemoveEntry",      "CreateStagedFile",
      "NameStagedFile", "CarryMetadata",  "OpenForOverwrite", "WriteAt",
      "SetFileLength",  "FlushFile",      "RenameOver",       "ReadAt",
      "MoveStagedFile", "OpenLock",       "CarryAttributes",  "FlushFileSystem",
      "GetRandomBytes", "GetBirthTime",   "OpenEntryForData", "StartWriteBack"};
  return kNames[static_cast<int>(call)];
}

State& Reset() {
  g_state = State{};
  return g_state;
}
State& Get() { return g_state; }
void InjectFault(Call call, int nth, Fault fault, platform::Error error) {
  g_state.faults[call] = {nth, fault, error};
}
bool FaultFired(Call call) {
  const auto planned = g_state.faults.find(call);
  return planned != g_state.faults.end() && g_state.callCount[call] >= planned->second.nth;
}

}  // namespace fake

namespace platform {

using fake::AsFolder;
using fake::AsHandle;
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

std::uint32_t GetNameSeed() { return ++g_state.nameSeed; }

void ShowMessageBox(const char* text, const char* caption) {
  g_state.messages.push_back({text, caption});
}

void* AllocateZeroed(std::size_t size) {
  if (fake::Failed(Call::Allocate) != Error::None) {
    return nullptr;
  }
  void* block = std::calloc(size, 1);
  g_state.liveBlocks[block] = size;
  g_state.largestBlock = std::max(g_state.largestBlock, size);
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

// ---- reading ----

Error OpenForReading(const char* path, FileHandle& file) {
  return fake::OpenExisting(Call::OpenForReading, path, true, file);
}

Error ProbeWriteAccess(const char* path) {
  if (const Error error = fake::Failed(Call::ProbeWriteAccess); error != Error::None) {
    return error;
  }
  const auto found = g_state.files.find(path);
  if (found == g_state.files.end()) {
    return Error::NotFound;
  }
  return found->second.readOnly ? Error::AccessDenied : Error::None;
}

Error GetFileSize(FileHandle file, std::uint64_t& size) {
  if (const Error error = fake::Failed(Call::GetFileSize); error != Error::None) {
    return error;
  }
  size = fake::BytesOf(*AsHandle(file)).size();
  return Error::None;
}

Error ReadFile(FileHandle file, void* buffer, std::uint32_t length, std::uint32_t& moved) {
  fake::Handle& open = *AsHandle(file);
  fake::PlannedFault planned;
  const bool faulted = fake::Faulted(Call::ReadFile, planned);
  if (faulted && planned.fault == Fault::Fail) {
    return planned.error;
  }
  std::vector<std::uint8_t>& bytes = fake::BytesOf(open);
  if (faulted && planned.fault == Fault::Grow) {
    bytes.push_back(0x5A);
  }
  if (faulted && planned.fault == Fault::Short) {
    bytes.resize(open.position + (bytes.size() - open.position) / 2);  // the file shrank
  }
  const std::size_t count = std::min<std::size_t>(length, bytes.size() - open.position);
  std::memcpy(buffer, bytes.data() + open.position, count);
  open.position += count;
  moved = static_cast<std::uint32_t>(count);
  return Error::None;
}

Error ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t length,
             std::uint32_t& moved) {
  if (const Error error = fake::Failed(Call::ReadAt); error != Error::None) {
    return error;
  }
  const std::vector<std::uint8_t>& bytes = fake::BytesOf(*AsHandle(file));
  const std::size_t count =
      offset >= bytes.size() ? 0 : std::min<std::size_t>(length, bytes.size() - offset);
  if (count != 0) {
    std::memcpy(buffer, bytes.data() + offset, count);
  }
  moved = static_cast<std::uint32_t>(count);
  return Error::None;
}

Error GetFileInfo(FileHandle file, FileInfo& info) {
  if (const Error error = fake::Failed(Call::GetFileInfo); error != Error::None) {
    return error;
  }
  const fake::Handle& open = *AsHandle(file);
  if (open.path.empty()) {
    info = FileInfo{};
    info.regular = true;
    info.links = 1;
    info.id = {2, open.unnamedId};
    return Error::None;
  }
  fake::Describe(open.path, g_state.files[open.path], info);
  return Error::None;
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) {
    --g_state.openFiles;
    delete AsHandle(file);
  }
}

// ---- paths and folders ----

Error LocatePath(const char* path, char* text, std::size_t capacity, std::size_t& length,
                 std::size_t& nameStart) {
  if (const Error error = fake::Failed(Call::LocatePath); error != Error::None) {
    return error;
  }
  length = std::strlen(path);
  if (length >= capacity) {
    return Error::None;
  }
  std::memcpy(text, path, length + 1);
  const char* slash = std::strrchr(path, '/');
  nameStart = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
  return Error::None;
}

bool SameName(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

NameLimits GetNameLimits(const char* /*folder*/) { return g_state.nameLimits; }

Error OpenFolder(const char* text, std::size_t length, FolderHandle& folder) {
  if (const Error error = fake::Failed(Call::OpenFolder); error != Error::None) {
    return error;
  }
  ++g_state.openFolders;
  folder = reinterpret_cast<FolderHandle>(new fake::Folder{std::string(text, length)});
  return Error::None;
}

void CloseFolder(FolderHandle folder) {
  if (folder != kInvalidFolder) {
    --g_state.openFolders;
    delete AsFolder(folder);
  }
}

Error ListFolder(FolderHandle folder, void (*visit)(const char* name, void* context),
                 void* context) {
  if (const Error error = fake::Failed(Call::ListFolder); error != Error::None) {
    return error;
  }
  const std::string& prefix = AsFolder(folder)->prefix;
  std::vector<std::string> names;
  for (const auto& entry : g_state.files) {
    const std::string& path = entry.first;
    if (path.compare(0, prefix.size(), prefix) == 0 &&
        path.find('/', prefix.size()) == std::string::npos) {
      names.push_back(path.substr(prefix.size()));
    }
  }
  for (const std::string& name : names) {
    visit(name.c_str(), context);
  }
  return Error::None;
}

Error FlushFolder(FolderHandle /*folder*/) { return fake::Failed(Call::FlushFolder); }

Error InspectFile(const char* path, FileInfo& info) {
  if (const Error error = fake::Failed(Call::InspectFile); error != Error::None) {
    return error;
  }
  const auto found = g_state.files.find(path);
  if (found == g_state.files.end()) {
    return Error::NotFound;
  }
  fake::Describe(path, found->second, info);
  return Error::None;
}

Error InspectEntry(FolderHandle folder, const char* name, FileInfo& info) {
  if (const Error error = fake::Failed(Call::InspectEntry); error != Error::None) {
    return error;
  }
  const std::string path = AsFolder(folder)->prefix + name;
  const auto found = g_state.files.find(path);
  if (found == g_state.files.end()) {
    return Error::NotFound;
  }
  fake::Describe(path, found->second, info);
  return Error::None;
}

Error OpenEntry(FolderHandle folder, const char* name, FileHandle& file) {
  return fake::OpenExisting(Call::OpenEntry, AsFolder(folder)->prefix + name, false, file);
}

Error TryLock(FileHandle file) {
  if (const Error error = fake::Failed(Call::TryLock); error != Error::None) {
    return error;
  }
  const fake::Handle& open = *AsHandle(file);
  return !open.path.empty() && g_state.files[open.path].heldByALiveRun ? Error::Busy : Error::None;
}

Error OpenLock(const char* path, FileHandle& lock, FileId& locked) {
  if (const Error error = fake::Failed(Call::OpenLock); error != Error::None) {
    return error;
  }
  const auto found = g_state.files.find(path);
  if (found == g_state.files.end()) {
    return Error::NotFound;
  }
  if (found->second.heldByALiveRun) {
    return Error::Busy;
  }
  FileInfo info;
  fake::Describe(path, found->second, info);
  locked = info.id;
  lock = fake::NewHandle(path);
  return Error::None;
}

Error RemoveEntry(FolderHandle folder, const char* name) {
  if (const Error error = fake::Failed(Call::RemoveEntry); error != Error::None) {
    return error;
  }
  return g_state.files.erase(AsFolder(folder)->prefix + name) == 1 ? Error::None : Error::NotFound;
}

Error RemoveHeldEntry(FileHandle /*file*/, FolderHandle folder, const char* name) {
  return RemoveEntry(folder, name);
}

// ---- writing ----

Error CreateStagedFile(FolderHandle folder, const char* name, FileHandle& file) {
  if (const Error error = fake::Failed(Call::CreateStagedFile); error != Error::None) {
    return error;
  }
  static std::uint64_t unnamedFiles = 0;
  if (g_state.refuseNewFiles) {
    return Error::AccessDenied;
  }
  if (name == nullptr) {
    if (!g_state.unnamedFiles) {
      return Error::NotSupported;
    }
    file = fake::NewHandle("");
    AsHandle(file)->unnamedId = ++unnamedFiles;
    return Error::None;
  }
  const std::string path = AsFolder(folder)->prefix + name;
  if (g_state.files.count(path) != 0) {
    return Error::Exists;
  }
  g_state.files[path] = fake::File{};
  file = fake::NewHandle(path);
  return Error::None;
}

Error NameStagedFile(FileHandle file, FolderHandle folder, const char* name) {
  if (const Error error = fake::Failed(Call::NameStagedFile); error != Error::None) {
    return error;
  }
  fake::Handle& open = *AsHandle(file);
  const std::string path = AsFolder(folder)->prefix + name;
  if (g_state.files.count(path) != 0) {
    return Error::Exists;
  }
  g_state.files[path].bytes = open.unnamed;
  open.path = path;
  return Error::None;
}

Error CreateStagedFileLike(FolderHandle folder, const char* name, const char* /*original*/,
                           FileHandle& file) {
  return CreateStagedFile(folder, name, file);
}

Error MoveStagedFile(FileHandle file, FolderHandle folder, const char* from, const char* to) {
  if (const Error error = fake::Failed(Call::MoveStagedFile); error != Error::None) {
    return error;
  }
  const std::string& prefix = AsFolder(folder)->prefix;
  const auto staged = g_state.files.find(prefix + from);
  if (staged == g_state.files.end()) {
    return Error::NotFound;
  }
  if (g_state.files.count(prefix + to) != 0) {
    return Error::Exists;
  }
  fake::File moved = std::move(staged->second);
  g_state.files.erase(staged);
  g_state.files[prefix + to] = std::move(moved);
  AsHandle(file)->path = prefix + to;
  return Error::None;
}

Error CarryMetadata(FileHandle /*file*/, const FileInfo* /*from*/) {
  return fake::Failed(Call::CarryMetadata);
}

Error CarryAttributes(FileHandle /*file*/, const char* /*from*/) {
  return fake::Failed(Call::CarryAttributes);
}

Error OpenForOverwrite(const char* path, FileHandle& file) {
  return fake::OpenExisting(Call::OpenForOverwrite, path, false, file);
}

Error WriteAt(FileHandle file, std::uint64_t offset, const void* data, std::uint32_t length,
              std::uint32_t& moved) {
  fake::Handle& open = *AsHandle(file);
  fake::PlannedFault planned;
  const bool faulted = fake::Faulted(Call::WriteAt, planned);
  if (faulted && planned.fault == Fault::Fail) {
    return planned.error;
  }
  if (offset + length > open.limit) {
    return Error::NoSpace;
  }
  moved = length;
  if (faulted && planned.fault == Fault::Short) {
    moved = length / 2;  // the disk fills: part lands, later writes past it fail
    open.limit = offset + moved;
  }
  if (!open.path.empty()) {
    fake::NoteUnflushed(open.path, offset, static_cast<const std::uint8_t*>(data), moved, false);
  }
  std::vector<std::uint8_t>& target = fake::BytesOf(open);
  if (target.size() < offset + moved) {
    target.resize(offset + moved);
  }
  std::memcpy(target.data() + offset, data, moved);
  return Error::None;
}

Error SetFileLength(FileHandle file, std::uint64_t length) {
  if (const Error error = fake::Failed(Call::SetFileLength); error != Error::None) {
    return error;
  }
  fake::Handle& open = *AsHandle(file);
  if (!open.path.empty()) {
    fake::NoteUnflushed(open.path, length, nullptr, 0, true);
  }
  std::vector<std::uint8_t>& bytes = fake::BytesOf(open);
  bytes.resize(length);
  return Error::None;
}

Error FlushFile(FileHandle file) {
  if (const Error error = fake::Failed(Call::FlushFile); error != Error::None) {
    return error;
  }
  const fake::Handle& open = *AsHandle(file);
  if (!open.path.empty()) {
    fake::MarkFlushed(g_state.files[open.path]);
  }
  return Error::None;
}

// Nothing counts as flushed before a flush: a crash may still lose any of it.
Error StartWriteBack(FileHandle /*file*/, std::uint64_t /*offset*/, std::uint64_t /*length*/) {
  return fake::Failed(Call::StartWriteBack);
}

Error FlushFileSystem(FileHandle /*file*/) {
  if (const Error error = fake::Failed(Call::FlushFileSystem); error != Error::None) {
    return error;
  }
  for (auto& entry : g_state.files) {
    fake::MarkFlushed(entry.second);
  }
  return Error::None;
}

Error RenameOver(FileHandle /*staged*/, FolderHandle folder, const char* stagedName,
                 const char* name) {
  if (const Error error = fake::Failed(Call::RenameOver); error != Error::None) {
    return error;
  }
  const std::string& prefix = AsFolder(folder)->prefix;
  const auto staged = g_state.files.find(prefix + stagedName);
  if (staged == g_state.files.end()) {
    return Error::NotFound;
  }
  std::vector<std::uint8_t> bytes = std::move(staged->second.bytes);
  g_state.files.erase(staged);
  g_state.files[prefix + name].bytes = std::move(bytes);
  return Error::None;
}

// ---- recovery records ----

Error GetRandomBytes(void* buffer, std::size_t length) {
  if (const Error error = fake::Failed(Call::GetRandomBytes); error != Error::None) {
    return error;
  }
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (std::size_t n = 0; n < length; ++n) {
    bytes[n] = static_cast<std::uint8_t>(++g_state.nameSeed * 131U);
  }
  return Error::None;
}

Error GetBirthTime(FileHandle file, std::uint64_t& time) {
  if (const Error error = fake::Failed(Call::GetBirthTime); error != Error::None) {
    return error;
  }
  const fake::Handle& open = *AsHandle(file);
  if (open.path.empty()) {
    return Error::NotSupported;
  }
  time = g_state.files[open.path].birth;
  return Error::None;
}

Error OpenEntryForData(FolderHandle folder, const char* name, bool /*writable*/, FileHandle& file) {
  return fake::OpenExisting(Call::OpenEntryForData, AsFolder(folder)->prefix + name, true, file);
}

}  // namespace platform
