// The GUI-subsystem entry: no console, one run, its status as the exit code.
#include "app/job.h"
#include "platform/win32/win32_api.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  ::ExitProcess(RunProgram());
}
