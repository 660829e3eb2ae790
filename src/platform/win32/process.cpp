// Command line, clock, memory and message box on Windows.
#include "platform/platform.h"
#include "platform/win32/win32_api.h"

namespace platform {

const char* GetCommandLine() { return ::GetCommandLineA(); }

void WipeCommandLine() {
  // Both forms the system keeps for the process hold the key.
  char* line = ::GetCommandLineA();
  ::SecureZeroMemory(line, static_cast<SIZE_T>(::lstrlenA(line)));
  wchar_t* wide = ::GetCommandLineW();
  ::SecureZeroMemory(wide, static_cast<SIZE_T>(::lstrlenW(wide)) * sizeof(wchar_t));
}

std::uint32_t GetTickCount() { return ::GetTickCount(); }

void ShowMessageBox(const char* text, const char* caption) {
  ::MessageBoxA(nullptr, text, caption, MB_OK);
}

void* AllocateZeroed(std::size_t size) {
  return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void ReleaseBlock(void* block, std::size_t /*size*/) { ::HeapFree(::GetProcessHeap(), 0, block); }

}  // namespace platform
