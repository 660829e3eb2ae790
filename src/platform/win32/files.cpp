// Reading files, and what a file is, on Windows.
#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/win32_api.h"

namespace platform {

using win32::AsHandle;
using win32::LastError;

namespace win32 {

void Describe(HANDLE file, const BY_HANDLE_FILE_INFORMATION& status, FileInfo& info) {
  constexpr DWORD kNotAFile =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
  info.regular =
      (status.dwFileAttributes & kNotAFile) == 0 && ::GetFileType(file) == FILE_TYPE_DISK;
  info.readOnly = (status.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.ownedByUser = true;  // who may touch the file is its access list's business here
  info.links = status.nNumberOfLinks;
  info.id = {status.dwVolumeSerialNumber,
             (static_cast<std::uint64_t>(status.nFileIndexHigh) << 32U) | status.nFileIndexLow};
  info.mode = status.dwFileAttributes;
}

}  // namespace win32

Error OpenForReading(const char* path, FileHandle& file) {
  // Other programs may read the file meanwhile, but not change it.
  HANDLE opened = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  // A pipe, console or device (NUL, COM1) is no file to encrypt.
  if (::GetFileType(opened) != FILE_TYPE_DISK) {
    ::CloseHandle(opened);
    return Error::NotSupported;
  }
  file = reinterpret_cast<FileHandle>(opened);
  return Error::None;
}

Error ProbeWriteAccess(const char* path) {
  // The attribute first: Wine running as root opens a read-only file for writing,
  // where Windows refuses.
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return LastError();
  }
  if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return Error::AccessDenied;
  }
  // Share mode 0: a file another program has open fails here too.
  HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  ::CloseHandle(file);
  return Error::None;
}

Error GetFileSize(FileHandle file, std::uint64_t& size) {
  DWORD high = 0;
  ::SetLastError(NO_ERROR);
  const DWORD low = ::GetFileSize(AsHandle(file), &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
    return LastError();
  }
  size = (static_cast<std::uint64_t>(high) << 32U) | low;
  return Error::None;
}

Error ReadFile(FileHandle file, void* buffer, std::uint32_t length, std::uint32_t& moved) {
  DWORD count = 0;
  if (!::ReadFile(AsHandle(file), buffer, length, &count, nullptr)) {
    return LastError();
  }
  moved = count;
  return Error::None;
}

Error ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t length,
             std::uint32_t& moved) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32U);
  DWORD count = 0;
  if (!::ReadFile(AsHandle(file), buffer, length, &count, &at)) {
    if (::GetLastError() != ERROR_HANDLE_EOF) {
      return LastError();
    }
    count = 0;  // a read at or past the end
  }
  moved = count;
  return Error::None;
}

Error GetFileInfo(FileHandle file, FileInfo& info) {
  BY_HANDLE_FILE_INFORMATION status{};
  if (!::GetFileInformationByHandle(AsHandle(file), &status)) {
    return LastError();
  }
  win32::Describe(AsHandle(file), status, info);
  return Error::None;
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) {
    ::CloseHandle(AsHandle(file));
  }
}

}  // namespace platform
