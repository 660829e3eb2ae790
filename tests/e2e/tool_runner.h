// Starts the built tool as a child process and collects what the user would see.
//
// This is the one place that knows how the tool is launched and how its message
// boxes reach us, so the same cases drive either build: the native one by fork and
// exec, reading standard error; or, when VELMORAN_E2E_BOX_READER names the box reader
// of the Windows build, Velmoran.exe under Wine, with a raw command line formed from
// the arguments, reading its message boxes.
#pragma once

#include <string>
#include <string_view>

#include "tool_process.h"

namespace e2e {

using support::Launch;
using support::Outcome;

// The tool under test: VELMORAN_E2E_TOOL when set, else the build's own binary.
const std::string& ToolPath();

// Whether the tool under test is the Windows build, run under Wine.
bool UnderWine();

// Runs the tool (unless the launch names another program) to its end.
Outcome Run(Launch launch);

// What the tool writes for a message box with `text`: caption, the text with each
// carriage return as a line feed, and a final line feed.
std::string MessageOutput(std::string_view text);

// The absolute folder `path` as the build under test spells it on a command line:
// unchanged natively, drive-absolute (Z:\...) under Wine.
std::string AbsoluteSpelling(const std::string& path);

// `name` inside `folder`, joined as the build under test writes paths.
std::string Inside(const std::string& folder, const std::string& name);

}  // namespace e2e
