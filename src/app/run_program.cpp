#include "app/job.h"
#include "app/job_settings.h"
#include "app/whole_file.h"
#include "cipher/cipher.h"
#include "cmdline/command_line.h"
#include "platform/platform.h"

namespace {

// How much of the data the mapped path reads and ciphers before handing it on to
// storage: large enough that the calls cost nothing, small enough that the disk starts
// early and the part is still in the cache when the cipher runs over it.
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
    // Far below 4 GiB: it came from a command line.
    job.KeyLength = static_cast<std::uint32_t>(TextLength(job.KeyArgument.Text()));
  } else {
    job.KeyBytes = reinterpret_cast<const std::uint8_t*>(DefaultKey);
    job.KeyLength = static_cast<std::uint32_t>(TextLength(DefaultKey));
  }
  return kStatusSuccess;
}

// Both ciphers are their own inverse: one more pass restores an interrupted overwrite.
RestoreOriginal RestoreFor(const JobSettings& job) {
  return job.InPlace() ? &ApplySelectedCipher : nullptr;
}

// The data in the new file's own pages, read, ciphered and handed to storage part by
// part, so the disk writes while the rest is read. The key comes first for that; a
// failed read still wins over a failed key file, as on the heap path. The cipher's
// time is the sum of its parts, and the rest of the run counts as input/output.
Status RunMapped(JobSettings& job, WholeFile& source, MappedDestination& mapped) {
  std::uint8_t* data = mapped.Bytes();
  const std::uint32_t length = source.Length();
  const Status keyStatus = ChooseKey(job);
  std::uint32_t cipherTicks = 0;
  Status status = kStatusSuccess;
  for (std::uint32_t done = 0; done < length && status == kStatusSuccess;) {
    const std::uint32_t part = length - done < kPartBytes ? length - done : kPartBytes;
    status = source.ReadPart(data + done, part);
    if (status == kStatusSuccess && keyStatus == kStatusSuccess) {
      const std::uint32_t before = platform::GetTickCount();
      ApplySelectedCipherAt(data + done, part, done);
      cipherTicks += platform::GetTickCount() - before;
      mapped.Finished(done, part);
    }
    done += part;
  }
  status = status == kStatusSuccess ? source.EndReading() : status;
  if (status != kStatusSuccess) {
    return status;
  }
  if (keyStatus != kStatusSuccess) {
    return keyStatus;
  }
  job.DataLength = length;
  job.TickCiphered = platform::GetTickCount();
  job.TickRead = job.TickCiphered - cipherTicks;
  status = mapped.Commit(RestoreFor(job));
  job.TickWritten = platform::GetTickCount();
  return status;
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
  if (mapped.Bytes() != nullptr) {
    return RunMapped(job, source, mapped);
  }
  job.Data = HeapBlock::Allocate(source.Length());
  if (!job.Data) {
    return kStatusNoMemory;
  }
  std::uint8_t* data = job.Data.Bytes();
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
  status = WriteWholeFile(job.Destination(), data, job.DataLength, RestoreFor(job));
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
