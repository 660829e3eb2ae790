// Starts the built tool as a child process and collects what the user would see.
//
// This is the one place that knows how the tool is launched and how its message
// boxes reach us, so the same cases can later drive another build (for example the
// Windows one under Wine) by replacing only this runner.
#pragma once

#include <string>
#include <string_view>

#include "tool_process.h"

namespace e2e {

using support::Launch;
using support::Outcome;

// The tool under test: VELMORAN_E2E_TOOL when set, else the build's own binary.
const std::string& ToolPath();

// Runs the tool (unless the launch names another program) to its end.
Outcome Run(Launch launch);

// What the tool writes for a message box with `text`: caption, the text with each
// carriage return as a line feed, and a final line feed.
std::string MessageOutput(std::string_view text);

}  // namespace e2e
