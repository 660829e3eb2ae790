#include <csignal>
#include <cstdlib>

#include "app/job.h"
#include "platform/linux/arguments.h"

int main(int argc, char** argv) {
  // A write past a file-size limit must fail like any other write, not kill the
  // process halfway through a replacement.
  std::signal(SIGXFSZ, SIG_IGN);
  // The report goes to standard error; a reader that has gone away (`2>&1 | true`)
  // must not turn a finished run into a killed one: the exit code is the status.
  std::signal(SIGPIPE, SIG_IGN);
  platform::posix::SetArguments(argc, argv);
  std::exit(static_cast<int>(RunProgram()));
}
