#include <csignal>
#include <cstdlib>

#include "app/job.h"
#include "platform/linux/arguments.h"

int main(int argc, char** argv) {
  // A write past a file-size limit must fail like any other write, not kill the
  // process halfway through a replacement.
  std::signal(SIGXFSZ, SIG_IGN);
  platform::posix::SetArguments(argc, argv);
  std::exit(static_cast<int>(RunProgram()));
}
