// Where the system keeps the command line in UTF-16 as well (Windows), the 8-bit line
// the tool works on was converted with best fit: a character the code page lacks
// becomes a look-alike or '?', so `ａ.bin` names `a.bin` and the key `пароль` reads
// `??????`. Every argument of the UTF-16 line, split by the same rules, must therefore
// have an exact form in the code page; one that has not is refused, never mapped to
// something else.
#include "app/job_settings.h"
#include "cmdline/command_line.h"
#include "cmdline/scan_rules.h"
#include "platform/platform.h"

namespace {

// Characters, not UTF-16 units: a surrogate pair is one.
std::size_t CharacterCount(const char16_t* text, const char16_t* end) {
  std::size_t count = 0;
  for (; text != end; ++text) {
    const bool trailSurrogate = *text >= 0xDC00 && *text <= 0xDFFF;
    count += trailSurrogate ? 0U : 1U;
  }
  return count;
}

// The status of a key argument that cannot be held: only a key that is used counts.
Status KeyStatus(std::uint32_t flags) {
  if ((flags & FlagKeyFile) != 0) {
    return kStatusKeyFileOpen;
  }
  return (flags & FlagKeyString) != 0 ? kStatusKeyExpected : kStatusSuccess;
}

// The status of positional argument `number` that cannot be held, by its role; 0
// where it has none that is used.
Status RoleStatus(std::uint32_t flags, std::uint32_t number) {
  const bool copy = (flags & FlagCopy) != 0;
  switch (number) {
    case 1: return kStatusSourceOpen;
    case 2: return copy ? kStatusDestinationCreate : KeyStatus(flags);
    case 3: return copy ? KeyStatus(flags) : kStatusSuccess;
    default: return kStatusSuccess;
  }
}

}  // namespace

Status CheckArgumentsConvertExactly(std::uint32_t flags) {
  const char16_t* line = platform::GetWideCommandLine();
  if (line == nullptr) {
    return kStatusSuccess;
  }
  std::size_t length = 0;
  while (line[length] != u'\0') {
    ++length;
  }
  // One argument at a time, in a buffer of the line's size; it may hold the key.
  HeapBlock buffer = HeapBlock::Allocate((length + 1) * sizeof(char16_t), true);
  if (!buffer) {
    return kStatusNoMemory;
  }
  auto* argument = reinterpret_cast<char16_t*>(buffer.Bytes());
  // The program's own path is not checked: the tool never opens it.
  const char16_t* p = scan::SkipSeparators(scan::SkipArgument(scan::SkipSeparators(line)));
  std::uint32_t positional = 1;
  while (*p != u'\0') {
    char16_t* end = argument;
    p = scan::SkipSeparators(scan::CopyArgument(p, argument, end));
    // Best fit makes switches too: -ｓ reads -s.
    const bool isSwitch = CharacterCount(argument, end) == 2;
    const Status refusal = isSwitch ? kStatusUnknownFlag : RoleStatus(flags, positional);
    positional += isSwitch ? 0U : 1U;
    if (refusal != kStatusSuccess &&
        !platform::ConvertsExactly(argument, static_cast<std::size_t>(end - argument))) {
      return refusal;
    }
  }
  return kStatusSuccess;
}
