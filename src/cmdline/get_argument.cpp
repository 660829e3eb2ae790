#include <cstring>

#include "cmdline/command_line.h"
#include "platform/platform.h"

namespace {

constexpr char kQuote = '"';

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

const char* SkipSeparators(const char* p) { return p + std::strspn(p, " \t"); }

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

ArgResult ScanArgument(const char* line, std::uint32_t index, char* out) {
  if (HasOddQuotes(line)) {
    return ArgUnbalancedQuotes;
  }
  // Separators at the end of the line start no argument: the arguments just end.
  const char* p = SkipSeparators(line);
  for (std::uint32_t skipped = 0; skipped < index && *p != '\0'; ++skipped) {
    p = SkipSeparators(SkipArgument(p));
  }
  if (*p == '\0') {
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
  return o == out ? ArgEmpty : ArgFound;
}

ArgResult GetArgument(std::uint32_t index, char* out) {
  return ScanArgument(platform::GetCommandLine(), index, out);
}
