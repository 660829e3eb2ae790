// Runs Velmoran.exe the way a user's shell would, with a raw command line, and reads
// back every message box it shows, as a user would see it, before pressing OK.
#pragma once

#include <string>
#include <vector>

namespace boxreader {

struct Box {
  std::string caption;
  std::string text;  // byte for byte: CR separators, tabs
};

struct Run {
  bool started = false;   // CreateProcessA succeeded
  bool finished = false;  // the program ended within the time allowed
  unsigned long exitCode = 0;
  std::vector<Box> boxes;  // in the order they appeared
};

// Starts `program` with exactly `commandLine` as its command line (argument 0
// included, quoted or not), in `directory` (empty: this one). Each box is read once it
// is shown, then dismissed with OK. A program still running after `timeoutMs` is
// ended and reported as not finished.
Run RunProgram(const std::string& program, const std::string& commandLine,
               const std::string& directory, unsigned long timeoutMs = 30000);

}  // namespace boxreader
