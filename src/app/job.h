// The job driver: one run from the command line to the report.
#pragma once

#include <cstdint>

#include "app/status.h"
#include "platform/heap_block.h"

// The whole run: command line, job, report, release. The result is the exit code.
Status RunProgram();

// Reads the regular file at `path` whole into a new zero-filled block. With
// `probeWriteAccess` the file must also be writable (19 otherwise).
// Statuses: 0, 2, 4, 5, 7, 14, 19. `secret` blocks are wiped when released.
Status ReadWholeFile(const char* path, bool probeWriteAccess, bool secret, HeapBlock& block,
                     std::uint32_t& length);

// Puts a prefix of the written buffer back as it was before the cipher pass.
using RestoreOriginal = void (*)(std::uint8_t* data, std::uint32_t length);

// Replaces the file at `path` with `buffer`, never truncating it before the new
// content is complete. Where it has to be overwritten in place and that fails,
// `restore` (when given) recovers the original bytes, which are written back.
// Statuses: 0, 3, 6, 15.
Status WriteWholeFile(const char* path, std::uint8_t* buffer, std::uint32_t length,
                      RestoreOriginal restore);

// Shows the message for `status` unless the run is silent.
void ReportStatus(Status status);

// The message box text for `status` into `text` (capacity kReportCapacity);
// false when the status has no text.
inline constexpr std::uint32_t kReportCapacity = 512;
bool FormatReport(Status status, std::uint32_t ioMilliseconds, std::uint32_t cipherMilliseconds,
                  char* text);
