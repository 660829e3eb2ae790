// Starts the built tool as a child process and collects what the user would see.
//
// This is the one place that knows how the tool is launched and how its message
// boxes reach us, so the same cases can later drive another build (for example the
// Windows one under Wine) by replacing only this runner.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

struct Launch {
  std::vector<std::string> args;        // argv[1..]
  std::string directory;                // the child's working directory
  std::optional<std::string> argv0;     // what the tool sees as its program path
  rlim_t addressSpace = RLIM_INFINITY;  // RLIMIT_AS of the child
  rlim_t fileSize = RLIM_INFINITY;      // RLIMIT_FSIZE of the child
  mode_t umask = 022;
  int timeoutSeconds = 30;  // a tool that blocks is killed and reported as timed out
};

struct Outcome {
  int exitCode = -1;  // -1 unless the child exited normally
  int signal = 0;     // the signal that ended it, if one did
  bool timedOut = false;
  std::string out;
  std::string err;
  long long elapsedMilliseconds = 0;  // wall time from start to end of the child
};

// The tool under test: VELMORAN_E2E_TOOL when set, else the build's own binary.
const std::string& ToolPath();

Outcome Run(const Launch& launch);

// What the tool writes for a message box with `text`: caption, the text with each
// carriage return as a line feed, and a final line feed.
std::string MessageOutput(std::string_view text);

}  // namespace e2e
