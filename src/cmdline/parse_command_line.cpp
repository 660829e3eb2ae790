#include <cstring>

#include "app/job_settings.h"
#include "cmdline/command_line.h"
#include "platform/platform.h"

namespace {

// The bit of a switch letter, or 0 when the letter is not one of ours.
std::uint32_t SwitchBit(char letter) {
  switch (letter) {
    case 'k': return FlagKeyString;
    case 'f': return FlagKeyFile;
    case 's': return FlagSilent;
    case 'c': return FlagCopy;
    case 'm': return FlagXOrData;
    default: return 0;
  }
}

// Which field positional argument `number` fills, or nullptr when there is none.
HeapBlock* PositionalRole(JobSettings& job, std::uint32_t number) {
  const bool copy = (job.Flags & FlagCopy) != 0;
  switch (number) {
    case 1: return &job.SourcePath;
    case 2: return copy ? &job.DestinationPath : &job.KeyArgument;
    case 3: return copy ? &job.KeyArgument : nullptr;
    default: return nullptr;
  }
}

bool CopyInto(HeapBlock& field, const char* argument, std::size_t length, bool secret) {
  field = HeapBlock::Allocate(length + 1, secret);
  if (!field) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    field.Text()[i] = argument[i];
  }
  return true;
}

}  // namespace

Status ParseCommandLine() {
  JobSettings& job = Job();
  const char* line = platform::GetCommandLine();
  // No argument is longer than the whole line, so one buffer of its size holds any.
  // It may hold the key string, so it is wiped like the key.
  HeapBlock buffer = HeapBlock::Allocate(std::strlen(line) + 1, true);
  if (!buffer) {
    return kStatusNoMemory;
  }
  char* argument = buffer.Text();
  ArgumentCursor cursor = StartArguments(line);

  Status result = 0;
  std::uint32_t index = 1;       // argument 0, the program path, is never looked at
  std::uint32_t positional = 1;  // counts positional arguments only
  while (result == 0) {
    const ArgResult found = GetArgument(cursor, index, argument);
    const std::size_t length = std::strlen(argument);
    switch (found) {
      case ArgFound:
        if (length == 2) {  // every two-character argument is a switch
          if (positional > 1) {
            result = kStatusArgumentOrder;
          } else if (const std::uint32_t bit = SwitchBit(argument[1]); bit != 0) {
            job.Flags |= bit;
          } else {
            result = kStatusUnknownFlag;
          }
        } else {
          HeapBlock* role = PositionalRole(job, positional);
          if (role == nullptr) {
            result = kStatusTooManyArguments;
          } else if (!CopyInto(*role, argument, length, role == &job.KeyArgument)) {
            return kStatusNoMemory;
          }
          ++positional;
        }
        break;
      case ArgMissing:
        result = index == 1        ? kStatusUsage
                 : positional == 1 ? kStatusSourceExpected
                                   : EndOfArguments;
        break;
      case ArgUnbalancedQuotes:
        result = kStatusUnmatchedQuotes;
        // No box for a script that asked for none: a box would wait for OK forever.
        if (SilentBeforeFirstQuote(line)) {
          job.Flags |= FlagSilent;
        }
        break;
      case ArgEmpty: result = index == 1 ? kStatusUsage : kStatusEmptyArgument; break;
    }
    ++index;
  }

  // These checks hold whatever ended the loop, and replace its result.
  if (!job.DestinationPath && (job.Flags & FlagCopy) != 0) {
    return kStatusDestinationExpected;
  }
  if ((job.Flags & FlagKeyString) != 0 && (job.Flags & FlagKeyFile) != 0) {
    job.Flags &= ~FlagKeyString;  // the key file wins
  }
  if (!job.KeyArgument && (job.Flags & (FlagKeyString | FlagKeyFile)) != 0) {
    return kStatusKeyExpected;
  }
  if (result != EndOfArguments) {
    return result;
  }
  return CheckArgumentsConvertExactly(job.Flags);
}
