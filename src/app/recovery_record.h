// The recovery record of an overwrite in place: a small file beside the file being
// rewritten, which tells at every moment which stretches hold new bytes and which old,
// so that a run killed partway (or whose put-back failed) can be finished by the same
// command. It never holds file content, old or new, nor the key.
//
// Format (all numbers little-endian), two slots of SlotBytes(length) each, written in
// turn; the valid slot with the higher sequence number holds:
//   0  8 magic "VLMRREC" + version byte 1     56 16 salt (random, per record)
//   8  4 sequence                               72 32 key fingerprint (slow hash of salt+key)
//  12  4 cipher (0 complement-add, 1 XOR)      104  8 sum over the done range: each 512-byte
//  16  4 mode bits to restore                          unit's hash mixed with its index
//  20  4 file length                           112  8 the same sum over the flight's new bytes
//  24  8 volume / device   32 8 file index     120  per unit of the flight: check of its
//  40  8 birth time (0 where none)                  old bytes (4), check of its new bytes (4)
//  48  4 done: [0, done) holds new bytes, flushed     then a checksum (8) of all before it
//  52  4 flight end: [done, flight end) may hold old, new, or a unit cut between them
// Beyond the flight the file holds old bytes.
#pragma once

#include <cstdint>

#include "app/status.h"
#include "platform/heap_block.h"
#include "platform/platform.h"

// What a record must know of the job: which cipher and key, and how to turn a stretch
// of old bytes at a place in the file into new ones (and back: the ciphers are their
// own inverse).
struct RecordedJob {
  const std::uint8_t* key = nullptr;
  void (*transform)(std::uint8_t* data, std::uint32_t length, std::uint32_t position) = nullptr;
  std::uint32_t keyLength = 0;
  std::uint32_t cipher = 0;
  std::uint32_t length = 0;  // the file's length as it was read
  bool inPlace = false;      // the destination is the source's own file by construction
};

// A check of a piece of at most 512 bytes that lies at piece `index` of a file: where
// it lies counts, so that pieces cannot trade places.
std::uint32_t PieceCheck(const std::uint8_t* data, std::uint32_t length, std::uint32_t index);

class RecoveryRecord {
 public:
  enum class Finding {
    None,     // no record (or a stale or torn one, now removed)
    Applies,  // a record of this very file
    Unknown,  // a record that cannot be read or checked: the file is kept from every run
  };

  RecoveryRecord() = default;
  RecoveryRecord(const RecoveryRecord&) = delete;
  RecoveryRecord& operator=(const RecoveryRecord&) = delete;
  ~RecoveryRecord() { Close(); }

  // Looks for the record `name` in the folder text[0, folderLength) of the file at
  // `path`. A record of another file, another length, or one torn before it was ever
  // whole, is removed (unless `keepOthers`: it may be another file's). After Applies the
  // record stays open, to be resumed.
  Finding Find(const char* text, std::size_t folderLength, const char* name, const char* path,
               bool keepOthers = false);

  // Whether the found record was made with this cipher and key.
  [[nodiscard]] bool SameJob(const RecordedJob& job) const;

  // The mode bits the file had before the interrupted run.
  [[nodiscard]] std::uint32_t Mode() const { return mode_; }

  // Checks the found record against the bytes of `file` (opened for reading and
  // writing) and finishes its flight: every unit there made new, flushed, recorded done.
  // 0: done up to FlightEnd(); `stale` (record removed, nothing written) where the
  // done range does not hold what was recorded; 5 where a unit fits neither its old
  // nor its new bytes at any cut (record kept, nothing written); 6 or 15.
  Status Resume(platform::FileHandle file, const RecordedJob& job, bool& stale);

  // Makes a new record for the open `file` (nothing done yet), made and flushed with its
  // folder; false where none can be made, and then none is kept.
  bool Create(const char* text, std::size_t folderLength, const char* name,
              platform::FileHandle file, const platform::FileInfo& info, const RecordedJob& job);

  [[nodiscard]] bool Active() const { return record_ != platform::kInvalidFile; }
  [[nodiscard]] std::uint32_t FlightEnd() const { return flightEnd_; }

  // At the end of the flight (`at` == FlightEnd()): flushes the file, records the flight
  // as done and the next stretch as in flight, and flushes the record. 0; 5 where the
  // file turned out shorter (it shrank); 6 where a write or flush failed.
  Status Advance(platform::FileHandle file, std::uint32_t at);

  // Turns everything written so far (up to `written`) back into old bytes, the stretch
  // in flight first, then each earlier stretch, the record following each step. True
  // when the whole file holds its old bytes again and the record is gone; false keeps
  // a record that tells where the file stands.
  bool PutBack(platform::FileHandle file, std::uint32_t written);

  // The file is complete and flushed: the record goes.
  void Finish();

  // Closes the record, keeping it where it lies.
  void Close();

 private:
  bool OpenFolderOf(const char* text, std::size_t folderLength, const char* name);
  bool Allocate(std::uint32_t length);
  bool ReadSlots();
  bool AdvanceTo(platform::FileHandle file, std::uint32_t at);
  void GiveUp(platform::FileHandle file);
  bool ReadSlot(std::uint32_t slot);
  bool ParseSlot(std::uint32_t& sequence);
  bool WriteSlot();
  bool PrepareFlight(platform::FileHandle file, std::uint32_t start, std::uint32_t end,
                     bool diskIsNew, std::uint8_t* checks, std::uint64_t& newSum);
  bool ReadRange(platform::FileHandle file, std::uint32_t offset, std::uint32_t length);
  bool WriteRange(platform::FileHandle file, std::uint32_t offset, std::uint32_t length);
  bool FixUnit(std::uint8_t* unit, std::uint32_t length, std::uint32_t position,
               std::uint32_t index) const;
  bool RevertRange(platform::FileHandle file, std::uint32_t start, std::uint32_t end);
  void Remove();
  bool RemoveEntry();

  RecordedJob job_;
  platform::FolderHandle folder_ = platform::kInvalidFolder;
  platform::FileHandle record_ = platform::kInvalidFile;
  HeapBlock name_;
  HeapBlock slot_;     // one slot: header, unit checks, checksum
  HeapBlock spare_;    // the next flight's slot, made while the last one is flushed
  HeapBlock scratch_;  // file bytes being checked or turned
  std::uint32_t batch_ = 0;
  std::uint32_t slotBytes_ = 0;
  std::uint32_t sequence_ = 0;
  std::uint32_t cipher_ = 0;
  std::uint32_t mode_ = 0;
  std::uint32_t length_ = 0;
  platform::FileId id_;
  std::uint64_t birth_ = 0;
  std::uint32_t done_ = 0;
  std::uint32_t flightEnd_ = 0;
  std::uint8_t salt_[16] = {};
  std::uint8_t fingerprint_[32] = {};
  std::uint64_t doneSum_ = 0;
  std::uint64_t flightSum_ = 0;
  bool shrank_ = false;  // the last read met the file's end
};
