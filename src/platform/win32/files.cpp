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

// Windows locks byte ranges of a handle, and every handle of this file that a run opens
// (the exclusive probe, the destination opened without sharing) would conflict with
// one held for the whole run. The lock is a named object instead, named after the
// file's identity (volume serial number and file index), in the namespace all sessions
// share: it exists while a run holds it, and goes with that run's process.
Error OpenLock(const char* path, FileHandle& lock, FileId& locked) {
  HANDLE file = ::CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  BY_HANDLE_FILE_INFORMATION status{};
  const BOOL described = ::GetFileInformationByHandle(file, &status);
  const Error error = described ? Error::None : LastError();
  ::CloseHandle(file);
  if (!described) {
    return error;
  }
  char name[] = "Global\\Velmoran-00000000-0000000000000000";
  const DWORD parts[] = {status.dwVolumeSerialNumber, status.nFileIndexHigh, status.nFileIndexLow};
  char* digit = name + sizeof "Global\\Velmoran-" - 1;
  for (int part = 0; part < 3; ++part) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      *digit++ = "0123456789abcdef"[(parts[part] >> static_cast<unsigned>(shift)) & 0xFU];
    }
    if (*digit == '-') {
      ++digit;
    }
  }
  ::SetLastError(NO_ERROR);
  HANDLE held = ::CreateMutexA(nullptr, FALSE, name);
  if (held == nullptr) {
    // Another user's run holds it, and its object is not ours to open.
    return ::GetLastError() == ERROR_ACCESS_DENIED ? Error::Busy : LastError();
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(held);
    return Error::Busy;
  }
  locked = {status.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(status.nFileIndexHigh) << 32U) | status.nFileIndexLow};
  lock = reinterpret_cast<FileHandle>(held);
  return Error::None;
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) {
    ::CloseHandle(AsHandle(file));
  }
}

}  // namespace platform
