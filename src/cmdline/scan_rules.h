// How a command line splits into arguments, for 8-bit and UTF-16 lines alike: spaces
// and tabs separate, a quotation mark (0x22 only) opens or closes a quoted stretch.
#pragma once

namespace scan {

template <typename Char>
constexpr Char kQuote = static_cast<Char>('"');

template <typename Char>
bool IsSeparator(Char c) {
  return c == static_cast<Char>(' ') || c == static_cast<Char>('\t');
}

template <typename Char>
const Char* SkipSeparators(const Char* p) {
  while (IsSeparator(*p)) {
    ++p;
  }
  return p;
}

// Past one argument: up to the first separator outside quotation marks. Every
// argument starts outside quotation marks, since pairing counts from the line's start.
template <typename Char>
const Char* SkipArgument(const Char* p) {
  bool quoted = false;
  while (*p != Char{} && (quoted || !IsSeparator(*p))) {
    if (*p == kQuote<Char>) {
      quoted = !quoted;
    }
    ++p;
  }
  return p;
}

// Copies the argument at `p` to `out` without its quotation marks, a quoted tab as a
// space, and terminates it; returns where the argument ends.
template <typename Char>
const Char* CopyArgument(const Char* p, Char* out, Char*& outEnd) {
  bool quoted = false;
  for (; *p != Char{} && (quoted || !IsSeparator(*p)); ++p) {
    if (*p == kQuote<Char>) {
      quoted = !quoted;
    } else {
      *out++ = (*p == static_cast<Char>('\t')) ? static_cast<Char>(' ') : *p;
    }
  }
  *out = Char{};
  outEnd = out;
  return p;
}

}  // namespace scan
