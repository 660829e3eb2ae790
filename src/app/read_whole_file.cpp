#include <utility>

#include "app/job.h"
#include "platform/platform.h"

namespace {

class OpenFile {
 public:
  explicit OpenFile(platform::FileHandle handle) : handle_(handle) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { platform::CloseFile(handle_); }
  [[nodiscard]] platform::FileHandle Handle() const { return handle_; }

 private:
  platform::FileHandle handle_;
};

constexpr std::uint64_t kSizeLimit = 0xFFFFFFFFULL;

// Fills the whole block; a file that shrank or grew since its size was taken is a
// failed read, never zero bytes passed off as data.
Status ReadExactly(platform::FileHandle file, std::uint8_t* bytes, std::uint32_t length) {
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t left = length - done;
    const std::uint32_t ask = left < platform::kMaxTransfer ? left : platform::kMaxTransfer;
    const std::int64_t moved = platform::ReadFile(file, bytes + done, ask);
    if (moved <= 0 || moved > ask) {
      return kStatusRead;
    }
    done += static_cast<std::uint32_t>(moved);
  }
  std::uint8_t beyond = 0;
  return platform::ReadFile(file, &beyond, 1) == 0 ? kStatusSuccess : kStatusRead;
}

}  // namespace

Status ReadWholeFile(const char* path, bool probeWriteAccess, bool secret, HeapBlock& block,
                     std::uint32_t& length) {
  platform::FileHandle handle = platform::OpenForReading(path);
  if (handle == platform::kInvalidFile) {
    return kStatusSourceOpen;
  }
  if (probeWriteAccess) {
    platform::CloseFile(handle);
    if (!platform::ProbeWriteAccess(path)) {
      return kStatusReadOnly;
    }
    handle = platform::OpenForReading(path);
    if (handle == platform::kInvalidFile) {
      return kStatusSourceOpen;
    }
  }
  const OpenFile file(handle);

  std::uint64_t size = 0;
  if (!platform::GetFileSize(file.Handle(), size)) {
    return kStatusRead;
  }
  if (size > kSizeLimit) {
    return kStatusTooLarge;
  }
  if (size == 0) {
    return kStatusZeroSize;
  }
  HeapBlock bytes = HeapBlock::Allocate(size, secret);
  if (!bytes) {
    return kStatusNoMemory;
  }
  const auto fileLength = static_cast<std::uint32_t>(size);
  const Status status = ReadExactly(file.Handle(), bytes.Bytes(), fileLength);
  if (status != kStatusSuccess) {
    return status;
  }
  block = std::move(bytes);
  length = fileLength;
  return kStatusSuccess;
}
