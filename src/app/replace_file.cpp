#include "app/replace_file.h"

#include <cstdio>
#include <cstring>

namespace {

// Staged names: "." + the destination's name + ".velmoran-" + 8 lower-case hex digits.
constexpr char kStagedMarker[] = ".velmoran-";
constexpr std::size_t kMarkerLength = sizeof kStagedMarker - 1;
constexpr std::size_t kStagedDigits = 8;
constexpr std::size_t kStagedExtra = 1 + kMarkerLength + kStagedDigits;

// How many fresh names a staged file tries before giving up.
constexpr int kNameAttempts = 100;

// How often an overwrite that failed tries to put the old bytes back.
constexpr int kPutBackAttempts = 3;

// Room for a path before the system says how much it needs.
constexpr std::size_t kFirstPathCapacity = 256;

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Whether `entry` is a staged name for the destination `name`, the name inside it
// compared the file system's way; `copy` has room for `nameLength` + 1 bytes.
bool StagedNameMatches(const char* entry, const char* name, std::size_t nameLength, char* copy) {
  if (std::strlen(entry) != kStagedExtra + nameLength || entry[0] != '.') {
    return false;
  }
  const char* marker = entry + 1 + nameLength;
  if (std::memcmp(marker, kStagedMarker, kMarkerLength) != 0) {
    return false;
  }
  for (std::size_t i = 0; i < kStagedDigits; ++i) {
    if (!IsLowerHex(marker[kMarkerLength + i])) {
      return false;
    }
  }
  std::memcpy(copy, entry + 1, nameLength);
  copy[nameLength] = '\0';
  return platform::SameName(copy, name);
}

}  // namespace

bool FileReplacement::Locate(const char* path) {
  std::size_t capacity = kFirstPathCapacity;
  for (int attempt = 0; attempt < 2; ++attempt) {
    located_ = HeapBlock::Allocate(capacity);
    if (!located_) {
      return false;
    }
    std::size_t length = 0;
    if (platform::LocatePath(path, located_.Text(), capacity, length, nameStart_) !=
        platform::Error::None) {
      return false;
    }
    if (length < capacity) {
      return true;
    }
    capacity = length + 1;
  }
  return false;
}

Status FileReplacement::Begin(const char* path, bool allowStaging) {
  Abandon();
  path_ = path;
  // A path whose last part names nothing (a folder's, a device's) is no file to replace.
  if (!Locate(path) || *Name() == '\0') {
    return kStatusDestinationCreate;
  }
  const platform::Error inspected = platform::InspectFile(FullPath(), existing_);
  exists_ = inspected == platform::Error::None;
  if (!exists_ && inspected != platform::Error::NotFound) {
    return kStatusDestinationCreate;  // not writable now, or nothing to be learnt about it
  }
  // Only ever a regular file, and never one that is read-only.
  if (exists_ && (!existing_.regular || existing_.readOnly)) {
    return kStatusDestinationCreate;
  }
  // Every name of a hard-linked file must see the new bytes.
  if (exists_ && (!allowStaging || existing_.links > 1)) {
    return BeginOverwrite();
  }
  if (platform::OpenFolder(FullPath(), nameStart_, folder_) != platform::Error::None) {
    return kStatusDestinationCreate;
  }
  const std::size_t nameLength = std::strlen(Name());
  stagedName_ = HeapBlock::Allocate(nameLength + kStagedExtra + 1);
  scratch_ = HeapBlock::Allocate(nameLength + 1);
  if (!stagedName_ || !scratch_) {
    Abandon();
    return kStatusDestinationCreate;
  }
  RemoveAbandonedStagedFiles();
  const platform::Error created = CreateStaged();
  if (created != platform::Error::None) {
    Abandon();
    // Only a folder that refuses new files sends an existing file down the overwrite
    // path; a read-only file system or a full disk is a plain failure.
    return (created == platform::Error::AccessDenied && exists_) ? BeginOverwrite()
                                                                 : kStatusDestinationCreate;
  }
  staged_ = true;
  if (!CarryDescription()) {
    Abandon();
    return exists_ ? BeginOverwrite() : kStatusDestinationCreate;
  }
  return kStatusSuccess;
}

// Everything that describes the old file, the permission bits last, or a new file's
// defaults; false where the new file did not keep all of it.
bool FileReplacement::CarryDescription() {
  if (!exists_) {
    return platform::CarryMetadata(file_, nullptr) == platform::Error::None;
  }
  return platform::CarryAttributes(file_, FullPath()) == platform::Error::None &&
         platform::CarryMetadata(file_, &existing_) == platform::Error::None;
}

Status FileReplacement::BeginOverwrite() {
  if (platform::OpenForOverwrite(FullPath(), file_) != platform::Error::None) {
    file_ = platform::kInvalidFile;
    return kStatusDestinationCreate;
  }
  staged_ = false;
  return kStatusSuccess;
}

void FileReplacement::MakeStagedName() {
  static std::uint32_t counter = 0;
  const std::uint32_t mix = platform::GetNameSeed() ^ (++counter * 2654435761U);
  std::snprintf(stagedName_.Text(), stagedName_.Size(), ".%s%s%08lx", Name(), kStagedMarker,
                static_cast<unsigned long>(mix));
}

// An unnamed file where the system has them, else a fresh name made exclusively.
platform::Error FileReplacement::CreateStaged() {
  const platform::Error unnamed = platform::CreateStagedFile(folder_, nullptr, file_);
  if (unnamed != platform::Error::NotSupported) {
    return unnamed;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    MakeStagedName();
    const platform::Error created = platform::CreateStagedFile(folder_, stagedName_.Text(), file_);
    if (created == platform::Error::None) {
      named_ = true;
      return created;
    }
    if (created != platform::Error::Exists) {
      return created;
    }
  }
  return platform::Error::Exists;
}

void FileReplacement::RemoveAbandonedStagedFiles() {
  platform::ListFolder(
      folder_,
      [](const char* entry, void* context) {
        auto* self = static_cast<FileReplacement*>(context);
        const char* name = self->Name();
        if (StagedNameMatches(entry, name, std::strlen(name), self->scratch_.Text())) {
          self->RemoveIfAbandoned(entry);
        }
      },
      this);
}

// A run holds its staged file (locked, or open without sharing) from before it has a
// name until it is gone, so a staged name that can be taken was left by a run that was
// killed between naming its file and renaming it. Only such a name, of this user's own
// regular file with no other name, is removed, and only while it is held here: a link
// is never followed and anything else stays as it is.
void FileReplacement::RemoveIfAbandoned(const char* entry) {
  platform::FileHandle candidate = platform::kInvalidFile;
  if (platform::OpenEntry(folder_, entry, candidate) != platform::Error::None) {
    return;
  }
  platform::FileInfo held;
  platform::FileInfo named;
  if (platform::GetFileInfo(candidate, held) == platform::Error::None && held.regular &&
      held.ownedByUser && held.links == 1 &&
      platform::TryLock(candidate) == platform::Error::None &&
      platform::InspectEntry(folder_, entry, named) == platform::Error::None &&
      named.id == held.id) {
    platform::RemoveEntry(folder_, entry);
  }
  platform::CloseFile(candidate);
}

std::uint8_t* FileReplacement::Map(std::uint32_t length) {
  if (!staged_ || mapping_ != nullptr || length == 0) {
    return nullptr;
  }
  std::uint8_t* bytes = nullptr;
  if (platform::MapFile(file_, length, bytes) != platform::Error::None) {
    return nullptr;
  }
  mapping_ = bytes;
  mappedLength_ = length;
  return mapping_;
}

void FileReplacement::PartWritten(std::uint32_t offset, std::uint32_t length) {
  if (mapping_ != nullptr) {
    platform::StartWriteBack(file_, offset, length);
  }
}

// Writes the whole content from offset 0. `written` tells how far it got: a failure
// with nothing moved is a failed write (6), one partway a short write (15).
Status FileReplacement::WriteAll(const std::uint8_t* content, std::uint32_t length,
                                 std::uint32_t& written) {
  written = 0;
  while (written < length) {
    const std::uint32_t left = length - written;
    const std::uint32_t ask = left < platform::kMaxTransfer ? left : platform::kMaxTransfer;
    std::uint32_t moved = 0;
    if (platform::WriteAt(file_, written, content + written, ask, moved) != platform::Error::None ||
        moved > ask) {
      return written == 0 ? kStatusWrite : kStatusShortWrite;
    }
    if (moved == 0) {
      return kStatusShortWrite;
    }
    written += moved;
  }
  return kStatusSuccess;
}

Status FileReplacement::Commit(std::uint8_t* content, std::uint32_t length,
                               RestoreOriginal restore) {
  const Status status =
      staged_ ? CommitStaged(content, length, restore) : Overwrite(content, length, restore);
  Abandon();
  return status;
}

Status FileReplacement::CommitStaged(std::uint8_t* content, std::uint32_t length,
                                     RestoreOriginal restore) {
  if (mapping_ == nullptr) {
    std::uint32_t written = 0;
    const Status status = WriteAll(content, length, written);
    if (status != kStatusSuccess) {
      return status;
    }
  }
  if (platform::SetFileLength(file_, length) != platform::Error::None) {
    return kStatusWrite;
  }
  // Set-id bits go with the last write: they are given again now, and where the file
  // no longer keeps everything the old one had, the old file is overwritten instead.
  if (exists_ && !CarryDescription()) {
    return OverwriteInstead(content, length, restore);
  }
  if (platform::FlushFile(file_) != platform::Error::None) {
    return kStatusWrite;
  }
  // An unnamed file needs a name of its own before it can be renamed into place. A
  // taken name (whatever holds it, a planted link included) is passed over, never
  // followed or replaced.
  for (int attempt = 1; !named_; ++attempt) {
    MakeStagedName();
    const platform::Error named = platform::NameStagedFile(file_, folder_, stagedName_.Text());
    if (named == platform::Error::None) {
      named_ = true;
    } else if (named != platform::Error::Exists || attempt == kNameAttempts) {
      return kStatusWrite;
    }
  }
  const platform::Error renamed = platform::RenameOver(file_, folder_, stagedName_.Text(), Name());
  if (renamed == platform::Error::None) {
    named_ = false;                  // the name is the destination's now
    platform::FlushFolder(folder_);  // the rename itself must survive a crash too
    return kStatusSuccess;
  }
  if (renamed != platform::Error::Busy && renamed != platform::Error::CrossDevice) {
    return kStatusWrite;
  }
  // The rename is impossible here (a file bind-mounted into a container, one held open
  // on Windows).
  return OverwriteInstead(content, length, restore);
}

// The staged file goes, and the content, still in memory or mapped, is written over
// the destination itself.
Status FileReplacement::OverwriteInstead(std::uint8_t* content, std::uint32_t length,
                                         RestoreOriginal restore) {
  CloseFile();
  FileReplacement overwrite;
  const Status opened = overwrite.Begin(path_, false);
  return opened != kStatusSuccess ? opened : overwrite.Commit(content, length, restore);
}

// A write clears set-id bits; the file's own owner gets them back, where the system
// lets anyone.
void FileReplacement::PutBackPermissions() {
  if (exists_) {
    platform::CarryMetadata(file_, &existing_);
  }
}

Status FileReplacement::Overwrite(std::uint8_t* content, std::uint32_t length,
                                  RestoreOriginal restore) {
  std::uint32_t written = 0;
  Status status = WriteAll(content, length, written);
  if (status == kStatusSuccess) {
    if (platform::SetFileLength(file_, length) == platform::Error::None) {
      PutBackPermissions();
      if (platform::FlushFile(file_) == platform::Error::None) {
        return kStatusSuccess;
      }
    }
    status = kStatusWrite;
  }
  if (restore != nullptr && written > 0) {
    // Put the original bytes back where new ones already landed, so the file ends as
    // it began.
    restore(content, written);
    // On a copy-on-write file system every overwrite needs new space until what was
    // written is flushed: a put-back that fails is tried again after a flush.
    std::uint32_t rewritten = 0;
    Status putBack = WriteAll(content, written, rewritten);
    for (int attempt = 1; putBack != kStatusSuccess && attempt < kPutBackAttempts; ++attempt) {
      platform::FlushFile(file_);
      putBack = WriteAll(content, written, rewritten);
    }
    if (putBack == kStatusSuccess &&
        platform::SetFileLength(file_, length) == platform::Error::None) {
      PutBackPermissions();
      platform::FlushFile(file_);
    }
  }
  return status;
}

// Closes the new file first: on Windows a file open without sharing cannot be removed.
void FileReplacement::CloseFile() {
  platform::CloseFile(file_);
  file_ = platform::kInvalidFile;
  if (named_) {
    platform::RemoveEntry(folder_, stagedName_.Text());
    named_ = false;
  }
}

void FileReplacement::Abandon() {
  CloseFile();
  if (mapping_ != nullptr) {
    platform::UnmapFile(mapping_, mappedLength_);
    mapping_ = nullptr;
    mappedLength_ = 0;
  }
  platform::CloseFolder(folder_);
  folder_ = platform::kInvalidFolder;
  staged_ = false;
  stagedName_.Release();
  scratch_.Release();
}
