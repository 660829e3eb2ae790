#include "tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace e2e {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": errno " + std::to_string(errno));
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void StartChild(const Launch& launch, char* const* argv, int outFd, int errFd) {
  const int in = ::open("/dev/null", O_RDONLY);
  if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0 ||
      ::chdir(launch.directory.c_str()) != 0) {
    ::_exit(126);
  }
  ::umask(launch.umask);
  // The tool must cope with these limits itself: SIGXFSZ keeps its default action
  // (terminate) unless the tool changes it.
  ::signal(SIGXFSZ, SIG_DFL);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const rlimit as{launch.addressSpace, launch.addressSpace};
  const rlimit fsize{launch.fileSize, launch.fileSize};
  if (::setrlimit(RLIMIT_AS, &as) != 0 || ::setrlimit(RLIMIT_FSIZE, &fsize) != 0) {
    ::_exit(126);
  }
  ::execv(ToolPath().c_str(), argv);
  ::_exit(127);
}

// Drains both pipes until they close or the deadline passes.
bool Collect(int outFd, int errFd, std::string& out, std::string& err,
             std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
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

}  // namespace

const std::string& ToolPath() {
  static const std::string path = [] {
    const char* chosen = std::getenv("VELMORAN_E2E_TOOL");
    return std::string(chosen != nullptr ? chosen : VELMORAN_TOOL_PATH);
  }();
  return path;
}

Outcome Run(const Launch& launch) {
  std::vector<std::string> words;
  words.push_back(launch.argv0.value_or(ToolPath()));
  words.insert(words.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    Fail("pipe2");
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) {
    Fail("fork");
  }
  if (child == 0) {
    StartChild(launch, argv.data(), outPipe[1], errPipe[1]);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  Outcome outcome;
  const auto deadline = start + std::chrono::seconds(launch.timeoutSeconds);
  if (!Collect(outPipe[0], errPipe[0], outcome.out, outcome.err, deadline)) {
    outcome.timedOut = true;
    ::kill(child, SIGKILL);
  }
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      Fail("waitpid");
    }
  }
  outcome.elapsedMilliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
  if (WIFEXITED(status)) {
    outcome.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

std::string MessageOutput(std::string_view text) {
  std::string line = "Velmoran: ";
  for (const char c : text) {
    line += (c == '\r') ? '\n' : c;
  }
  return line + "\n";
}

}  // namespace e2e
