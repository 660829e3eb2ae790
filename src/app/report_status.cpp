#include <cstdio>

#include "app/job.h"
#include "app/job_settings.h"
#include "platform/platform.h"

bool FormatReport(Status status, std::uint32_t ioMilliseconds, std::uint32_t cipherMilliseconds,
                  char* text) {
  if (status == kStatusSuccess) {
    std::snprintf(text, kReportCapacity,
                  "Encryption/decryption successful.\r\rTime used for file input/output: %lu "
                  "milliseconds\rTime used for encryption/decryption: %lu milliseconds",
                  static_cast<unsigned long>(ioMilliseconds),
                  static_cast<unsigned long>(cipherMilliseconds));
    return true;
  }
  const char* message = StatusMessage(status);
  if (message == nullptr) {
    return false;
  }
  std::snprintf(text, kReportCapacity, "%s", message);
  return true;
}

void ReportStatus(Status status) {
  const JobSettings& job = Job();
  if ((job.Flags & FlagSilent) != 0) {
    return;
  }
  // Unsigned 32-bit differences stay right when the tick counter wraps between stamps.
  const std::uint32_t io = (job.TickRead - job.TickStart) + (job.TickWritten - job.TickCiphered);
  const std::uint32_t cipher = job.TickCiphered - job.TickRead;
  char text[kReportCapacity] = {};
  if (FormatReport(status, io, cipher, text)) {
    platform::ShowMessageBox(text, DefaultKey);
  }
}
