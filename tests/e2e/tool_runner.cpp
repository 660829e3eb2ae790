#include "tool_runner.h"

namespace e2e {

const std::string& ToolPath() {
  static const std::string path = support::ToolPath("VELMORAN_E2E_TOOL");
  return path;
}

Outcome Run(Launch launch) {
  if (launch.program.empty()) {
    launch.program = ToolPath();
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

}  // namespace e2e
