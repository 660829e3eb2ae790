#include "tool_runner.h"

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace e2e {
namespace {

// The Windows build's test run names its box reader and the Wine prefix to run it in.
struct WineSetup {
  std::string boxReader;
  std::string prefix;
};

const std::optional<WineSetup>& Wine() {
  static const std::optional<WineSetup> setup = []() -> std::optional<WineSetup> {
    const char* reader = std::getenv("VELMORAN_E2E_BOX_READER");
    if (reader == nullptr) {
      return std::nullopt;
    }
    const char* prefix = std::getenv("VELMORAN_E2E_WINE_PREFIX");
    if (prefix == nullptr) {
      throw std::runtime_error("VELMORAN_E2E_BOX_READER needs VELMORAN_E2E_WINE_PREFIX");
    }
    return WineSetup{reader, prefix};
  }();
  return setup;
}

// Every Wine prefix maps drive Z: to the root of the Unix tree.
std::string WindowsPath(const std::string& posixPath) {
  std::string path = "Z:" + posixPath;
  for (char& c : path) {
    c = c == '/' ? '\\' : c;
  }
  return path;
}

// The raw command line a Windows shell would hand over for these arguments, formed by
// the rule the tool's scanner reads (and the Linux build forms from argv): an argument
// that is empty or holds a space or tab stands in quotation marks; there is no escape,
// so a quotation mark inside an argument stays as it is.
std::string CommandLine(const std::string& argv0, const std::vector<std::string>& args) {
  std::string line;
  const auto add = [&line](const std::string& arg) {
    if (!line.empty()) {
      line += ' ';
    }
    const bool quoted = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
    line += quoted ? "\"" + arg + "\"" : arg;
  };
  add(argv0);
  for (const std::string& arg : args) {
    add(arg);
  }
  return line;
}

// The box reader's escapes undone: \r \t \n \\ and \xNN.
std::string Unescaped(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    const char kind = text[++i];
    if (kind == 'r') {
      bytes += '\r';
    } else if (kind == 't') {
      bytes += '\t';
    } else if (kind == 'n') {
      bytes += '\n';
    } else if (kind == 'x' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += kind;
    }
  }
  return bytes;
}

// Velmoran.exe started by the box reader under Wine: each box it shows is read, then
// closed with OK, and stands where the native build's standard error would.
Outcome RunUnderWine(const Launch& launch, const WineSetup& wine) {
  if (launch.addressSpace != RLIM_INFINITY || launch.fileSize != RLIM_INFINITY ||
      launch.closedErrors || launch.quietErrors) {
    throw std::invalid_argument("limits and standard error belong to the native build");
  }
  const std::string line =
      CommandLine(launch.argv0.value_or(WindowsPath(launch.program)), launch.args);
  // The line travels in a file: as a Unix argument it would be split and joined again.
  const char* tmp = std::getenv("TMPDIR");
  std::string lineFile = std::string(tmp != nullptr ? tmp : "/tmp") + "/velmoran-line-XXXXXX";
  const int fd = ::mkstemp(lineFile.data());
  if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    throw std::runtime_error("cannot write the command line to " + lineFile);
  }
  ::close(fd);
  Launch reader;
  reader.program = VELMORAN_WINE_RUN;
  reader.args = {wine.prefix, wine.boxReader, WindowsPath(launch.program), WindowsPath(lineFile),
                 WindowsPath(launch.directory)};
  reader.directory = launch.directory;
  reader.umask = launch.umask;
  reader.timeoutSeconds = launch.timeoutSeconds + 30;  // the reader's own limit comes first
  const Outcome raw = support::Run(reader);
  ::unlink(lineFile.c_str());

  Outcome outcome;
  outcome.timedOut = raw.timedOut;
  outcome.signal = raw.signal;
  outcome.elapsedMilliseconds = raw.elapsedMilliseconds;
  bool ended = false;
  std::istringstream report(raw.out);
  for (std::string item; std::getline(report, item);) {
    if (item.rfind("caption ", 0) == 0) {
      outcome.err += Unescaped(item.substr(8)) + ": ";
    } else if (item.rfind("text ", 0) == 0) {
      for (const char c : Unescaped(item.substr(5))) {
        outcome.err += c == '\r' ? '\n' : c;
      }
      outcome.err += '\n';
    } else if (item.rfind("exit ", 0) == 0) {
      outcome.exitCode = std::stoi(item.substr(5));
      ended = true;
    } else if (item == "timeout") {
      outcome.timedOut = true;
      ended = true;
    }
  }
  if (!ended) {  // Wine or the reader failed: show what they said
    outcome.err += "box reader: " + raw.out + raw.err;
  }
  return outcome;
}

}  // namespace

const std::string& ToolPath() {
  static const std::string path = support::ToolPath("VELMORAN_E2E_TOOL");
  return path;
}

bool UnderWine() { return Wine().has_value(); }

Outcome Run(Launch launch) {
  if (launch.program.empty()) {
    launch.program = ToolPath();
    if (Wine()) {
      return RunUnderWine(launch, *Wine());
    }
  }
  return support::Run(launch);
}

std::string MessageOutput(std::string_view text) {
  std::string line = "Velmoran: ";
  for (const char c : text) {
    line += (c == '\r') ? '\n' : c;
  }
  return line + "\n";
}

std::string AbsoluteSpelling(const std::string& path) {
  return UnderWine() ? WindowsPath(path) : path;
}

std::string Inside(const std::string& folder, const std::string& name) {
  return folder + (UnderWine() ? "\\" : "/") + name;
}

}  // namespace e2e
