// Writes of the replace unit that must land whole: a range of a file, and a put-back's
// write, which is made again after flushing where it fails.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// How often a put-back's write is made, after flushing first the file, then its whole
// file system: on a copy-on-write file system an overwrite needs new space until what
// was written is flushed.
constexpr int kPutBackAttempts = 3;

// Writes `length` bytes at `offset` of `file`, in as many calls as it takes; false
// where a call fails, moves nothing, or says it moved more than it was given.
inline bool WriteWhole(platform::FileHandle file, std::uint64_t offset, const std::uint8_t* bytes,
                       std::uint32_t length) {
  for (std::uint32_t done = 0; done < length;) {
    std::uint32_t moved = 0;
    if (platform::WriteAt(file, offset + done, bytes + done, length - done, moved) !=
            platform::Error::None ||
        moved == 0 || moved > length - done) {
      return false;
    }
    done += moved;
  }
  return true;
}

// Makes `write` (true where it succeeded) up to kPutBackAttempts times, flushing `file`
// after the first failure and its file system after each later one.
template <typename Write>
bool WriteRetrying(platform::FileHandle file, Write write) {
  for (int attempt = 1;; ++attempt) {
    if (write()) {
      return true;
    }
    if (attempt == kPutBackAttempts) {
      return false;
    }
    if (attempt == 1) {
      platform::FlushFile(file);
    } else {
      platform::FlushFileSystem(file);
    }
  }
}
