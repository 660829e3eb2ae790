// Reading files on Windows.
#include "platform/platform.h"
#include "platform/win32/win32_api.h"

namespace platform {

namespace {

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

FileHandle OpenForReading(const char* path) {
  // Other programs may read the file meanwhile, but not change it.
  HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return kInvalidFile;
  }
  // A pipe, console or device (NUL, COM1) is no file to encrypt.
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(file);
}

bool ProbeWriteAccess(const char* path) {
  // The attribute first: Wine running as root opens a read-only file for writing,
  // where Windows refuses.
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return false;
  }
  // Share mode 0: a file another program has open fails here too.
  HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  ::CloseHandle(file);
  return true;
}

bool GetFileSize(FileHandle file, std::uint64_t& size) {
  DWORD high = 0;
  ::SetLastError(NO_ERROR);
  const DWORD low = ::GetFileSize(AsHandle(file), &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
    return false;
  }
  size = (static_cast<std::uint64_t>(high) << 32U) | low;
  return true;
}

std::int64_t ReadFile(FileHandle file, void* buffer, std::uint32_t length) {
  DWORD moved = 0;
  if (!::ReadFile(AsHandle(file), buffer, length, &moved, nullptr)) {
    return -1;
  }
  return moved;
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) {
    ::CloseHandle(AsHandle(file));
  }
}

}  // namespace platform
