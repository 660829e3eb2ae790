#include <cstring>

#include "app/job.h"
#include "app/job_settings.h"
#include "app/replace_file.h"
#include "app/whole_file.h"
#include "cipher/cipher.h"
#include "cmdline/command_line.h"
#include "platform/platform.h"

namespace {

// How much of the data is read, ciphered and written at a time, through one reused
// buffer: small enough to stay in the processor's cache between the read, the cipher
// and the write, large enough that the calls cost nothing. Measured on a 1 GiB copy:
// 128 KiB parts ran at cp's pace cold and warm, 1 MiB parts took up to twice as long
// (reads no longer overlapped the writes), 32 KiB parts paid for their calls.
constexpr std::uint32_t kPartBytes = 128U << 10;

// `data` starts at byte `position` of the whole.
void ApplySelectedCipherAt(std::uint8_t* data, std::uint32_t length, std::uint32_t position) {
  const JobSettings& job = Job();
  if ((job.Flags & FlagXOrData) != 0) {
    XOrData(data, length, job.KeyBytes, job.KeyLength, position);
  } else {
    ComplementAdd(data, job.KeyBytes, length, job.KeyLength, position);
  }
}

// Picks the key: a key file over a key string over the default key. A key file is read
// whole and closed here, and `files` learns which file it was.
Status ChooseKey(JobSettings& job, RunFiles& files) {
  if ((job.Flags & FlagKeyFile) != 0) {
    std::uint32_t length = 0;
    const Status status =
        ReadWholeFile(job.KeyArgument.Text(), job.KeyFile, length, files.keyFile, files.key);
    if (status != kStatusSuccess) {
      return status == kStatusSourceOpen ? kStatusKeyFileOpen : status;
    }
    job.KeyBytes = job.KeyFile.Bytes();
    job.KeyLength = length;
  } else if ((job.Flags & FlagKeyString) != 0) {
    job.KeyBytes = job.KeyArgument.Bytes();
    // Far below 4 GiB: it came from a command line.
    job.KeyLength = static_cast<std::uint32_t>(std::strlen(job.KeyArgument.Text()));
  } else {
    job.KeyBytes = reinterpret_cast<const std::uint8_t*>(DefaultKey);
    job.KeyLength = static_cast<std::uint32_t>(std::strlen(DefaultKey));
  }
  return kStatusSuccess;
}

// Both ciphers are their own inverse: one more pass restores an interrupted overwrite
// of the source's own file. Any other destination has nothing to restore.
RestoreOriginal RestoreFor(const JobSettings& job, const WholeFile& source,
                           const FileReplacement& replacement) {
  const bool sourcesOwnFile =
      job.NoDestinationNamed() || (source.Identified() && replacement.Replaces(source.Id()));
  return sourcesOwnFile ? &ApplySelectedCipherAt : nullptr;
}

// Reads, ciphers and writes the data part by part through the job's buffer. The source
// is read through its own handle, or, where its own file is overwritten, through the
// handle that writes it. The last part is checked to be the last before it is written,
// so a file that fits in one part and changed size is never written at all. The
// cipher's time is the sum of its parts, and the rest of the run counts as input/output.
Status ReadCipherAndWrite(JobSettings& job, WholeFile& source, FileReplacement& replacement,
                          bool readThroughReplacement) {
  const std::uint32_t length = source.Length();
  std::uint8_t* buffer = job.Data.Bytes();
  const auto size = static_cast<std::uint32_t>(job.Data.Size());
  std::uint32_t cipherTicks = 0;
  for (std::uint32_t done = replacement.ResumesAt(); done < length;) {
    const std::uint32_t part = length - done < size ? length - done : size;
    Status status = readThroughReplacement ? replacement.ReadBack(done, buffer, part)
                                           : source.ReadPart(buffer, part);
    if (status == kStatusSuccess && done + part == length) {
      status = readThroughReplacement ? (replacement.EndsAt(length) ? kStatusSuccess : kStatusRead)
                                      : source.EndReading();
    }
    if (status != kStatusSuccess) {
      return status;
    }
    const std::uint32_t before = platform::GetTickCount();
    ApplySelectedCipherAt(buffer, part, done);
    cipherTicks += platform::GetTickCount() - before;
    status = replacement.WritePart(buffer, done, part);
    if (status != kStatusSuccess) {
      return status;
    }
    done += part;
  }
  job.DataLength = length;
  job.TickCiphered = platform::GetTickCount();
  job.TickRead = job.TickCiphered - cipherTicks;
  return kStatusSuccess;
}

// Open the source, read the key, take on the destination, then read, cipher and write
// part by part. Every failure leaves every file as it was.
Status RunJob(JobSettings& job) {
  job.TickStart = platform::GetTickCount();
  WholeFile source;
  // Only a file about to be rewritten in place has to be writable.
  Status status = source.Open(job.SourcePath.Text(), job.NoDestinationNamed());
  if (status != kStatusSuccess) {
    return status;
  }
  // The key is needed whole, and first: a failed key file wins over a failed read. It is
  // closed before the destination is taken on, which must never be the key file.
  RunFiles files;
  status = ChooseKey(job, files);
  if (status != kStatusSuccess) {
    return status;
  }
  job.Data = HeapBlock::Allocate(source.Length() < kPartBytes ? source.Length() : kPartBytes);
  if (!job.Data) {
    return kStatusNoMemory;
  }
  source.PauseReading();
  // An existing copy destination is kept from other runs like a source in place.
  RunLock destinationLock;
  if (!job.NoDestinationNamed()) {
    status = destinationLock.Take(job.Destination(), kStatusDestinationCreate);
    if (status != kStatusSuccess) {
      return status;
    }
  }
  FileReplacement replacement;
  if (source.Identified() && (files.keyFile || (job.Flags & FlagKeyFile) == 0)) {
    files.inPlace = job.NoDestinationNamed();
    files.source = source.Id();
    replacement.KeepApart(files);
  }
  RecordedJob recorded;
  recorded.inPlace = job.NoDestinationNamed();
  recorded.cipher = (job.Flags & FlagXOrData) != 0 ? 1 : 0;
  recorded.key = job.KeyBytes;
  recorded.keyLength = job.KeyLength;
  recorded.length = source.Length();
  recorded.transform = &ApplySelectedCipherAt;
  replacement.DescribeJob(recorded);
  status = replacement.Begin(job.Destination());
  if (status != kStatusSuccess) {
    return status;
  }
  // A file that an unfinished overwrite left is read by no other job than that one
  // (Begin has judged the record of a destination that is the source's own file).
  if (!job.NoDestinationNamed() && !(source.Identified() && replacement.Replaces(source.Id()))) {
    FileReplacement sourceCheck;
    status = sourceCheck.RefuseIfRecorded(job.SourcePath.Text(), kStatusReadOnly);
    if (status != kStatusSuccess) {
      return status;
    }
  }
  replacement.LendBuffer(job.Data.Bytes(), static_cast<std::uint32_t>(job.Data.Size()));
  const RestoreOriginal restore = RestoreFor(job, source, replacement);
  const bool ownFileOverwritten = !replacement.Staged() && restore != nullptr;
  if (!ownFileOverwritten) {
    status = source.ResumeReading();
  }
  if (status == kStatusSuccess) {
    status = ReadCipherAndWrite(job, source, replacement, ownFileOverwritten);
  }
  if (status == kStatusSuccess) {
    status = replacement.Commit(job.DataLength, restore);
  } else {
    replacement.PutBack(restore);  // what was overwritten is undone before the status
  }
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
  platform::WipeCommandLine();  // it may hold the key string, as the job's blocks did
  return status;
}
