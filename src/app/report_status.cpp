#include "app/job.h"
#include "app/job_settings.h"
#include "platform/platform.h"

namespace {

class TextWriter {
 public:
  explicit TextWriter(char* text) : start_(text), end_(text) {}
  void Append(const char* piece) {
    while (*piece != '\0' && end_ - start_ < kReportCapacity - 1) {
      *end_++ = *piece++;
    }
    *end_ = '\0';
  }
  // Unsigned decimal, as %lu would print it.
  void AppendNumber(std::uint32_t value) {
    char digits[11] = {};
    int at = 10;
    do {
      digits[--at] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    Append(digits + at);
  }

 private:
  char* start_;
  char* end_;
};

}  // namespace

bool FormatReport(Status status, std::uint32_t ioMilliseconds, std::uint32_t cipherMilliseconds,
                  char* text) {
  TextWriter writer(text);
  if (status == kStatusSuccess) {
    writer.Append("Encryption/decryption successful.\r\rTime used for file input/output: ");
    writer.AppendNumber(ioMilliseconds);
    writer.Append(" milliseconds\rTime used for encryption/decryption: ");
    writer.AppendNumber(cipherMilliseconds);
    writer.Append(" milliseconds");
    return true;
  }
  const char* message = StatusMessage(status);
  if (message == nullptr) {
    return false;
  }
  writer.Append(message);
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
