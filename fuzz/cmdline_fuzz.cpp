// Any bytes as the raw command line, through the scanner and the interpreter over the
// fake platform. Everything before the first NUL is the line; the bytes after it pick
// which heap allocation fails, so the status-4 paths are fuzzed as well.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/job_settings.h"
#include "cmdline/command_line.h"
#include "fake_platform.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& line) {
  std::fprintf(stderr, "invariant broken: %s\nline (%zu bytes): ", what, line.size());
  for (const char c : line) {
    std::fprintf(stderr, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

void Check(bool holds, const char* what, const std::string& line) {
  if (!holds) {
    Fail(what, line);
  }
}

// The line split as a user reads it, written apart from the scanner: a quotation mark
// toggles quoting and vanishes, a space or tab outside quotes ends the argument, a tab
// inside quotes reads as a space, separators at either end start nothing.
struct Split {
  bool unbalanced = false;
  bool silentBeforeFirstQuote = false;  // only where unbalanced
  std::vector<std::string> arguments;
};

// Unpaired quotation marks: the words before the first quotation mark that follows the
// program path (a quoted program path runs to its closing mark), each whole, as long
// as they are two characters long; one of them ending in s asks for silence.
bool ReferenceSilent(const std::string& line) {
  std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) {
    return false;
  }
  if (line[start] == '"') {
    start = line.find('"', start + 1);
    if (start == std::string::npos) {
      return false;
    }
  }
  const std::size_t quote = line.find('"', start + (line[start] == '"' ? 1 : 0));
  const std::string before = line.substr(0, quote);
  std::vector<std::string> words;
  std::string word;
  for (std::size_t i = start; i <= before.size(); ++i) {
    if (i == before.size() || before[i] == ' ' || before[i] == '\t') {
      if (!word.empty()) {
        words.push_back(word);
      }
      word.clear();
    } else {
      word += before[i];
    }
  }
  // The last word touches the quotation mark unless a separator stands between them.
  const bool lastCut =
      quote != std::string::npos && quote > 0 && line[quote - 1] != ' ' && line[quote - 1] != '\t';
  if (lastCut && !words.empty()) {
    words.pop_back();
  }
  for (std::size_t i = 1; i < words.size() && words[i].size() == 2; ++i) {
    if (words[i][1] == 's') {
      return true;
    }
  }
  return false;
}

Split ReferenceSplit(const std::string& line) {
  Split split;
  std::size_t quotes = 0;
  for (const char c : line) {
    quotes += c == '"' ? 1U : 0U;
  }
  if (quotes % 2 != 0) {
    split.unbalanced = true;
    split.silentBeforeFirstQuote = ReferenceSilent(line);
    return split;
  }
  bool inArgument = false;
  bool quoted = false;
  for (const char c : line) {
    const bool separator = c == ' ' || c == '\t';
    if (separator && !quoted) {
      inArgument = false;
      continue;
    }
    if (!inArgument) {
      split.arguments.emplace_back();
      inArgument = true;
    }
    if (c == '"') {
      quoted = !quoted;
    } else {
      split.arguments.back() += separator ? ' ' : c;
    }
  }
  return split;
}

// What the interpreter must leave behind, derived from the reference split by the
// rules of the command-line stage.
struct Expected {
  Status status = 0;
  std::uint32_t flags = 0;
  const std::string* source = nullptr;
  const std::string* destination = nullptr;
  const std::string* key = nullptr;
};

Expected ReferenceParse(const Split& split, int failingAllocation) {
  Expected e;
  int allocations = 1;  // the interpreter's own argument buffer comes first
  if (failingAllocation == 1) {
    e.status = kStatusNoMemory;
    return e;
  }
  const std::size_t count = split.arguments.size();
  Status result = 0;
  std::size_t positional = 1;
  for (std::size_t i = 1; result == 0; ++i) {
    if (split.unbalanced) {
      result = kStatusUnmatchedQuotes;
      e.flags = split.silentBeforeFirstQuote ? FlagSilent : 0;
    } else if (i >= count) {
      result = i == 1 ? kStatusUsage : positional == 1 ? kStatusSourceExpected : EndOfArguments;
    } else if (split.arguments[i].empty()) {
      result = i == 1 ? kStatusUsage : kStatusEmptyArgument;
    } else if (split.arguments[i].size() == 2) {
      if (positional > 1) {
        result = kStatusArgumentOrder;
      } else {
        switch (split.arguments[i][1]) {
          case 'k': e.flags |= FlagKeyString; break;
          case 'f': e.flags |= FlagKeyFile; break;
          case 's': e.flags |= FlagSilent; break;
          case 'c': e.flags |= FlagCopy; break;
          case 'm': e.flags |= FlagXOrData; break;
          default: result = kStatusUnknownFlag; break;
        }
      }
    } else {
      const bool copy = (e.flags & FlagCopy) != 0;
      const std::string** role = nullptr;
      if (positional == 1) {
        role = &e.source;
      } else if (positional == 2) {
        role = copy ? &e.destination : &e.key;
      } else if (positional == 3 && copy) {
        role = &e.key;
      }
      if (role == nullptr) {
        result = kStatusTooManyArguments;
      } else {
        if (++allocations == failingAllocation) {
          e.status = kStatusNoMemory;
          return e;
        }
        *role = &split.arguments[i];
      }
      ++positional;
    }
  }
  if (e.destination == nullptr && (e.flags & FlagCopy) != 0) {
    e.status = kStatusDestinationExpected;
  } else {
    if ((e.flags & FlagKeyString) != 0 && (e.flags & FlagKeyFile) != 0) {
      e.flags &= ~FlagKeyString;
    }
    if (e.key == nullptr && (e.flags & (FlagKeyString | FlagKeyFile)) != 0) {
      e.status = kStatusKeyExpected;
    } else {
      e.status = result == EndOfArguments ? kStatusSuccess : result;
    }
  }
  return e;
}

bool AllowedStatus(Status status) {
  switch (status) {
    case 0:
    case 1:
    case 4:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 16:
    case 17: return true;
    default: return false;
  }
}

std::string Text(const HeapBlock& block) { return block ? std::string(block.Text()) : "<none>"; }
std::string Text(const std::string* value) { return value != nullptr ? *value : "<none>"; }

constexpr char kUntouched = '\x7F';

// Every argument index up to one past the last, each into a buffer of exactly the
// size the scanner is promised, so any overrun is a sanitizer report.
void CheckScanner(const std::string& line, const Split& split) {
  const std::size_t count = split.arguments.size();
  const std::size_t lastIndex = split.unbalanced ? 2 : count + 1;
  for (std::size_t index = 0; index <= lastIndex; ++index) {
    const std::unique_ptr<char[]> out(new char[line.size() + 1]);
    std::memset(out.get(), kUntouched, line.size() + 1);
    const ArgResult result =
        ScanArgument(line.c_str(), static_cast<std::uint32_t>(index), out.get());
    if (split.unbalanced) {
      Check(result == ArgUnbalancedQuotes, "an odd number of quotes is ArgUnbalancedQuotes", line);
      for (std::size_t i = 0; i <= line.size(); ++i) {
        Check(out[i] == kUntouched, "the output stays untouched on unbalanced quotes", line);
      }
      continue;
    }
    const std::string argument(out.get(), strnlen(out.get(), line.size() + 1));
    Check(argument.size() <= line.size(), "the output is terminated within its buffer", line);
    Check(argument.find('"') == std::string::npos, "no quotation mark in an argument", line);
    if (index >= count) {
      Check(result == ArgMissing && argument.empty(), "past the last argument: ArgMissing", line);
    } else {
      const std::string& reference = split.arguments[index];
      Check(result == (reference.empty() ? ArgEmpty : ArgFound), "found or empty as split", line);
      Check(argument == reference, "the argument matches the reference split", line);
    }
  }
}

void CheckInterpreter(const std::string& line, const Split& split, int failingAllocation) {
  const Expected expected = ReferenceParse(split, failingAllocation);
  ResetJobSettings();
  fake::State& state = fake::Reset();
  state.commandLine = line;
  // The key must be wiped from every block before release; only checkable where the
  // key's bytes do not also stand in a path, which is never wiped.
  if (expected.key != nullptr && !expected.key->empty() &&
      Text(expected.source).find(*expected.key) == std::string::npos &&
      Text(expected.destination).find(*expected.key) == std::string::npos) {
    state.secret = *expected.key;
  }
  if (failingAllocation > 0) {
    fake::InjectFault(fake::Call::Allocate, failingAllocation);
  }
  const Status status = ParseCommandLine();
  Check(AllowedStatus(status), "the status is one the command-line stage may give", line);
  Check(status == expected.status, "the status matches the reference interpreter", line);
  const JobSettings& job = Job();
  for (const auto& argument : {&job.SourcePath, &job.DestinationPath, &job.KeyArgument}) {
    Check(Text(*argument).find('"') == std::string::npos, "no quotation mark in a field", line);
  }
  if (status != kStatusNoMemory) {
    Check(job.Flags == expected.flags, "the flags match the reference interpreter", line);
    Check(Text(job.SourcePath) == Text(expected.source), "the source path matches", line);
    Check(Text(job.DestinationPath) == Text(expected.destination), "the destination matches", line);
    Check(Text(job.KeyArgument) == Text(expected.key), "the key argument matches", line);
  }
  Check(state.openFiles == 0 && state.openFolders == 0, "the parser touches no file", line);
  ResetJobSettings();
  Check(state.liveBlocks.empty(), "every block is released", line);
  Check(state.releasedTwice == 0, "no block is released twice", line);
  Check(state.releasedWithWrongSize == 0, "blocks are released with their own size", line);
  Check(state.unwipedSecretReleases == 0, "key bytes are wiped before release", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const std::size_t end = strnlen(bytes, size);
  const std::string line(bytes, end);
  // The byte after the line's NUL, if any, names the allocation that fails (0: none).
  const int failingAllocation = end + 1 < size ? data[end + 1] % 8 : 0;

  const Split split = ReferenceSplit(line);
  CheckScanner(line, split);
  CheckInterpreter(line, split, failingAllocation);
  return 0;
}
