// Starts the built tool as a child process under the limits a case asks for, and
// collects what it writes and how it ends. Shared by the end-to-end and hardening
// suites; a run can be waited for at once or later, so that a test can kill it or
// start several side by side.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace support {

struct Launch {
  std::string program;                   // the file executed
  std::vector<std::string> args;         // argv[1..]
  std::optional<std::string> argv0;      // what the program sees as its path, if not `program`
  std::string directory;                 // the child's working directory
  std::vector<std::string> environment;  // NAME=value entries over the inherited ones
  rlim_t addressSpace = RLIM_INFINITY;   // RLIMIT_AS of the child
  rlim_t fileSize = RLIM_INFINITY;       // RLIMIT_FSIZE of the child
  mode_t umask = 022;
  bool quietErrors = false;   // stderr to /dev/null instead of collected
  bool closedErrors = false;  // stderr a pipe whose reader is gone, as in `2>&1 | true`
  // A guard against a program that blocks, not a measure of its speed: past it the
  // child is killed and reported as timed out.
  int timeoutSeconds = 30;
};

struct Outcome {
  int exitCode = -1;  // -1 unless the child exited normally
  int signal = 0;     // the signal that ended it, if one did
  bool timedOut = false;
  std::string out;
  std::string err;
  long long elapsedMilliseconds = 0;  // wall time from start to end of the child
};

// A started child; Finish waits for it and closes its pipes.
struct Child {
  pid_t pid = -1;
  int outFd = -1;
  int errFd = -1;
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point deadline;
};

// Throws when no child can be started: a test must never go on with a bad pid.
Child Start(const Launch& launch);
Outcome Finish(Child child);
Outcome Run(const Launch& launch);

// The program under test: the one named by the environment variable `variable` when it
// is set (a wrapper that runs the tool under valgrind, for instance), else the build's
// own binary.
std::string ToolPath(const char* variable);

}  // namespace support
