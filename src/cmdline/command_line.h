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

// Where the scan of one command line stands: every argument is read from where the
// previous one ended, so reading all of them in order is one pass over the line.
struct ArgumentCursor {
  const char* line = nullptr;  // the whole line, for a step back
  const char* next = nullptr;  // where argument `index` starts, or the line's end
  std::uint32_t index = 0;
  bool unbalanced = false;  // an odd number of quotation marks in the whole line
};

// A cursor at argument 0 (the program path) of `line`, which must outlive it.
ArgumentCursor StartArguments(const char* line);

// Argument `index` of the cursor's line, quotation marks removed, into `out`, which
// must hold at least the line's length plus one byte. The cursor moves past it; an
// index below the cursor's starts over from the line's start.
ArgResult GetArgument(ArgumentCursor& cursor, std::uint32_t index, char* out);

// Whether `line`, whose quotation marks do not pair, asks for silence before its first
// unpaired stretch: past the program path (through its closing quotation mark when it
// starts with one), the switches that stand wholly before the next quotation mark
// include an s. A run that cannot be parsed still honours a -s given before the fault.
bool SilentBeforeFirstQuote(const char* line);

// Argument `index` (0 is the program path) of `line`, scanned from the line's start.
ArgResult ScanArgument(const char* line, std::uint32_t index, char* out);

// Once the command line has given 0: whether every argument that the run uses has an
// exact form in the 8-bit code page, where the system also keeps a UTF-16 command
// line. The first one that has not gives 9 for a switch, else 2 for the source, 3 for
// the destination, 18 for a key file and 17 for a key string; 4 without memory.
Status CheckArgumentsConvertExactly(std::uint32_t flags);

// Fills Flags, SourcePath, DestinationPath and KeyArgument of Job().
// Returns 0, 1, 4, 8 to 13, 16 or 17, and 2, 3 or 18 for an argument the code page
// cannot hold.
Status ParseCommandLine();
