// Replacing a destination file: the one place that decides how a file is rewritten,
// what a staged file is called, and which leftovers of killed runs are removed.
//
// Life cycle of a FileReplacement (the destination is never truncated first):
//
//   Begin(path)   Decides how the file at `path` (its links followed) is replaced:
//                 - staged: a new file beside it, created exclusively and held from
//                   its creation (locked; on Windows open without sharing), so no other
//                   run takes it for abandoned: unnamed where the system has such
//                   files, else named ".<name>.velmoran-<8 hex digits>" (<name> cut
//                   to whole ASCII characters where the whole would pass the system's
//                   name or path limit, no staged file where none fits); it is given the
//                   old file's permission bits, owner and group (on Windows its
//                   attributes, and its security descriptor from creation on), and is
//                   never readable by more users than the old file.
//                 - overwrite: the destination itself, opened for writing without
//                   truncation, where a rename would change what the file is or cannot
//                   be made: the folder refuses new files, or refuses to rename a
//                   named staged file while it is still empty, no staged name fits beside
//                   it within the system's limits, the file has more than one
//                   hard link, or the new file could not be given the old one's owner
//                   and group (its security descriptor on Windows).
//                 Before staging, staged files of this destination left by a killed run
//                 are removed (see RemoveIfAbandoned in the .cpp).
//                 Refused (3) for what the destination is: the key file's file, in place
//                 any file but the source's own, or a path that reaches another file than
//                 the one it spells out (a descriptor's link of a removed file).
//                 On failure (3): nothing was created and the destination is as it was.
//   WritePart     Writes the new content a part at a time, in order, through a reused
//                 buffer. Staged, nothing visible changes; a failure leaves the
//                 destination as it was. Overwriting, the destination changes at once:
//                 a run that fails from here on calls PutBack.
//   Commit        Sets the length, flushes, checks that the name still leads to the file
//                 Begin found (else 3, nothing touched), and renames the staged file over
//                 the destination in one step (0). A rename that is refused (busy, across
//                 devices) copies the staged content over the destination instead and
//                 removes the staged file. A failed write or flush is 6, a partial one
//                 15; the staged file is removed and the destination keeps its old
//                 bytes. An overwrite that fails partway puts back what it had already
//                 written, using `restore`, when one is given (the destination is the
//                 source's file): the written range is read back and transformed again.
//                 Otherwise it stays partly written.
//                 Whatever the status, the replacement has ended: Begin may start anew.
//   Abandon       (also on destruction) closes the new file and removes a staged one;
//                 an overwritten destination keeps what was written to it.
#pragma once

#include <cstdint>

#include "app/recovery_record.h"
#include "app/status.h"
#include "app/written_units.h"
#include "platform/heap_block.h"
#include "platform/platform.h"

// The run's own files, by identity, which a replacement keeps apart from its destination.
struct RunFiles {
  bool inPlace = false;  // the destination must be the source's own file
  platform::FileId source;
  bool keyFile = false;  // whether a key file was read
  platform::FileId key;
};

// Keeps other runs off the file to be replaced, from before it is read until its new
// content is in place: an exclusive lock, taken without waiting, on the file a path
// leads to, held until destruction. Where the system has no such lock, none is held.
class RunLock {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock() { Release(); }

  // 0, also when there is no file that can be locked; `refused` when another run holds
  // the file, or the name keeps leading to another file than the one locked (replaced
  // meanwhile).
  Status Take(const char* path, Status refused);

  // Whether `file` is the locked file (or nothing is locked, or it cannot be told).
  [[nodiscard]] bool Covers(platform::FileHandle file) const;

  void Release();

 private:
  platform::FileHandle lock_ = platform::kInvalidFile;
  platform::FileId id_;
};

// Turns written bytes, which start at byte `position` of the file, back into the
// original ones (the ciphers are their own inverse).
using RestoreOriginal = void (*)(std::uint8_t* data, std::uint32_t length, std::uint32_t position);

class FileReplacement {
 public:
  FileReplacement() = default;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement() { Abandon(); }

  // `allowStaging` false goes straight to overwriting. Statuses: 0, 3.
  Status Begin(const char* path, bool allowStaging = true);

  // Says which files the run has read (before Begin). A destination that is the key
  // file's file is refused; without this call no leftovers are removed.
  void KeepApart(const RunFiles& files) {
    runFiles_ = files;
    runFilesKnown_ = true;
  }

  // Says which job the new content comes from (before Begin). Where the destination is
  // the source's own file and is overwritten in place, a recovery record is kept beside
  // it while it is rewritten (none where none can be made there), and a record found
  // there is acted on: by this same job it is finished (Begin resumes it: 5 where it
  // cannot be, 19 for another cipher or key), by any other run refused (3).
  void DescribeJob(const RecordedJob& job) {
    job_ = job;
    jobKnown_ = true;
  }

  // Whether Begin found an unfinished overwrite of this job and finished its stretch in
  // flight: the new content is then to be written from ResumesAt() on only.
  [[nodiscard]] bool Recovering() const { return recovering_; }
  [[nodiscard]] std::uint32_t ResumesAt() const { return resumesAt_; }

  // 0, or `refused` where the file at `path` has a record beside it that still applies
  // (a stale one is removed).
  Status RefuseIfRecorded(const char* path, Status refused);

  // Whether the new content goes to a staged file (after a successful Begin).
  [[nodiscard]] bool Staged() const { return staged_; }

  // Whether the destination existed and is the file `id` names.
  [[nodiscard]] bool Replaces(const platform::FileId& id) const {
    return exists_ && existing_.id == id;
  }

  // Lends the job's part buffer for what must be read back: the staged content when a
  // refused rename falls back to overwriting, the written range when it is put back.
  void LendBuffer(std::uint8_t* buffer, std::uint32_t size) {
    buffer_ = buffer;
    bufferSize_ = size;
  }

  // Reads `length` bytes at `offset` of the file being written: on the overwrite path
  // the destination itself, which is how the source's own file is read while it is
  // rewritten. Statuses: 0, 5 (fewer bytes: the file shrank), and where the call fails
  // 3 (nothing written yet) or 15.
  Status ReadBack(std::uint32_t offset, std::uint8_t* buffer, std::uint32_t length);

  // Whether the file being written ends at `length`: nothing follows it.
  [[nodiscard]] bool EndsAt(std::uint32_t length);

  // Writes `length` bytes of new content at `offset`, just after the previous part.
  // Statuses: 0, 6 (nothing written yet), 15 (partway), 5 (under a recovery record,
  // the file turned out shorter than it was read).
  Status WritePart(const std::uint8_t* part, std::uint32_t offset, std::uint32_t length);

  // Where the destination is being overwritten and `restore` is given, turns what was
  // written back into the original bytes, as far as it can; otherwise nothing.
  void PutBack(RestoreOriginal restore);

  // Puts the `length` bytes written in place of the destination.
  // Statuses: 0, 3 (the destination's name leads to another file than Begin found, or a
  // refused rename finds the file gone), 5, 6, 15.
  Status Commit(std::uint32_t length, RestoreOriginal restore);

  void Abandon();

 private:
  bool Locate(const char* path);
  [[nodiscard]] bool IsRunFile(const platform::FileId& id) const;
  [[nodiscard]] bool RefusedByIdentity() const;
  [[nodiscard]] bool ReachesAnotherFile(const char* path, platform::Error inspected) const;
  [[nodiscard]] bool NameStillLeadsToDestination() const;
  Status BeginOverwrite();
  platform::Error CreateStaged();
  platform::Error CreateStagedFileNamed(const char* name);
  bool StagedFileMoves();
  void RemoveAbandonedStagedFiles();
  void RemoveIfAbandoned(const char* entry);
  void MakeStagedName();
  bool FitStagedName();
  Status Overwrite(std::uint32_t length, RestoreOriginal restore);
  Status CommitStaged(std::uint32_t length, RestoreOriginal restore);
  Status CopyStagedOver(std::uint32_t length, RestoreOriginal restore);
  void PutBackPermissions();
  void SendToDisk();
  bool PutBackPart(std::uint32_t offset, std::uint32_t length);
  Status WriteBytes(const std::uint8_t* part, std::uint32_t offset, std::uint32_t length,
                    bool fresh);
  void PutBackUnits(RestoreOriginal restore);
  bool CarryDescription();
  void CloseFile();
  [[nodiscard]] bool OwnFile() const;
  bool MakeRecordName(HeapBlock& name);
  Status LookForRecord();
  RecoveryRecord::Finding FindRecord(const char* name);
  void MakeRecord();

  [[nodiscard]] const char* FullPath() const { return located_.Text(); }
  [[nodiscard]] const char* Name() const { return located_.Text() + nameStart_; }

  const char* path_ = nullptr;
  HeapBlock located_;  // the path a write reaches, as the system spells it
  std::size_t nameStart_ = 0;
  platform::FileInfo existing_;
  platform::FolderHandle folder_ = platform::kInvalidFolder;
  platform::FileHandle file_ = platform::kInvalidFile;
  HeapBlock stagedName_;            // room for one staged name, and the staged file's own
  std::size_t keptName_ = 0;        // how much of the destination's name a staged name carries
  HeapBlock scratch_;               // room for the destination's name, for the clean-up
  std::uint8_t* buffer_ = nullptr;  // lent by the job
  std::uint32_t bufferSize_ = 0;
  std::uint32_t written_ = 0;     // how far the new content may have reached the file
  std::uint32_t sentToDisk_ = 0;  // where write-back was last asked for
  WrittenUnits units_;            // what this run wrote over the source's own file
  RunFiles runFiles_;
  RecoveryRecord record_;
  RecordedJob job_;
  std::uint32_t resumesAt_ = 0;
  bool jobKnown_ = false;
  bool recovering_ = false;
  bool entriesStay_ = false;  // the folder was found to keep every entry (append-only)
  bool unitsCovered_ = false;
  bool changedUnderRun_ = false;  // the file was found shorter or longer than it was read
  bool exists_ = false;
  bool staged_ = false;
  bool named_ = false;  // whether the staged file has its staged name yet
  bool runFilesKnown_ = false;
};
