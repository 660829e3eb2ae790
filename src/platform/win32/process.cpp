// Command line, clock, memory and message box on Windows.
#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32/win32_api.h"

namespace platform {

const char* GetCommandLine() { return ::GetCommandLineA(); }

const char16_t* GetWideCommandLine() {
  return reinterpret_cast<const char16_t*>(::GetCommandLineW());
}

bool ConvertsExactly(const char16_t* text, std::size_t length) {
  if (length == 0) {
    return true;
  }
  const auto* wide = reinterpret_cast<LPCWCH>(text);
  const int units = static_cast<int>(length);  // a command line holds at most 32767
  const UINT codePage = ::GetACP();
  // UTF-8 holds every character, and takes neither flag nor default character: only
  // a lone surrogate has no form there.
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = utf8 ? nullptr : &usedDefault;
  const int size = ::WideCharToMultiByte(codePage, flags, wide, units, nullptr, 0, nullptr, used);
  if (size <= 0) {
    return false;
  }
  // Converted for real too, as only that is sure to report the default character;
  // the bytes may be the key, so they are wiped.
  void* bytes = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(size));
  if (bytes == nullptr) {
    return false;
  }
  usedDefault = FALSE;
  const int converted = ::WideCharToMultiByte(codePage, flags, wide, units,
                                              static_cast<LPSTR>(bytes), size, nullptr, used);
  ::SecureZeroMemory(bytes, static_cast<SIZE_T>(size));
  ::HeapFree(::GetProcessHeap(), 0, bytes);
  return converted == size && usedDefault == FALSE;
}

void WipeCommandLine() {
  // Both forms the system keeps for the process hold the key, and so does the copy
  // the C runtime split into __argv at start.
  char* line = ::GetCommandLineA();
  ::SecureZeroMemory(line, static_cast<SIZE_T>(::lstrlenA(line)));
  wchar_t* wide = ::GetCommandLineW();
  ::SecureZeroMemory(wide, static_cast<SIZE_T>(::lstrlenW(wide)) * sizeof(wchar_t));
  char** arguments = __argv;
  for (int i = 0; arguments != nullptr && i < __argc; ++i) {
    ::SecureZeroMemory(arguments[i], static_cast<SIZE_T>(::lstrlenA(arguments[i])));
  }
}

std::uint32_t GetTickCount() { return ::GetTickCount(); }

std::uint32_t GetNameSeed() { return ::GetTickCount() ^ (::GetCurrentProcessId() << 16U); }

void ShowMessageBox(const char* text, const char* caption) {
  ::MessageBoxA(nullptr, text, caption, MB_OK);
}

void* AllocateZeroed(std::size_t size) {
  return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void ReleaseBlock(void* block, std::size_t /*size*/) { ::HeapFree(::GetProcessHeap(), 0, block); }

}  // namespace platform
