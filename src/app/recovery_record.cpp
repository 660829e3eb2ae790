#include "app/recovery_record.h"

#include <cstring>
#include <utility>

#include "app/retrying_write.h"

namespace {

constexpr std::uint8_t kMagic[8] = {'V', 'L', 'M', 'R', 'R', 'E', 'C', 1};
constexpr std::uint32_t kUnitBytes = 512;
constexpr std::uint32_t kHeaderBytes = 120;
constexpr std::uint32_t kChecksumBytes = 8;
// A stretch in flight is an eighth of the file, in whole units, at most 16 MiB: few
// record updates and flushes for a large file, several stretches for a small one.
constexpr std::uint32_t kLargestBatch = 64U << 20;
constexpr std::uint32_t kScratchBytes = 64U << 10;  // a multiple of the unit
// Rounds of the key fingerprint's stretching: slow to guess keys against, yet a small
// part of a run.
constexpr std::uint32_t kStretchRounds = 1U << 20;

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;

std::uint64_t Rotate(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

std::uint64_t Load64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int n = 7; n >= 0; --n) {
    value = (value << 8) | bytes[n];
  }
  return value;
}

// Eight bytes as the processor holds them: only ever compared on the machine that
// made them (both builds are little-endian), so one load, not eight.
std::uint64_t Word(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
  return Rotate(lane + word * kPrime2, 31) * kPrime1;
}

void Store64(std::uint8_t* bytes, std::uint64_t value) {
  for (int n = 0; n < 8; ++n) {
    bytes[n] = static_cast<std::uint8_t>(value >> (8 * n));
  }
}

std::uint32_t Load32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void Store32(std::uint8_t* bytes, std::uint32_t value) {
  for (int n = 0; n < 4; ++n) {
    bytes[n] = static_cast<std::uint8_t>(value >> (8 * n));
  }
}

std::uint64_t Avalanche(std::uint64_t hash) {
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  return hash;
}

// A fast 64-bit hash: four independent lanes of eight bytes, so it keeps up with the disk.
std::uint64_t HashBytes(const std::uint8_t* data, std::uint32_t length, std::uint64_t seed) {
  std::uint64_t lane0 = seed + kPrime1 + kPrime2;
  std::uint64_t lane1 = seed + kPrime2;
  std::uint64_t lane2 = seed;
  std::uint64_t lane3 = seed - kPrime1;
  std::uint32_t n = 0;
  for (; n + 32 <= length; n += 32) {
    lane0 = Round(lane0, Word(data + n));
    lane1 = Round(lane1, Word(data + n + 8));
    lane2 = Round(lane2, Word(data + n + 16));
    lane3 = Round(lane3, Word(data + n + 24));
  }
  std::uint64_t hash =
      Rotate(lane0, 1) + Rotate(lane1, 7) + Rotate(lane2, 12) + Rotate(lane3, 18) + length;
  for (; n < length; ++n) {
    hash = Rotate(hash ^ (data[n] * kPrime3), 11) * kPrime1;
  }
  return Avalanche(hash);
}

// A unit's share of a range's sum: where it lies counts, so units cannot trade places.
std::uint64_t UnitShare(std::uint64_t hash, std::uint32_t index) {
  return Avalanche(hash ^ (index * kPrime3 + kPrime1));
}

std::uint32_t Check(std::uint64_t hash) { return static_cast<std::uint32_t>(hash); }

// The key's fingerprint: the key hashed with the salt, then stretched through a long
// chain of dependent rounds, so that each guess of a key costs as much.
void Fingerprint(const std::uint8_t* salt, const std::uint8_t* key, std::uint32_t keyLength,
                 std::uint8_t* out) {
  std::uint64_t state[4];
  for (int i = 0; i < 4; ++i) {
    state[i] = HashBytes(key, keyLength,
                         Load64(salt + std::size_t{8} * static_cast<std::size_t>(i & 1)) +
                             kPrime3 * static_cast<std::uint64_t>(i + 1));
  }
  for (std::uint32_t round = 0; round < kStretchRounds; ++round) {
    const std::uint32_t i = round & 3U;
    state[i] = Rotate((state[i] ^ state[(i + 1) & 3U]) * kPrime1 + round, 29) * kPrime2;
    state[i] ^= state[(i + 3) & 3U] >> 31;
  }
  for (int i = 0; i < 4; ++i) {
    Store64(out + std::size_t{8} * static_cast<std::size_t>(i),
            Avalanche(state[i] ^ state[(i + 2) & 3]));
  }
}

std::uint32_t BatchFor(std::uint32_t length) {
  const std::uint32_t eighth = length / 8;
  std::uint32_t batch = (eighth + kUnitBytes - 1) / kUnitBytes * kUnitBytes;
  if (batch < kUnitBytes) {
    batch = kUnitBytes;
  }
  return batch < kLargestBatch ? batch : kLargestBatch;
}

std::uint32_t UnitsIn(std::uint32_t start, std::uint32_t end) {
  return (end - start + kUnitBytes - 1) / kUnitBytes;
}

}  // namespace

std::uint32_t PieceCheck(const std::uint8_t* data, std::uint32_t length, std::uint32_t index) {
  return Check(UnitShare(HashBytes(data, length, 0), index));
}

bool RecoveryRecord::OpenFolderOf(const char* text, std::size_t folderLength, const char* name) {
  Close();
  const std::size_t nameLength = std::strlen(name);
  name_ = HeapBlock::Allocate(nameLength + 1);
  if (!name_ || platform::OpenFolder(text, folderLength, folder_) != platform::Error::None) {
    folder_ = platform::kInvalidFolder;
    return false;
  }
  std::memcpy(name_.Text(), name, nameLength + 1);
  return true;
}

bool RecoveryRecord::Allocate(std::uint32_t length) {
  length_ = length;
  batch_ = BatchFor(length);
  slotBytes_ = kHeaderBytes + batch_ / kUnitBytes * 8 + kChecksumBytes;
  slot_ = HeapBlock::Allocate(slotBytes_);
  spare_ = HeapBlock::Allocate(slotBytes_);
  scratch_ = HeapBlock::Allocate(kScratchBytes);
  return slot_ && spare_ && scratch_;
}

RecoveryRecord::Finding RecoveryRecord::Find(const char* text, std::size_t folderLength,
                                             const char* name, const char* path, bool keepOthers) {
  if (!OpenFolderOf(text, folderLength, name)) {
    return Finding::None;  // no folder to hold a record, so none in it
  }
  const platform::Error opened = platform::OpenEntryForData(folder_, name, true, record_);
  if (opened != platform::Error::None) {
    // Only a record that is there and cannot be read keeps the file from every run.
    platform::FileInfo entry;
    const bool absent = opened == platform::Error::NotFound ||
                        platform::InspectEntry(folder_, name, entry) == platform::Error::NotFound;
    record_ = platform::kInvalidFile;
    Close();
    return absent ? Finding::None : Finding::Unknown;
  }
  // An empty record was cut off before its first slot, so before a byte of any file
  // was written: it is of nothing, and needs no look at the file to be dropped.
  std::uint64_t recorded = 0;
  if (platform::GetFileSize(record_, recorded) == platform::Error::None && recorded == 0) {
    if (keepOthers) {
      Close();
    } else {
      Remove();
    }
    return Finding::None;
  }
  // What the file is now, to tell whether the record is of it.
  platform::FileHandle file = platform::kInvalidFile;
  if (platform::OpenForReading(path, file) != platform::Error::None) {
    Close();
    return Finding::Unknown;
  }
  platform::FileInfo info;
  std::uint64_t size = 0;
  std::uint64_t birth = 0;
  const platform::Error born = platform::GetBirthTime(file, birth);
  const bool known = platform::GetFileInfo(file, info) == platform::Error::None &&
                     platform::GetFileSize(file, size) == platform::Error::None &&
                     (born == platform::Error::None || born == platform::Error::NotSupported);
  platform::CloseFile(file);
  if (!known || size > 0xFFFFFFFFULL || !Allocate(static_cast<std::uint32_t>(size))) {
    Close();
    return Finding::Unknown;
  }
  if (!ReadSlots()) {
    Close();
    return Finding::Unknown;
  }
  // A record of a finished job (one whose removal failed) no longer applies either.
  const bool whole = slot_.Bytes()[0] != 0 && done_ < length_;
  const bool same = whole && id_ == info.id &&
                    birth_ == (born == platform::Error::None ? birth : 0) && length_ == size;
  if (!same) {
    // Torn before it was ever whole (not a byte of the file was written), or of a file
    // that is gone or was changed since: removed, unless it may be another file's.
    if (keepOthers) {
      Close();
    } else {
      Remove();
    }
    return Finding::None;
  }
  return Finding::Applies;
}

bool RecoveryRecord::ReadSlot(std::uint32_t slot) {
  std::uint8_t* bytes = slot_.Bytes();
  std::memset(bytes, 0, slotBytes_);
  for (std::uint32_t done = 0; done < slotBytes_;) {
    std::uint32_t moved = 0;
    if (platform::ReadAt(record_, std::uint64_t{slot} * slotBytes_ + done, bytes + done,
                         slotBytes_ - done, moved) != platform::Error::None) {
      return false;
    }
    if (moved == 0) {
      break;  // a slot never written, or cut short
    }
    done += moved;
  }
  return true;
}

// Parses both slots and keeps the newer valid one in slot_; a slot_ starting with 0
// means neither is valid. False only where the record cannot be read.
bool RecoveryRecord::ReadSlots() {
  std::uint32_t best = 2;
  std::uint32_t bestSequence = 0;
  for (std::uint32_t slot = 0; slot < 2; ++slot) {
    std::uint32_t sequence = 0;
    if (!ReadSlot(slot)) {
      return false;
    }
    if (ParseSlot(sequence) && (best == 2 || sequence - bestSequence < 0x80000000U)) {
      best = slot;
      bestSequence = sequence;
    }
  }
  if (best == 2) {
    slot_.Bytes()[0] = 0;
    return true;
  }
  std::uint32_t sequence = 0;
  if (best == 0 && (!ReadSlot(0) || !ParseSlot(sequence))) {
    return false;  // the buffer held the other slot, and this one changed meanwhile
  }
  sequence_ = bestSequence;
  return true;
}

bool RecoveryRecord::ParseSlot(std::uint32_t& sequence) {
  const std::uint8_t* bytes = slot_.Bytes();
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) {
    return false;
  }
  const std::uint32_t length = Load32(bytes + 20);
  const std::uint32_t done = Load32(bytes + 48);
  const std::uint32_t flightEnd = Load32(bytes + 52);
  if (length != length_ || done > flightEnd || flightEnd > length || flightEnd - done > batch_) {
    return false;
  }
  const std::uint32_t end = kHeaderBytes + 8 * UnitsIn(done, flightEnd);
  if (Load64(bytes + end) != HashBytes(bytes, end, kPrime1)) {
    return false;
  }
  sequence = Load32(bytes + 8);
  cipher_ = Load32(bytes + 12);
  mode_ = Load32(bytes + 16);
  id_.volume = Load64(bytes + 24);
  id_.index = Load64(bytes + 32);
  birth_ = Load64(bytes + 40);
  done_ = done;
  flightEnd_ = flightEnd;
  std::memcpy(salt_, bytes + 56, sizeof salt_);
  std::memcpy(fingerprint_, bytes + 72, sizeof fingerprint_);
  doneSum_ = Load64(bytes + 104);
  flightSum_ = Load64(bytes + 112);
  return true;
}

bool RecoveryRecord::SameJob(const RecordedJob& job) const {
  std::uint8_t fingerprint[32];
  Fingerprint(salt_, job.key, job.keyLength, fingerprint);
  return job.cipher == cipher_ && std::memcmp(fingerprint, fingerprint_, sizeof fingerprint) == 0;
}

// The next slot, with the unit checks already in place, and its checksum.
bool RecoveryRecord::WriteSlot() {
  ++sequence_;
  std::uint8_t* bytes = slot_.Bytes();
  std::memcpy(bytes, kMagic, sizeof kMagic);
  Store32(bytes + 8, sequence_);
  Store32(bytes + 12, cipher_);
  Store32(bytes + 16, mode_);
  Store32(bytes + 20, length_);
  Store64(bytes + 24, id_.volume);
  Store64(bytes + 32, id_.index);
  Store64(bytes + 40, birth_);
  Store32(bytes + 48, done_);
  Store32(bytes + 52, flightEnd_);
  std::memcpy(bytes + 56, salt_, sizeof salt_);
  std::memcpy(bytes + 72, fingerprint_, sizeof fingerprint_);
  Store64(bytes + 104, doneSum_);
  Store64(bytes + 112, flightSum_);
  const std::uint32_t end = kHeaderBytes + 8 * UnitsIn(done_, flightEnd_);
  Store64(bytes + end, HashBytes(bytes, end, kPrime1));
  const std::uint32_t total = end + kChecksumBytes;
  const std::uint64_t at = std::uint64_t{sequence_ & 1U} * slotBytes_;
  if (WriteWhole(record_, at, bytes, total) &&
      platform::FlushFile(record_) == platform::Error::None) {
    return true;
  }
  // The slot of the last whole record is never the next one written.
  --sequence_;
  return false;
}

bool RecoveryRecord::ReadRange(platform::FileHandle file, std::uint32_t offset,
                               std::uint32_t length) {
  for (std::uint32_t done = 0; done < length;) {
    std::uint32_t moved = 0;
    const platform::Error read = platform::ReadAt(file, std::uint64_t{offset} + done,
                                                  scratch_.Bytes() + done, length - done, moved);
    if (read != platform::Error::None || moved == 0 || moved > length - done) {
      shrank_ = read == platform::Error::None && moved == 0;
      return false;
    }
    done += moved;
  }
  return true;
}

bool RecoveryRecord::WriteRange(platform::FileHandle file, std::uint32_t offset,
                                std::uint32_t length) {
  return WriteWhole(file, offset, scratch_.Bytes(), length);
}

// The checks of every unit of [start, end) into `checks`, and the sum of their new
// bytes, from the bytes on disk and their transform: which of them are the old ones and
// which the new is `diskIsNew`.
bool RecoveryRecord::PrepareFlight(platform::FileHandle file, std::uint32_t start,
                                   std::uint32_t end, bool diskIsNew, std::uint8_t* checks,
                                   std::uint64_t& newSum) {
  std::uint64_t sum = 0;
  for (std::uint32_t chunk = start; chunk < end;) {
    const std::uint32_t length = end - chunk < kScratchBytes ? end - chunk : kScratchBytes;
    if (!ReadRange(file, chunk, length)) {
      return false;
    }
    std::uint8_t* bytes = scratch_.Bytes();
    std::uint64_t disk[kScratchBytes / kUnitBytes];
    for (std::uint32_t at = 0; at < length; at += kUnitBytes) {
      const std::uint32_t unit = length - at < kUnitBytes ? length - at : kUnitBytes;
      disk[at / kUnitBytes] = HashBytes(bytes + at, unit, 0);
    }
    job_.transform(bytes, length, chunk);
    for (std::uint32_t at = 0; at < length; at += kUnitBytes) {
      const std::uint32_t unit = length - at < kUnitBytes ? length - at : kUnitBytes;
      const std::uint64_t turned = HashBytes(bytes + at, unit, 0);
      const std::uint64_t fresh = diskIsNew ? disk[at / kUnitBytes] : turned;
      const std::uint64_t old = diskIsNew ? turned : disk[at / kUnitBytes];
      std::uint8_t* check = checks + std::size_t{8} * ((chunk + at - start) / kUnitBytes);
      Store32(check, Check(old));
      Store32(check + 4, Check(fresh));
      sum += UnitShare(fresh, (chunk + at) / kUnitBytes);
    }
    chunk += length;
  }
  newSum = sum;
  return true;
}

bool RecoveryRecord::Create(const char* text, std::size_t folderLength, const char* name,
                            platform::FileHandle file, const platform::FileInfo& info,
                            const RecordedJob& job) {
  if (job.transform == nullptr || !OpenFolderOf(text, folderLength, name)) {
    Close();
    return false;
  }
  std::uint64_t size = 0;
  std::uint64_t birth = 0;
  const platform::Error born = platform::GetBirthTime(file, birth);
  // A file that is not the length it was read at is not recorded: its run fails anyway.
  // Nor one that may be written but not read: its stretches could not be checked.
  std::uint8_t first = 0;
  std::uint32_t moved = 0;
  if (platform::ReadAt(file, 0, &first, 1, moved) != platform::Error::None ||
      platform::GetFileSize(file, size) != platform::Error::None || size != job.length ||
      size == 0 || (born != platform::Error::None && born != platform::Error::NotSupported) ||
      platform::GetRandomBytes(salt_, sizeof salt_) != platform::Error::None ||
      !Allocate(static_cast<std::uint32_t>(size))) {
    Close();
    return false;
  }
  birth_ = born == platform::Error::None ? birth : 0;
  job_ = job;
  id_ = info.id;
  mode_ = info.mode;
  cipher_ = job.cipher;
  Fingerprint(salt_, job.key, job.keyLength, fingerprint_);
  done_ = 0;
  flightEnd_ = 0;
  doneSum_ = 0;
  flightSum_ = 0;
  sequence_ = 0;
  if (platform::CreateStagedFile(folder_, name_.Text(), record_) != platform::Error::None) {
    record_ = platform::kInvalidFile;
    Close();
    return false;
  }
  if (!WriteSlot() || platform::FlushFolder(folder_) != platform::Error::None) {
    Remove();
    return false;
  }
  return true;
}

Status RecoveryRecord::Advance(platform::FileHandle file, std::uint32_t at) {
  shrank_ = false;
  if (AdvanceTo(file, at)) {
    return kStatusSuccess;
  }
  return shrank_ ? kStatusRead : kStatusWrite;
}

bool RecoveryRecord::AdvanceTo(platform::FileHandle file, std::uint32_t at) {
  // Only ever the stretch just after the flight, within the file.
  const bool next = at == flightEnd_ && at < length_;
  const std::uint32_t end = !next ? at : length_ - at < batch_ ? length_ : at + batch_;
  const bool inFlight = flightEnd_ > done_;
  if (inFlight) {
    // The flight's bytes go to disk while the next stretch is read and checked.
    platform::StartWriteBack(file, done_, flightEnd_ - done_);
  }
  std::uint64_t nextSum = 0;
  const bool prepared =
      next && PrepareFlight(file, at, end, false, spare_.Bytes() + kHeaderBytes, nextSum);
  if (inFlight) {
    if (platform::FlushFile(file) != platform::Error::None) {
      shrank_ = false;  // a failed flush is a failed write, whatever the read met
      return false;
    }
    doneSum_ += flightSum_;
    done_ = flightEnd_;
  }
  flightSum_ = 0;
  flightEnd_ = done_;
  if (!prepared) {
    return false;
  }
  // A recorded flight first, then its bytes: the record is written only once the checks
  // are all in place.
  std::swap(slot_, spare_);
  flightSum_ = nextSum;
  flightEnd_ = end;
  return WriteSlot();
}

// Fits the unit to its checks, old, new, or cut between them (a new start and an old
// end where the overwrite stopped in it, or the reverse where a put-back did), and
// leaves its new bytes in `unit`. False where it fits nothing.
bool RecoveryRecord::FixUnit(std::uint8_t* unit, std::uint32_t length, std::uint32_t position,
                             std::uint32_t index) const {
  const std::uint8_t* checks = slot_.Bytes() + kHeaderBytes + std::size_t{8} * index;
  const std::uint32_t old = Load32(checks);
  const std::uint32_t fresh = Load32(checks + 4);
  const std::uint32_t now = Check(HashBytes(unit, length, 0));
  if (now == fresh) {
    return true;
  }
  std::uint8_t turned[kUnitBytes];
  std::memcpy(turned, unit, length);
  job_.transform(turned, length, position);
  if (now == old && Check(HashBytes(turned, length, 0)) == fresh) {
    std::memcpy(unit, turned, length);
    return true;
  }
  std::uint8_t keptStart[kUnitBytes];    // the unit's start as it is, its end turned
  std::uint8_t turnedStart[kUnitBytes];  // the reverse
  for (std::uint32_t cut = 1; cut < length; ++cut) {
    std::memcpy(keptStart, unit, cut);
    std::memcpy(keptStart + cut, turned + cut, length - cut);
    std::memcpy(turnedStart, turned, cut);
    std::memcpy(turnedStart + cut, unit + cut, length - cut);
    const std::uint32_t kept = Check(HashBytes(keptStart, length, 0));
    const std::uint32_t flipped = Check(HashBytes(turnedStart, length, 0));
    if (kept == fresh && flipped == old) {
      std::memcpy(unit, keptStart, length);
      return true;
    }
    if (flipped == fresh && kept == old) {
      std::memcpy(unit, turnedStart, length);
      return true;
    }
  }
  return false;
}

Status RecoveryRecord::Resume(platform::FileHandle file, const RecordedJob& job, bool& stale) {
  job_ = job;
  stale = false;
  std::uint64_t sum = 0;
  for (std::uint32_t chunk = 0; chunk < done_;) {
    const std::uint32_t length = done_ - chunk < kScratchBytes ? done_ - chunk : kScratchBytes;
    if (!ReadRange(file, chunk, length)) {
      return kStatusRead;
    }
    for (std::uint32_t at = 0; at < length; at += kUnitBytes) {
      const std::uint32_t unit = length - at < kUnitBytes ? length - at : kUnitBytes;
      sum += UnitShare(HashBytes(scratch_.Bytes() + at, unit, 0), (chunk + at) / kUnitBytes);
    }
    chunk += length;
  }
  if (sum != doneSum_) {
    Remove();  // the file was changed since: the record no longer tells anything
    stale = true;
    return kStatusSuccess;
  }
  // Every unit in flight is checked before any is written.
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uint32_t chunk = done_; chunk < flightEnd_;) {
      const std::uint32_t length =
          flightEnd_ - chunk < kScratchBytes ? flightEnd_ - chunk : kScratchBytes;
      if (!ReadRange(file, chunk, length)) {
        return kStatusRead;
      }
      for (std::uint32_t at = 0; at < length; at += kUnitBytes) {
        const std::uint32_t unit = length - at < kUnitBytes ? length - at : kUnitBytes;
        if (!FixUnit(scratch_.Bytes() + at, unit, chunk + at, (chunk + at - done_) / kUnitBytes)) {
          return kStatusRead;
        }
      }
      if (pass == 1 && !WriteRange(file, chunk, length)) {
        return chunk == done_ ? kStatusWrite : kStatusShortWrite;
      }
      chunk += length;
    }
  }
  if (flightEnd_ > done_) {
    if (platform::FlushFile(file) != platform::Error::None) {
      return kStatusShortWrite;
    }
    doneSum_ += flightSum_;
    done_ = flightEnd_;
    flightSum_ = 0;
    if (!WriteSlot()) {
      return kStatusShortWrite;
    }
  }
  return kStatusSuccess;
}

bool RecoveryRecord::RevertRange(platform::FileHandle file, std::uint32_t start,
                                 std::uint32_t end) {
  for (std::uint32_t chunk = start; chunk < end;) {
    const std::uint32_t length = end - chunk < kScratchBytes ? end - chunk : kScratchBytes;
    if (!ReadRange(file, chunk, length)) {
      return false;
    }
    job_.transform(scratch_.Bytes(), length, chunk);
    if (!WriteRetrying(file, [&] { return WriteRange(file, chunk, length); })) {
      return false;
    }
    chunk += length;
  }
  return true;
}

// Backwards, a stretch at a time, so that the record always tells a done range of new
// bytes followed by a stretch in flight and old bytes.
bool RecoveryRecord::PutBack(platform::FileHandle file, std::uint32_t written) {
  const std::uint32_t reached = written < flightEnd_ ? written : flightEnd_;
  if ((reached > done_ && !RevertRange(file, done_, reached)) ||
      platform::FlushFile(file) != platform::Error::None) {
    GiveUp(file);
    return false;
  }
  while (done_ > 0) {
    const std::uint32_t start = (done_ - 1) / batch_ * batch_;
    flightEnd_ = done_;
    done_ = start;
    if (!PrepareFlight(file, start, flightEnd_, true, slot_.Bytes() + kHeaderBytes, flightSum_)) {
      GiveUp(file);
      return false;
    }
    doneSum_ -= flightSum_;
    if (!WriteRetrying(record_, [this] { return WriteSlot(); })) {
      // The record itself can no longer be written: the rest is put back as it would be
      // without one, and the record goes once that has been done whole.
      const bool whole =
          RevertRange(file, 0, flightEnd_) && platform::FlushFile(file) == platform::Error::None;
      if (whole) {
        Remove();
      } else {
        GiveUp(file);
      }
      return whole;
    }
    if (!RevertRange(file, start, flightEnd_) ||
        platform::FlushFile(file) != platform::Error::None) {
      GiveUp(file);
      return false;
    }
  }
  Remove();
  return true;
}

// A put-back that stops keeps the record, which tells where the file stands, unless
// the file is no longer the length it records (changed under the run): then it tells
// nothing, and would only be dropped as stale.
void RecoveryRecord::GiveUp(platform::FileHandle file) {
  std::uint64_t size = 0;
  if (platform::GetFileSize(file, size) == platform::Error::None && size != length_) {
    Remove();
  } else {
    Close();
  }
}

// A record that cannot be removed is recorded finished and emptied instead: one that
// stayed whole would have the next run take the file for an unfinished one.
void RecoveryRecord::Finish() {
  if (!Active()) {
    return;
  }
  if (!RemoveEntry() &&
      platform::OpenEntryForData(folder_, name_.Text(), true, record_) == platform::Error::None) {
    // Recorded finished, then emptied: a record that stays tells nothing any run acts on.
    doneSum_ += flightEnd_ > done_ ? flightSum_ : 0;
    done_ = length_;
    flightEnd_ = length_;
    flightSum_ = 0;
    WriteSlot();
    platform::SetFileLength(record_, 0);
    platform::FlushFile(record_);
  }
  Close();
}

void RecoveryRecord::Remove() {
  RemoveEntry();
  Close();
}

bool RecoveryRecord::RemoveEntry() {
  platform::CloseFile(record_);  // Windows removes no file that is open without sharing
  record_ = platform::kInvalidFile;
  if (folder_ == platform::kInvalidFolder || !name_) {
    return false;
  }
  const bool removed = platform::RemoveEntry(folder_, name_.Text()) == platform::Error::None;
  platform::FlushFolder(folder_);
  return removed;
}

void RecoveryRecord::Close() {
  platform::CloseFile(record_);
  record_ = platform::kInvalidFile;
  platform::CloseFolder(folder_);
  folder_ = platform::kInvalidFolder;
  name_.Release();
  slot_.Release();
  spare_.Release();
  scratch_.Release();
}
