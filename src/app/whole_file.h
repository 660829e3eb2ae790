// Reading whole files: the source part by part, the key file in one go.
#pragma once

#include <cstdint>

#include "app/replace_file.h"
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

  // Opens the regular file at `path`. With `probeWriteAccess` it must also be writable,
  // and it is locked against other runs until this object ends (19 when another holds
  // it). Statuses: 0, 2, 5 (size unknown), 7, 14, 19.
  Status Open(const char* path, bool probeWriteAccess);

  // Each call reads the next `length` bytes into `buffer`; EndReading, once all
  // Length() bytes are in, checks that nothing follows and closes. A file that shrank
  // or grew since it was opened is status 5.
  Status ReadPart(std::uint8_t* buffer, std::uint32_t length);
  Status EndReading();

  // Closes the file before any of it is read, and opens it again: the destination may
  // be this same file, which Windows opens for writing only while no other handle is
  // open. A name that now leads to another file, or one of another size, is status 5.
  void PauseReading() { Close(); }
  Status ResumeReading();

  [[nodiscard]] std::uint32_t Length() const { return length_; }

  // Which file was opened, where the system could tell.
  [[nodiscard]] bool Identified() const { return identified_; }
  [[nodiscard]] const platform::FileId& Id() const { return id_; }

 private:
  Status OpenOnly(const char* path);
  Status LockProbeAndOpen(const char* path);
  void Close();

  RunLock lock_;
  const char* path_ = nullptr;
  platform::FileHandle handle_ = platform::kInvalidFile;
  std::uint32_t length_ = 0;
  bool identified_ = false;
  platform::FileId id_;
};

// Reads the key file at `path` whole into a new zero-filled block, which is wiped when
// released, and tells which file it was (`identified` false where the system could not
// tell). Statuses: 0, 2, 4, 5, 7, 14, 19.
Status ReadWholeFile(const char* path, HeapBlock& block, std::uint32_t& length, bool& identified,
                     platform::FileId& id);
