#include <utility>

#include "app/whole_file.h"
#include "platform/platform.h"

namespace {
constexpr std::uint64_t kSizeLimit = 0xFFFFFFFFULL;
}  // namespace

Status WholeFile::Open(const char* path, bool probeWriteAccess) {
  Close();
  handle_ = platform::OpenForReading(path);
  if (handle_ == platform::kInvalidFile) {
    return kStatusSourceOpen;
  }
  if (probeWriteAccess) {
    Close();
    if (!platform::ProbeWriteAccess(path)) {
      return kStatusReadOnly;
    }
    handle_ = platform::OpenForReading(path);
    if (handle_ == platform::kInvalidFile) {
      return kStatusSourceOpen;
    }
  }
  std::uint64_t size = 0;
  if (!platform::GetFileSize(handle_, size)) {
    return kStatusRead;
  }
  if (size > kSizeLimit) {
    return kStatusTooLarge;
  }
  if (size == 0) {
    return kStatusZeroSize;
  }
  length_ = static_cast<std::uint32_t>(size);
  return kStatusSuccess;
}

// A file that shrank or grew since its size was taken is a failed read, never zero
// bytes passed off as data.
Status WholeFile::ReadInto(std::uint8_t* buffer) {
  const Status status = ReadPart(buffer, length_);
  if (status != kStatusSuccess) {
    Close();
    return status;
  }
  return EndReading();
}

Status WholeFile::ReadPart(std::uint8_t* buffer, std::uint32_t length) {
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t left = length - done;
    const std::uint32_t ask = left < platform::kMaxTransfer ? left : platform::kMaxTransfer;
    const std::int64_t moved = platform::ReadFile(handle_, buffer + done, ask);
    if (moved <= 0 || moved > ask) {
      return kStatusRead;
    }
    done += static_cast<std::uint32_t>(moved);
  }
  return kStatusSuccess;
}

Status WholeFile::EndReading() {
  std::uint8_t beyond = 0;
  const bool grew = platform::ReadFile(handle_, &beyond, 1) != 0;
  Close();
  return grew ? kStatusRead : kStatusSuccess;
}

void WholeFile::Close() {
  if (handle_ != platform::kInvalidFile) {
    platform::CloseFile(handle_);
    handle_ = platform::kInvalidFile;
  }
}

Status ReadWholeFile(const char* path, bool probeWriteAccess, bool secret, HeapBlock& block,
                     std::uint32_t& length) {
  WholeFile file;
  Status status = file.Open(path, probeWriteAccess);
  if (status != kStatusSuccess) {
    return status;
  }
  HeapBlock bytes = HeapBlock::Allocate(file.Length(), secret);
  if (!bytes) {
    return kStatusNoMemory;
  }
  status = file.ReadInto(bytes.Bytes());
  if (status != kStatusSuccess) {
    return status;
  }
  block = std::move(bytes);
  length = file.Length();
  return kStatusSuccess;
}
