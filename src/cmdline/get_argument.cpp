#include "cmdline/command_line.h"

namespace {

constexpr char kQuote = '"';

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

const char* SkipSeparators(const char* p) {
  while (IsSeparator(*p)) {
    ++p;
  }
  return p;
}

// Past one argument: up to the first separator outside quotation marks. Every
// argument starts outside quotation marks, since pairing counts from the line's start.
const char* SkipArgument(const char* p) {
  bool quoted = false;
  while (*p != '\0' && (quoted || !IsSeparator(*p))) {
    if (*p == kQuote) {
      quoted = !quoted;
    }
    ++p;
  }
  return p;
}

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
  char* o = out;
  bool quoted = false;
  for (; *p != '\0' && (quoted || !IsSeparator(*p)); ++p) {
    if (*p == kQuote) {
      quoted = !quoted;
    } else {
      // A quoted tab comes out as a space, as the line's tabs count as spaces.
      *o++ = (*p == '\t') ? ' ' : *p;
    }
  }
  *o = '\0';
  cursor.next = SkipSeparators(p);
  ++cursor.index;
  return o == out ? ArgEmpty : ArgFound;
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
