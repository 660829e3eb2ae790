// The job driver: one run from the command line to the report.
#pragma once

#include <cstdint>

#include "app/status.h"

// The whole run: command line, job, report, release. The result is the exit code.
Status RunProgram();

// Shows the message for `status` unless the run is silent.
void ReportStatus(Status status);

// The message box text for `status` into `text` (capacity kReportCapacity);
// false when the status has no text.
inline constexpr std::uint32_t kReportCapacity = 512;
bool FormatReport(Status status, std::uint32_t ioMilliseconds, std::uint32_t cipherMilliseconds,
                  char* text);
