#include <cstring>

#include "app/job.h"
#include "app/job_settings.h"
#include "app/replace_file.h"
#include "app/whole_file.h"
#include "cipher/cipher.h"
#include "cmdline/command_line.h"
#include "platform/platform.h"

namespace {

// How much of the data is read and ciphered before it is handed on: large enough that
// the calls cost nothing, small enough that storage starts early on a mapped file and
// the part is still in the cache when the cipher runs over it.
constexpr std::uint32_t kPartBytes = 8U << 20;

// `data` starts at byte `position` of the whole.
void ApplySelectedCipherAt(std::uint8_t* data, std::uint32_t length, std::uint32_t position) {
  const JobSettings& job = Job();
  if ((job.Flags & FlagXOrData) != 0) {
    XOrData(data, length, job.KeyBytes, job.KeyLength, position);
  } else {
    ComplementAdd(data, job.KeyBytes, length, job.KeyLength, position);
  }
}

void ApplySelectedCipher(std::uint8_t* data, std::uint32_t length) {
  ApplySelectedCipherAt(data, length, 0);
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
  return sourcesOwnFile ? &ApplySelectedCipher : nullptr;
}

// Reads, ciphers and hands on the data part by part, whatever holds it. The cipher's
// time is the sum of its parts, and the rest of the run counts as input/output.
Status ReadAndCipher(JobSettings& job, WholeFile& source, std::uint8_t* data,
                     FileReplacement& replacement) {
  const std::uint32_t length = source.Length();
  std::uint32_t cipherTicks = 0;
  Status status = kStatusSuccess;
  for (std::uint32_t done = 0; done < length && status == kStatusSuccess;) {
    const std::uint32_t part = length - done < kPartBytes ? length - done : kPartBytes;
    status = source.ReadPart(data + done, part);
    if (status == kStatusSuccess) {
      const std::uint32_t before = platform::GetTickCount();
      ApplySelectedCipherAt(data + done, part, done);
      cipherTicks += platform::GetTickCount() - before;
      replacement.PartWritten(done, part);
    }
    done += part;
  }
  status = status == kStatusSuccess ? source.EndReading() : status;
  if (status != kStatusSuccess) {
    return status;
  }
  job.DataLength = length;
  job.TickCiphered = platform::GetTickCount();
  job.TickRead = job.TickCiphered - cipherTicks;
  return kStatusSuccess;
}

// Read, cipher, write. The first failure ends it before anything is written.
Status RunJob(JobSettings& job) {
  job.TickStart = platform::GetTickCount();
  WholeFile source;
  // Only a file about to be rewritten in place has to be writable.
  Status status = source.Open(job.SourcePath.Text(), job.NoDestinationNamed());
  if (status != kStatusSuccess) {
    return status;
  }
  // The key file is read and closed before the destination is taken on: one file fewer
  // open at a time, and the destination can be told apart from it.
  RunFiles files;
  status = ChooseKey(job, files);
  if (status != kStatusSuccess) {
    return status;
  }
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
  // Where it can, the new file's own pages hold the data: no buffer of its own, and
  // one copy of the bytes fewer. Otherwise one zero-filled heap block, and the
  // destination is taken on only once the source has been read and closed.
  std::uint8_t* data = nullptr;
  const Status begun = replacement.Begin(job.Destination());
  if (begun != kStatusSuccess && replacement.Refused()) {
    return begun;
  }
  if (begun == kStatusSuccess && replacement.Staged()) {
    data = replacement.Map(source.Length());
  }
  if (data == nullptr) {
    replacement.Abandon();  // nothing is visible yet
    job.Data = HeapBlock::Allocate(source.Length());
    if (!job.Data) {
      return kStatusNoMemory;
    }
    data = job.Data.Bytes();
  }
  status = ReadAndCipher(job, source, data, replacement);
  if (status != kStatusSuccess) {
    return status;
  }
  if (job.Data) {
    status = replacement.Begin(job.Destination());
  }
  if (status == kStatusSuccess) {
    status = replacement.Commit(data, job.DataLength, RestoreFor(job, source, replacement));
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
  return status;
}
