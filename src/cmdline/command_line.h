// Turns the raw command line into the switches, paths and key argument of the job.
#pragma once

#include <cstdint>

#include "app/status.h"

enum ArgResult : std::uint32_t {
  ArgFound = 1,             // the argument exists and is not empty
  ArgMissing = 2,           // fewer arguments than asked for; the output is ""
  ArgUnbalancedQuotes = 3,  // the line holds an odd number of quotation marks; output untouched
  ArgEmpty = 4,             // the argument exists but is empty without its quotation marks
};

// The interpreter's mark that the arguments ended normally; it becomes status 0.
inline constexpr Status EndOfArguments = 99;

// Argument `index` (0 is the program path) of `line`, quotation marks removed, into
// `out`, which must hold at least the line's length plus one byte.
ArgResult ScanArgument(const char* line, std::uint32_t index, char* out);

// The same over the process command line, read afresh on every call.
ArgResult GetArgument(std::uint32_t index, char* out);

// Fills Flags, SourcePath, DestinationPath and KeyArgument of Job().
// Returns 0, 1, 4, 8 to 13, 16 or 17.
Status ParseCommandLine();
