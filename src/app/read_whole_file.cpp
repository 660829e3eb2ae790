#include <utility>

#include "app/whole_file.h"
#include "platform/platform.h"

namespace {
constexpr std::uint64_t kSizeLimit = 0xFFFFFFFFULL;
// How often the source is opened again when it was replaced between locking and opening.
constexpr int kOpenAttempts = 8;
}  // namespace

Status WholeFile::OpenOnly(const char* path) {
  if (platform::OpenForReading(path, handle_) != platform::Error::None) {
    handle_ = platform::kInvalidFile;
    return kStatusSourceOpen;
  }
  return kStatusSuccess;
}

// A file to be rewritten is locked before anything else opens it, and read only as the
// file that is locked. The lock is all another run touches while one holds the file: on
// Windows an open for reading, and the probe's open without sharing, would make the
// holder's rename onto this name fail.
Status WholeFile::LockProbeAndOpen(const char* path) {
  for (int attempt = 1;; ++attempt) {
    const Status locked = lock_.Take(path, kStatusReadOnly);
    if (locked != kStatusSuccess) {
      return locked;
    }
    // A probe that fails for want of space says nothing about the file's access; the
    // write itself reports a full disk. A file in use by another program is 19, one
    // that cannot even be read 2.
    const platform::Error probed = platform::ProbeWriteAccess(path);
    if (probed == platform::Error::Busy) {
      return kStatusReadOnly;
    }
    if (probed != platform::Error::None && probed != platform::Error::NoSpace) {
      const Status readable = OpenOnly(path);
      Close();
      return readable == kStatusSuccess ? kStatusReadOnly : readable;
    }
    const Status opened = OpenOnly(path);
    if (opened != kStatusSuccess || lock_.Covers(handle_)) {
      return opened;
    }
    Close();
    if (attempt == kOpenAttempts) {
      return kStatusReadOnly;
    }
  }
}

Status WholeFile::Open(const char* path, bool probeWriteAccess) {
  Close();
  path_ = path;
  const Status opened = probeWriteAccess ? LockProbeAndOpen(path) : OpenOnly(path);
  if (opened != kStatusSuccess) {
    return opened;
  }
  std::uint64_t size = 0;
  if (platform::GetFileSize(handle_, size) != platform::Error::None) {
    return kStatusRead;
  }
  if (size > kSizeLimit) {
    return kStatusTooLarge;
  }
  if (size == 0) {
    return kStatusZeroSize;
  }
  length_ = static_cast<std::uint32_t>(size);
  platform::FileInfo info;
  identified_ = platform::GetFileInfo(handle_, info) == platform::Error::None;
  id_ = info.id;
  return kStatusSuccess;
}

Status WholeFile::ResumeReading() {
  if (platform::OpenForReading(path_, handle_) != platform::Error::None) {
    handle_ = platform::kInvalidFile;
    return kStatusRead;
  }
  std::uint64_t size = 0;
  if (platform::GetFileSize(handle_, size) != platform::Error::None || size != length_) {
    return kStatusRead;
  }
  // As when it was opened, a file the system cannot identify is taken as it is.
  platform::FileInfo info;
  const bool another = identified_ &&
                       platform::GetFileInfo(handle_, info) == platform::Error::None &&
                       !(info.id == id_);
  return another ? kStatusRead : kStatusSuccess;
}

Status WholeFile::ReadPart(std::uint8_t* buffer, std::uint32_t length) {
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t left = length - done;
    const std::uint32_t ask = left < platform::kMaxTransfer ? left : platform::kMaxTransfer;
    std::uint32_t moved = 0;
    if (platform::ReadFile(handle_, buffer + done, ask, moved) != platform::Error::None ||
        moved == 0 || moved > ask) {
      return kStatusRead;
    }
    done += moved;
  }
  return kStatusSuccess;
}

// A file that grew since its size was taken is a failed read, never bytes left out.
Status WholeFile::EndReading() {
  std::uint8_t beyond = 0;
  std::uint32_t moved = 0;
  const bool grew =
      platform::ReadFile(handle_, &beyond, 1, moved) != platform::Error::None || moved != 0;
  Close();
  return grew ? kStatusRead : kStatusSuccess;
}

void WholeFile::Close() {
  if (handle_ != platform::kInvalidFile) {
    platform::CloseFile(handle_);
    handle_ = platform::kInvalidFile;
  }
}

Status ReadWholeFile(const char* path, HeapBlock& block, std::uint32_t& length, bool& identified,
                     platform::FileId& id) {
  WholeFile file;
  Status status = file.Open(path, false);
  if (status != kStatusSuccess) {
    return status;
  }
  HeapBlock bytes = HeapBlock::Allocate(file.Length(), true);
  if (!bytes) {
    return kStatusNoMemory;
  }
  status = file.ReadPart(bytes.Bytes(), file.Length());
  if (status == kStatusSuccess) {
    status = file.EndReading();
  }
  if (status != kStatusSuccess) {
    return status;
  }
  block = std::move(bytes);
  length = file.Length();
  identified = file.Identified();
  id = file.Id();
  return kStatusSuccess;
}
