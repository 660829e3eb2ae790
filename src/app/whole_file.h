// Whole-file reading and writing: the only way the job touches files.
#pragma once

#include <cstdint>

#include "app/status.h"
#include "platform/heap_block.h"
#include "platform/platform.h"

// A file opened for reading whose size has been checked: 1 byte to 4 GiB - 1.
class WholeFile {
 public:
  WholeFile() = default;
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  ~WholeFile() { Close(); }

  // Opens the regular file at `path`. With `probeWriteAccess` it must also be writable.
  // Statuses: 0, 2, 5 (size unknown), 7, 14, 19.
  Status Open(const char* path, bool probeWriteAccess);

  // Reads the whole file into `buffer` (Length() bytes), then closes it. A file that
  // shrank or grew since it was opened is status 5.
  Status ReadInto(std::uint8_t* buffer);

  // The same in parts: each call reads the next `length` bytes into `buffer`, and
  // EndReading, once all Length() bytes are in, checks that nothing follows and closes.
  Status ReadPart(std::uint8_t* buffer, std::uint32_t length);
  Status EndReading();

  [[nodiscard]] std::uint32_t Length() const { return length_; }

 private:
  void Close();

  platform::FileHandle handle_ = platform::kInvalidFile;
  std::uint32_t length_ = 0;
};

// Reads the file at `path` whole into a new zero-filled block. Statuses: 0, 2, 4, 5, 7,
// 14, 19. `secret` blocks are wiped when released.
Status ReadWholeFile(const char* path, bool probeWriteAccess, bool secret, HeapBlock& block,
                     std::uint32_t& length);

// Puts a prefix of the written buffer back as it was before the cipher pass.
using RestoreOriginal = void (*)(std::uint8_t* data, std::uint32_t length);

// Replaces the file at `path` with `buffer`, never truncating it before the new
// content is complete. Where it has to be overwritten in place and that fails,
// `restore` (when given) recovers the original bytes, which are written back.
// Statuses: 0, 3, 6, 15.
Status WriteWholeFile(const char* path, std::uint8_t* buffer, std::uint32_t length,
                      RestoreOriginal restore);

// The same, going straight to overwriting in place.
Status OverwriteWholeFile(const char* path, std::uint8_t* buffer, std::uint32_t length,
                          RestoreOriginal restore);

// A destination staged as a new file whose own pages hold the data: the fast way to
// replace it, where the platform can map one. Abandoned unless committed.
class MappedDestination {
 public:
  MappedDestination(const char* path, std::uint32_t length);
  MappedDestination(const MappedDestination&) = delete;
  MappedDestination& operator=(const MappedDestination&) = delete;
  ~MappedDestination();

  // Where the data is to be read and transformed; nullptr when there is no mapping.
  [[nodiscard]] std::uint8_t* Bytes() const { return bytes_; }

  // Says that a range of Bytes() holds its final content, so storage can take it now.
  void Finished(std::uint32_t offset, std::uint32_t length);

  // Flushes the new file and puts it in place. Statuses: 0, 3, 6, 15.
  Status Commit(RestoreOriginal restore);

 private:
  const char* path_;
  std::uint32_t length_;
  platform::Replacement* replacement_ = nullptr;
  std::uint8_t* bytes_ = nullptr;
};
