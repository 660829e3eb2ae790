// GetLastError in the seam's vocabulary: the one place the Windows layer translates it.
#pragma once

#include "platform/platform.h"
#include "platform/win32/win32_api.h"

namespace platform::win32 {

inline Error ErrorFrom(DWORD code) {
  switch (code) {
    case NO_ERROR: return Error::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return Error::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return Error::AccessDenied;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return Error::Exists;
    case ERROR_NOT_SAME_DEVICE: return Error::CrossDevice;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return Error::Busy;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return Error::NoSpace;
    case ERROR_FILENAME_EXCED_RANGE: return Error::NameTooLong;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED: return Error::NotSupported;
    default: return Error::Other;
  }
}

// The error of the call that just failed.
inline Error LastError() { return ErrorFrom(::GetLastError()); }

inline HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// Fills `info` from what GetFileInformationByHandle reported.
void Describe(HANDLE file, const BY_HANDLE_FILE_INFORMATION& status, FileInfo& info);

}  // namespace platform::win32
