#include "app/whole_file.h"
#include "platform/platform.h"

namespace {

// Writes the whole buffer from offset 0. `written` tells how far it got: a failure
// with nothing moved is a failed write (6), one partway a short write (15).
Status WriteAll(platform::Replacement* replacement, const std::uint8_t* buffer,
                std::uint32_t length, std::uint32_t& written) {
  written = 0;
  while (written < length) {
    const std::uint32_t left = length - written;
    const std::uint32_t ask = left < platform::kMaxTransfer ? left : platform::kMaxTransfer;
    const std::int64_t moved = platform::WriteAt(replacement, written, buffer + written, ask);
    if (moved < 0 || moved > ask) {
      return written == 0 ? kStatusWrite : kStatusShortWrite;
    }
    if (moved == 0) {
      return kStatusShortWrite;
    }
    written += static_cast<std::uint32_t>(moved);
  }
  return kStatusSuccess;
}

// An overwrite that failed partway: put the original bytes back where new ones
// already landed, so the file ends as it began.
void UndoOverwrite(platform::Replacement* replacement, std::uint8_t* buffer, std::uint32_t written,
                   std::uint32_t fileLength, RestoreOriginal restore) {
  restore(buffer, written);
  std::uint32_t rewritten = 0;
  if (WriteAll(replacement, buffer, written, rewritten) == kStatusSuccess &&
      platform::CommitReplacement(replacement, fileLength) == platform::CommitResult::Done) {
    return;
  }
  platform::AbandonReplacement(replacement);
}

Status Replace(const char* path, std::uint8_t* buffer, std::uint32_t length,
               RestoreOriginal restore, bool allowStaging) {
  for (;;) {
    platform::Replacement* replacement = platform::BeginReplacement(path, allowStaging);
    if (replacement == nullptr) {
      return kStatusDestinationCreate;
    }
    const bool overwriting =
        platform::GetReplaceMode(replacement) == platform::ReplaceMode::Overwrite;
    std::uint32_t written = 0;
    Status status = WriteAll(replacement, buffer, length, written);
    if (status == kStatusSuccess) {
      const platform::CommitResult committed = platform::CommitReplacement(replacement, length);
      if (committed == platform::CommitResult::Done) {
        return kStatusSuccess;
      }
      if (committed == platform::CommitResult::RenameRefused) {
        if (!allowStaging) {
          return kStatusWrite;  // already overwriting: there is nothing left to try
        }
        allowStaging = false;  // the staged file is gone; write over the original instead
        continue;
      }
      status = kStatusWrite;
    }
    if (overwriting && restore != nullptr && written > 0) {
      UndoOverwrite(replacement, buffer, written, length, restore);
    } else {
      platform::AbandonReplacement(replacement);
    }
    return status;
  }
}

}  // namespace

Status WriteWholeFile(const char* path, std::uint8_t* buffer, std::uint32_t length,
                      RestoreOriginal restore) {
  return Replace(path, buffer, length, restore, true);
}

Status OverwriteWholeFile(const char* path, std::uint8_t* buffer, std::uint32_t length,
                          RestoreOriginal restore) {
  return Replace(path, buffer, length, restore, false);
}

MappedDestination::MappedDestination(const char* path, std::uint32_t length)
    : path_(path), length_(length) {
  replacement_ = platform::BeginReplacement(path, true);
  if (replacement_ == nullptr) {
    return;
  }
  if (platform::GetReplaceMode(replacement_) == platform::ReplaceMode::Staged) {
    bytes_ = platform::MapReplacement(replacement_, length);
  }
  if (bytes_ == nullptr) {
    // Nothing is visible yet: the ordinary path takes over from the start.
    platform::AbandonReplacement(replacement_);
    replacement_ = nullptr;
  }
}

MappedDestination::~MappedDestination() {
  if (replacement_ != nullptr) {
    platform::AbandonReplacement(replacement_);
  }
}

void MappedDestination::Finished(std::uint32_t offset, std::uint32_t length) {
  platform::StartWriteBack(replacement_, offset, length);
}

Status MappedDestination::Commit(RestoreOriginal restore) {
  switch (platform::CommitReplacement(replacement_, length_)) {
    case platform::CommitResult::Done:
      replacement_ = nullptr;
      bytes_ = nullptr;
      return kStatusSuccess;
    case platform::CommitResult::RenameRefused:
      // The mapped bytes stay readable until abandoned: write them over the original.
      return OverwriteWholeFile(path_, bytes_, length_, restore);
    case platform::CommitResult::Failed: break;
  }
  return kStatusWrite;
}
