// Replacing a destination file: the one place that decides how a file is rewritten,
// what a staged file is called, and which leftovers of killed runs are removed.
//
// Life cycle of a FileReplacement (the destination is never truncated first):
//
//   Begin(path)   Decides how the file at `path` (its links followed) is replaced:
//                 - staged: a new file beside it, created exclusively and held from
//                   its creation (locked; on Windows open without sharing), so no other
//                   run takes it for abandoned: unnamed where the system has such
//                   files, else named ".<name>.velmoran-<8 hex digits>"; it is given the
//                   old file's permission bits, owner and group (attributes on Windows).
//                 - overwrite: the destination itself, opened for writing without
//                   truncation, where a rename would change what the file is or cannot
//                   be made: the folder refuses new files, the file has more than one
//                   hard link, or the new file could not be given the old one's owner
//                   and group.
//                 Before staging, staged files of this destination left by a killed run
//                 are removed (see RemoveIfAbandoned in the .cpp).
//                 On failure (3): nothing was created and the destination is as it was.
//   Map / PartWritten, or the content passed to Commit
//                 Fills the new content. Staged, nothing visible changes; a failure
//                 leaves the destination as it was.
//   Commit        Writes what is not mapped yet, sets the length, flushes, and renames
//                 the staged file over the destination in one step (0). A rename that
//                 is refused (busy, across devices) removes the staged file and writes
//                 the content over the destination instead. A failed write or flush is
//                 6, a partial one 15; the staged file is removed and the destination
//                 keeps its old bytes. An overwrite that fails partway puts back what it
//                 had already written, using `restore`, when one is given (the
//                 destination is the source's file); otherwise it stays partly written.
//                 Whatever the status, the replacement has ended: Begin may start anew.
//   Abandon       (also on destruction) closes the new file and removes a staged one;
//                 an overwritten destination keeps what was written to it.
#pragma once

#include <cstdint>

#include "app/status.h"
#include "platform/heap_block.h"
#include "platform/platform.h"

// Puts a prefix of the written buffer back as it was before the cipher pass.
using RestoreOriginal = void (*)(std::uint8_t* data, std::uint32_t length);

class FileReplacement {
 public:
  FileReplacement() = default;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement() { Abandon(); }

  // `allowStaging` false goes straight to overwriting. Statuses: 0, 3.
  Status Begin(const char* path, bool allowStaging = true);

  // Whether the new content goes to a staged file (after a successful Begin).
  [[nodiscard]] bool Staged() const { return staged_; }

  // Whether the destination existed and is the file `id` names.
  [[nodiscard]] bool Replaces(const platform::FileId& id) const {
    return exists_ && existing_.id == id;
  }

  // The staged file's own pages, `length` bytes, reserved on storage; nullptr where
  // they cannot be mapped (the content then goes to Commit).
  std::uint8_t* Map(std::uint32_t length);

  // Says that a range of the mapping holds its final bytes, so storage can take it.
  void PartWritten(std::uint32_t offset, std::uint32_t length);

  // Puts `content` (the mapping itself when mapped) in place of the destination.
  // Statuses: 0, 3 (only when a refused rename finds the file gone), 6, 15.
  Status Commit(std::uint8_t* content, std::uint32_t length, RestoreOriginal restore);

  void Abandon();

 private:
  bool Locate(const char* path);
  Status BeginOverwrite();
  platform::Error CreateStaged();
  void RemoveAbandonedStagedFiles();
  void RemoveIfAbandoned(const char* entry);
  void MakeStagedName();
  Status WriteAll(const std::uint8_t* content, std::uint32_t length, std::uint32_t& written);
  Status Overwrite(std::uint8_t* content, std::uint32_t length, RestoreOriginal restore);
  Status CommitStaged(std::uint8_t* content, std::uint32_t length, RestoreOriginal restore);
  Status OverwriteInstead(std::uint8_t* content, std::uint32_t length, RestoreOriginal restore);
  void PutBackPermissions();
  bool CarryDescription();
  void CloseFile();

  [[nodiscard]] const char* FullPath() const { return located_.Text(); }
  [[nodiscard]] const char* Name() const { return located_.Text() + nameStart_; }

  const char* path_ = nullptr;
  HeapBlock located_;  // the path a write reaches, as the system spells it
  std::size_t nameStart_ = 0;
  bool exists_ = false;
  platform::FileInfo existing_;
  bool staged_ = false;
  platform::FolderHandle folder_ = platform::kInvalidFolder;
  platform::FileHandle file_ = platform::kInvalidFile;
  HeapBlock stagedName_;  // room for one staged name, and the staged file's own
  bool named_ = false;    // whether the staged file has that name yet
  HeapBlock scratch_;     // room for the destination's name, for the clean-up
  std::uint8_t* mapping_ = nullptr;
  std::uint32_t mappedLength_ = 0;
};
