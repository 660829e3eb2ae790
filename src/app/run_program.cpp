#include "app/job.h"
#include "app/job_settings.h"
#include "app/whole_file.h"
#include "cipher/cipher.h"
#include "cmdline/command_line.h"
#include "platform/platform.h"

namespace {

std::uint32_t TextLength(const char* text) {
  std::uint32_t length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  return length;
}

void ApplySelectedCipher(std::uint8_t* data, std::uint32_t length) {
  const JobSettings& job = Job();
  if ((job.Flags & FlagXOrData) != 0) {
    XOrData(data, length, job.KeyBytes, job.KeyLength);
  } else {
    ComplementAdd(data, job.KeyBytes, length, job.KeyLength);
  }
}

// Picks the key: a key file over a key string over the default key.
Status ChooseKey(JobSettings& job) {
  if ((job.Flags & FlagKeyFile) != 0) {
    std::uint32_t length = 0;
    const Status status = ReadWholeFile(job.KeyArgument.Text(), false, true, job.KeyFile, length);
    if (status != kStatusSuccess) {
      return status == kStatusSourceOpen ? kStatusKeyFileOpen : status;
    }
    job.KeyBytes = job.KeyFile.Bytes();
    job.KeyLength = length;
  } else if ((job.Flags & FlagKeyString) != 0) {
    job.KeyBytes = job.KeyArgument.Bytes();
    job.KeyLength = TextLength(job.KeyArgument.Text());
  } else {
    job.KeyBytes = reinterpret_cast<const std::uint8_t*>(DefaultKey);
    job.KeyLength = TextLength(DefaultKey);
  }
  return kStatusSuccess;
}

// Read, cipher, write. The first failure ends it before anything is written.
Status RunJob(JobSettings& job) {
  job.TickStart = platform::GetTickCount();
  WholeFile source;
  // Only a file about to be rewritten in place has to be writable.
  Status status = source.Open(job.SourcePath.Text(), job.InPlace());
  if (status != kStatusSuccess) {
    return status;
  }
  // Where it can, the new file's own pages hold the data: no buffer of its own, and
  // one copy of the bytes fewer. Otherwise one zero-filled heap block.
  MappedDestination mapped(job.Destination(), source.Length());
  std::uint8_t* data = mapped.Bytes();
  if (data == nullptr) {
    job.Data = HeapBlock::Allocate(source.Length());
    if (!job.Data) {
      return kStatusNoMemory;
    }
    data = job.Data.Bytes();
  }
  status = source.ReadInto(data);
  if (status != kStatusSuccess) {
    return status;
  }
  job.DataLength = source.Length();
  status = ChooseKey(job);
  if (status != kStatusSuccess) {
    return status;
  }
  job.TickRead = platform::GetTickCount();
  ApplySelectedCipher(data, job.DataLength);
  job.TickCiphered = platform::GetTickCount();
  // Both ciphers are their own inverse: one more pass restores an interrupted overwrite.
  const RestoreOriginal restore = job.InPlace() ? &ApplySelectedCipher : nullptr;
  status = mapped.Bytes() != nullptr
               ? mapped.Commit(restore)
               : WriteWholeFile(job.Destination(), data, job.DataLength, restore);
  job.TickWritten = platform::GetTickCount();
  return status;
}

}  // namespace

Status RunProgram() {
  JobSettings& job = Job();
  Status status = ParseCommandLine();
  if (status == kStatusSuccess) {
    status = RunJob(job);
  }
  ReportStatus(status);
  job.Release();
  return status;
}
