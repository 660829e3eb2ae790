#include "cmdline/command_line.h"
#include "cmdline/scan_rules.h"

namespace {

using scan::IsSeparator;
using scan::SkipArgument;
using scan::SkipSeparators;

constexpr char kQuote = scan::kQuote<char>;

bool HasOddQuotes(const char* line) {
  bool odd = false;
  for (const char* p = line; *p != '\0'; ++p) {
    odd = odd != (*p == kQuote);
  }
  return odd;
}

}  // namespace

ArgumentCursor StartArguments(const char* line) {
  ArgumentCursor cursor;
  cursor.line = line;
  cursor.unbalanced = HasOddQuotes(line);
  // Separators at the end of the line start no argument: the arguments just end.
  cursor.next = SkipSeparators(line);
  return cursor;
}

ArgResult GetArgument(ArgumentCursor& cursor, std::uint32_t index, char* out) {
  if (cursor.unbalanced) {
    return ArgUnbalancedQuotes;
  }
  if (index < cursor.index) {
    cursor = StartArguments(cursor.line);
  }
  for (; cursor.index < index && *cursor.next != '\0'; ++cursor.index) {
    cursor.next = SkipSeparators(SkipArgument(cursor.next));
  }
  const char* p = cursor.next;
  if (cursor.index != index || *p == '\0') {
    out[0] = '\0';
    return ArgMissing;
  }
  // A quoted tab comes out as a space, as the line's tabs count as spaces.
  char* end = out;
  cursor.next = SkipSeparators(scan::CopyArgument(p, out, end));
  ++cursor.index;
  return end == out ? ArgEmpty : ArgFound;
}

bool SilentBeforeFirstQuote(const char* line) {
  const char* p = SkipSeparators(line);
  if (*p == kQuote) {  // a quoted program path, as Explorer and Task Scheduler give it
    while (*++p != kQuote) {
      if (*p == '\0') {
        return false;
      }
    }
    ++p;
  }
  // The rest of the program path, then each argument up to the next quotation mark.
  bool programPath = true;
  for (;;) {
    const char* end = p;
    while (*end != '\0' && *end != kQuote && !IsSeparator(*end)) {
      ++end;
    }
    // An argument that a quotation mark cuts short is not known, and ends the search.
    if (*end == kQuote || (!programPath && end - p != 2)) {
      return false;
    }
    if (!programPath && p[1] == 's') {
      return true;
    }
    programPath = false;
    p = SkipSeparators(end);
  }
}

ArgResult ScanArgument(const char* line, std::uint32_t index, char* out) {
  ArgumentCursor cursor = StartArguments(line);
  return GetArgument(cursor, index, out);
}
