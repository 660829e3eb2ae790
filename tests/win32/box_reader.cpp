#include "box_reader.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace boxreader {

namespace {

// The control identifier of a message box's text (a static control).
constexpr int kTextControl = 0xFFFF;
constexpr UINT kMessageTimeoutMs = 5000;

// A window's text through WM_GETTEXT, which the system carries across processes.
std::string TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &length)) {
    return {};
  }
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
    return {};
  }
  text.resize(copied);
  return text;
}

// The shown message box of process `pid` that has not been read yet, or nullptr.
// Other programs' boxes (tests run in parallel) are passed over.
HWND FindBox(DWORD pid, const std::vector<HWND>& dismissed) {
  HWND window = nullptr;
  while ((window = ::FindWindowExA(nullptr, window, "#32770", "Velmoran")) != nullptr) {
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != pid || !::IsWindowVisible(window)) {
      continue;  // not ours, or still being set up
    }
    bool seen = false;
    for (HWND old : dismissed) {
      seen = seen || old == window;
    }
    if (!seen) {
      return window;
    }
  }
  return nullptr;
}

}  // namespace

Run RunProgram(const std::string& program, const std::string& commandLine,
               const std::string& directory, unsigned long timeoutMs) {
  Run run;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = commandLine;  // CreateProcessA may write into it
  // The program is named apart from the line, so the line reaches it unparsed, odd
  // quotation marks in argument 0 included.
  if (!::CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    return run;
  }
  run.started = true;
  ::CloseHandle(process.hThread);

  std::vector<HWND> dismissed;
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    if (HWND box = FindBox(process.dwProcessId, dismissed); box != nullptr) {
      Box read;
      char caption[256] = {};
      ::GetWindowTextA(box, caption, sizeof caption);
      read.caption = caption;
      if (HWND text = ::GetDlgItem(box, kTextControl); text != nullptr) {
        read.text = TextOf(text);
      }
      run.boxes.push_back(read);
      dismissed.push_back(box);
      // As a click on OK: the dialog ends itself on its IDOK command.
      ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    }
    if (::WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) {
      run.finished = true;
      break;
    }
    if (::GetTickCount64() > deadline) {
      ::TerminateProcess(process.hProcess, 255);
      ::WaitForSingleObject(process.hProcess, INFINITE);
      break;
    }
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  run.exitCode = code;
  ::CloseHandle(process.hProcess);
  return run;
}

}  // namespace boxreader
