#include "app/job_settings.h"

namespace {
JobSettings g_job;
}  // namespace

JobSettings& Job() { return g_job; }

void ResetJobSettings() {
  g_job.Release();
  g_job = JobSettings{};
}
