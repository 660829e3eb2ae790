// errno in the seam's vocabulary: the one place the Linux layer translates it.
#pragma once

#include <cerrno>

#include "platform/platform.h"

struct stat;

namespace platform::posix {

// Fills `info` from what stat reported.
void Describe(const struct stat& status, FileInfo& info);

// AccessDenied when the file's inode flags (immutable, append-only) forbid replacing its
// content, found without opening it for writing; None where they do not or cannot be read.
Error CheckWriteFlags(const char* path);

inline Error ErrorFrom(int code) {
  switch (code) {
    case 0: return Error::None;
    case ENOENT:
    case ENOTDIR: return Error::NotFound;
    case EACCES:
    case EPERM: return Error::AccessDenied;
    case EEXIST: return Error::Exists;
    case EXDEV: return Error::CrossDevice;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK: return Error::Busy;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return Error::NoSpace;
    case ENAMETOOLONG: return Error::NameTooLong;
    case EOPNOTSUPP:
    case ENOSYS: return Error::NotSupported;
    default: return Error::Other;
  }
}

// The error of the call that just failed.
inline Error LastError() { return ErrorFrom(errno); }

}  // namespace platform::posix
