#include "tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace support {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": errno " + std::to_string(errno));
}

// The launch's own entries replace inherited ones of the same name.
std::vector<std::string> Environment(const std::vector<std::string>& own) {
  std::vector<std::string> entries = own;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);  // "NAME=", or none
    const bool replaced =
        !name.empty() && std::any_of(own.begin(), own.end(),
                                     [&](const auto& mine) { return mine.rfind(name, 0) == 0; });
    if (!replaced) {
      entries.push_back(entry);
    }
  }
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) {
    pointers.push_back(word.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// Drains the pipes until they close or the deadline passes; an fd of -1 is none.
bool Collect(int outFd, int errFd, Outcome& outcome,
             std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open = (outFd >= 0 ? 1 : 0) + (errFd >= 0 ? 1 : 0);
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail("poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

// Waits for the child; a child that outlives its pipes is still bound by the deadline.
int Reap(const Child& child, Outcome& outcome) {
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child.pid, &status, outcome.timedOut ? 0 : WNOHANG);
    if (done == child.pid) {
      return status;
    }
    if (done < 0 && errno != EINTR) {
      Fail("waitpid");
    }
    if (done == 0) {
      if (std::chrono::steady_clock::now() >= child.deadline) {
        outcome.timedOut = true;
        ::kill(child.pid, SIGKILL);
      } else {
        ::usleep(200);
      }
    }
  }
}

}  // namespace

Child Start(const Launch& launch) {
  if (launch.program.empty()) {
    throw std::invalid_argument("no program to start");
  }
  // Everything the child needs is made before fork: after it, only calls that are safe
  // in the child of a threaded process.
  std::vector<std::string> words{launch.argv0.value_or(launch.program)};
  words.insert(words.end(), launch.args.begin(), launch.args.end());
  const std::vector<char*> argv = Pointers(words);
  std::vector<std::string> entries = Environment(launch.environment);
  const std::vector<char*> envp = Pointers(entries);
  const rlimit as{launch.addressSpace, launch.addressSpace};
  const rlimit fsize{launch.fileSize, launch.fileSize};

  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull < 0) {
    Fail("open /dev/null");
  }
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (::pipe2(outPipe, O_CLOEXEC) != 0 ||
      (!launch.quietErrors && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
    Fail("pipe2");
  }
  if (launch.closedErrors) {
    ::close(errPipe[0]);
    errPipe[0] = -1;
  }
  Child child;
  child.started = std::chrono::steady_clock::now();
  child.deadline = child.started + std::chrono::seconds(launch.timeoutSeconds);
  child.pid = ::fork();
  if (child.pid < 0) {
    Fail("fork");
  }
  if (child.pid == 0) {
    if (::dup2(devNull, STDIN_FILENO) < 0 || ::dup2(outPipe[1], STDOUT_FILENO) < 0 ||
        ::dup2(launch.quietErrors ? devNull : errPipe[1], STDERR_FILENO) < 0 ||
        ::chdir(launch.directory.c_str()) != 0) {
      ::_exit(126);
    }
    ::umask(launch.umask);
    // The tool must cope with these limits itself: a write past the file-size limit
    // ends it unless it changes SIGXFSZ's default action.
    ::signal(SIGXFSZ, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);  // a test runner may ignore it, and exec keeps that
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::setrlimit(RLIMIT_AS, &as) != 0 || ::setrlimit(RLIMIT_FSIZE, &fsize) != 0) {
      ::_exit(126);
    }
    ::execve(launch.program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(devNull);
  ::close(outPipe[1]);
  child.outFd = outPipe[0];
  if (!launch.quietErrors) {
    ::close(errPipe[1]);
    child.errFd = errPipe[0];  // -1 for a closed pipe: nothing to collect
  }
  return child;
}

Outcome Finish(Child child) {
  Outcome outcome;
  if (!Collect(child.outFd, child.errFd, outcome, child.deadline)) {
    outcome.timedOut = true;
    ::kill(child.pid, SIGKILL);
  }
  ::close(child.outFd);
  if (child.errFd >= 0) {
    ::close(child.errFd);
  }
  const int status = Reap(child, outcome);
  outcome.elapsedMilliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - child.started)
                                    .count();
  if (WIFEXITED(status)) {
    outcome.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

Outcome Run(const Launch& launch) { return Finish(Start(launch)); }

std::string ToolPath(const char* variable) {
  const char* chosen = std::getenv(variable);
  return chosen != nullptr ? chosen : VELMORAN_TOOL_PATH;
}

}  // namespace support
