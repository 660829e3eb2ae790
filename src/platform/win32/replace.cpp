// Replacing a destination on Windows: a new file beside it, flushed, then moved over
// it; or, where every name of the file must see the new bytes or no new file can be
// made there, the file itself overwritten without truncation.
#include <new>

#include "platform/platform.h"
#include "platform/win32/win32_api.h"

struct platform::Replacement {
  ReplaceMode mode = ReplaceMode::Staged;
  HANDLE file = INVALID_HANDLE_VALUE;
  char* target = nullptr;       // the destination's path as given
  char* tempPath = nullptr;     // the staged file; null when overwriting or once it is gone
  DWORD carriedAttributes = 0;  // the replaced file's attributes, for the new file
};

namespace {

using platform::Replacement;
using platform::ReplaceMode;

// Attributes that describe the file rather than its bytes; the replacement keeps them.
constexpr DWORD kCarriedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

char* NewText(int length) {
  return static_cast<char*>(
      ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(length) + 1));
}

void FreeText(char*& text) {
  if (text != nullptr) {
    ::HeapFree(::GetProcessHeap(), 0, text);
    text = nullptr;
  }
}

Replacement* NewReplacement(const char* path) {
  void* memory = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Replacement));
  if (memory == nullptr) {
    return nullptr;
  }
  auto* replacement = new (memory) Replacement;
  replacement->target = NewText(::lstrlenA(path));
  if (replacement->target == nullptr) {
    ::HeapFree(::GetProcessHeap(), 0, memory);
    return nullptr;
  }
  ::lstrcpyA(replacement->target, path);
  return replacement;
}

// Closes the handle first: an open file with share mode 0 cannot be deleted.
void Finish(Replacement* replacement) {
  if (replacement->file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(replacement->file);
  }
  if (replacement->tempPath != nullptr) {
    ::DeleteFileA(replacement->tempPath);
    FreeText(replacement->tempPath);
  }
  FreeText(replacement->target);
  replacement->~Replacement();
  ::HeapFree(::GetProcessHeap(), 0, replacement);
}

// The length of the directory part of `path`, separator included; 0 for a bare name.
int DirectoryLength(const char* path) {
  int length = 0;
  for (int i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') {
      length = i + 1;
    }
  }
  return length;
}

// Staged files are hidden, beside the destination: "<dir>.<name>.velmoran-<8 hex digits>".
constexpr char kTempMarker[] = ".velmoran-";
constexpr int kTempDigits = 8;

// "<dir>.<name>.velmoran-" for `target`, with room for `extra` more characters.
char* NewTempPrefix(const char* target, int extra) {
  const int directory = DirectoryLength(target);
  char* path = NewText(::lstrlenA(target) + 1 + ::lstrlenA(kTempMarker) + extra);
  if (path == nullptr) {
    return nullptr;
  }
  ::lstrcpyA(path, target);
  path[directory] = '.';
  ::lstrcpyA(path + directory + 1, target + directory);
  ::lstrcpyA(path + ::lstrlenA(path), kTempMarker);
  return path;
}

// A fresh name beside the destination.
bool MakeTempPath(Replacement& replacement, DWORD mix) {
  char* path = NewTempPrefix(replacement.target, kTempDigits);
  if (path == nullptr) {
    return false;
  }
  ::wsprintfA(path + ::lstrlenA(path), "%08lx", static_cast<unsigned long>(mix));
  FreeText(replacement.tempPath);
  replacement.tempPath = path;
  return true;
}

// Whether `entry` is a name MakeTempPath makes for the file named `name`.
bool IsTempNameFor(const char* entry, const char* name) {
  int at = 0;
  if (entry[at++] != '.') {
    return false;
  }
  for (int i = 0; name[i] != '\0'; ++i) {
    if (entry[at++] != name[i]) {
      return false;
    }
  }
  for (int i = 0; kTempMarker[i] != '\0'; ++i) {
    if (entry[at++] != kTempMarker[i]) {
      return false;
    }
  }
  for (int i = 0; i < kTempDigits; ++i) {
    const char c = entry[at++];
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) {
      return false;
    }
  }
  return entry[at] == '\0';
}

// A run keeps its staged file open without sharing from its creation until it has been
// renamed into place, so the file cannot be deleted while the run lives. A staged file
// that can be deleted was left by a run that was ended before it finished: it goes,
// and nothing else does.
void RemoveAbandonedStagedFiles(const char* target) {
  const int directory = DirectoryLength(target);
  const char* name = target + directory;
  // The search pattern first; then, for each match, the match's own path.
  char* path = NewTempPrefix(target, MAX_PATH);
  if (path == nullptr) {
    return;
  }
  ::lstrcpyA(path + ::lstrlenA(path), "*");
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA(path, &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const DWORD notAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
      if ((found.dwFileAttributes & notAFile) == 0 && IsTempNameFor(found.cFileName, name)) {
        ::lstrcpyA(path + directory, found.cFileName);
        ::DeleteFileA(path);  // refused while its run holds it open
      }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
  }
  FreeText(path);
}

// Renames the open staged file over the destination, replacing it. Done through the
// handle, so the file is never without an owner that keeps others from deleting it.
// The new name is the destination's full path: a bare name would be taken relative to
// the current directory, not to the staged file's folder.
bool RenameOverDestination(Replacement& replacement) {
  const int givenLength = ::MultiByteToWideChar(CP_ACP, 0, replacement.target, -1, nullptr, 0);
  if (givenLength <= 0) {
    return false;
  }
  auto* given = static_cast<WCHAR*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                static_cast<SIZE_T>(givenLength) * sizeof(WCHAR)));
  if (given == nullptr) {
    return false;
  }
  ::MultiByteToWideChar(CP_ACP, 0, replacement.target, -1, given, givenLength);
  const DWORD fullLength = ::GetFullPathNameW(given, 0, nullptr, nullptr);  // terminator included
  const SIZE_T size = sizeof(FILE_RENAME_INFO) + static_cast<SIZE_T>(fullLength) * sizeof(WCHAR);
  auto* info =
      fullLength == 0
          ? nullptr
          : static_cast<FILE_RENAME_INFO*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  BOOL renamed = FALSE;
  if (info != nullptr) {
    const DWORD written = ::GetFullPathNameW(given, fullLength, info->FileName, nullptr);
    if (written > 0 && written < fullLength) {
      info->ReplaceIfExists = TRUE;
      info->RootDirectory = nullptr;
      info->FileNameLength = written * sizeof(WCHAR);
      renamed = ::SetFileInformationByHandle(replacement.file, FileRenameInfo, info,
                                             static_cast<DWORD>(size));
    }
  }
  const DWORD error = ::GetLastError();
  if (info != nullptr) {
    ::HeapFree(::GetProcessHeap(), 0, info);
  }
  ::HeapFree(::GetProcessHeap(), 0, given);
  ::SetLastError(error);
  return renamed != FALSE;
}

enum class Staging { Ready, Unavoidable, Impossible };

Staging Stage(Replacement& replacement, bool exists) {
  static DWORD counter = 0;
  RemoveAbandonedStagedFiles(replacement.target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const DWORD mix =
        ::GetTickCount() ^ (::GetCurrentProcessId() << 16U) ^ (++counter * 2654435761U);
    if (!MakeTempPath(replacement, mix)) {
      return Staging::Impossible;
    }
    // No sharing at all, and the rights to set its attributes and rename it through
    // this handle.
    replacement.file =
        ::CreateFileA(replacement.tempPath, GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, 0,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (replacement.file != INVALID_HANDLE_VALUE) {
      return Staging::Ready;
    }
    const DWORD error = ::GetLastError();
    FreeText(replacement.tempPath);  // nothing was created under that name
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      continue;
    }
    // Only a directory that refuses new files sends an existing file down the
    // overwrite path; a full disk or a missing directory is a plain failure.
    return (error == ERROR_ACCESS_DENIED && exists) ? Staging::Unavoidable : Staging::Impossible;
  }
  return Staging::Impossible;
}

// The destination itself, exclusively and without truncation; also the test that
// no other program has it open, as Windows would refuse replacing it then.
HANDLE OpenExclusively(const char* path) {
  return ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

Replacement* ForOverwrite(const char* path, HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  Replacement* replacement = NewReplacement(path);
  if (replacement == nullptr) {
    ::CloseHandle(file);
    return nullptr;
  }
  replacement->mode = ReplaceMode::Overwrite;
  replacement->file = file;
  return replacement;
}

}  // namespace

namespace platform {

Replacement* BeginReplacement(const char* path, bool allowStaging) {
  const DWORD attributes = ::GetFileAttributesA(path);
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!exists && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return nullptr;  // a missing directory, a bad name, or no access to look
  }
  if (exists) {
    // Checked here, not left to the open: Wine running as root would write a
    // read-only file and move a new one over it, where Windows refuses.
    if ((attributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)) != 0) {
      return nullptr;
    }
    HANDLE file = OpenExclusively(path);
    if (file == INVALID_HANDLE_VALUE) {
      return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info)) {
      ::CloseHandle(file);
      return nullptr;
    }
    // Every name of a hard-linked file must see the new bytes.
    if (!allowStaging || info.nNumberOfLinks > 1) {
      return ForOverwrite(path, file);
    }
    ::CloseHandle(file);
  }
  Replacement* replacement = NewReplacement(path);
  if (replacement == nullptr) {
    return nullptr;
  }
  replacement->carriedAttributes = exists ? (attributes & kCarriedAttributes) : 0;
  switch (Stage(*replacement, exists)) {
    case Staging::Ready: return replacement;
    case Staging::Unavoidable:
      Finish(replacement);
      return ForOverwrite(path, OpenExclusively(path));
    case Staging::Impossible: break;
  }
  Finish(replacement);
  return nullptr;
}

ReplaceMode GetReplaceMode(const Replacement* replacement) { return replacement->mode; }

std::int64_t WriteAt(Replacement* replacement, std::uint64_t offset, const void* data,
                     std::uint32_t length) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32U);
  DWORD moved = 0;
  if (!::WriteFile(replacement->file, data, length, &moved, &at)) {
    return -1;
  }
  return moved;
}

// The content goes through WriteAt: mapping the staged file would keep a section open
// on it, and Windows does not rename or truncate a file with a mapped view.
std::uint8_t* MapReplacement(Replacement* /*replacement*/, std::uint64_t /*length*/) {
  return nullptr;
}

// Nothing is ever mapped here, so there is never a range to send on early.
void StartWriteBack(Replacement* /*replacement*/, std::uint64_t /*offset*/,
                    std::uint64_t /*length*/) {}

CommitResult CommitReplacement(Replacement* replacement, std::uint64_t length) {
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFilePointerEx(replacement->file, end, nullptr, FILE_BEGIN) ||
      !::SetEndOfFile(replacement->file) || !::FlushFileBuffers(replacement->file)) {
    return CommitResult::Failed;
  }
  if (replacement->mode == ReplaceMode::Overwrite) {
    Finish(replacement);
    return CommitResult::Done;
  }
  if (replacement->carriedAttributes != 0) {
    FILE_BASIC_INFO basic{};  // times left at zero stay as they are
    basic.FileAttributes = replacement->carriedAttributes;
    ::SetFileInformationByHandle(replacement->file, FileBasicInfo, &basic, sizeof basic);
  }
  // One atomic rename: the destination holds either its old bytes or the new ones.
  // (ReplaceFileA without a backup name can leave neither when it fails halfway.)
  if (!RenameOverDestination(*replacement)) {
    const DWORD error = ::GetLastError();
    const bool exists = ::GetFileAttributesA(replacement->target) != INVALID_FILE_ATTRIBUTES;
    if (exists && (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
      // The file may be written but not replaced (no delete right on it).
      Finish(replacement);
      return CommitResult::RenameRefused;
    }
    return CommitResult::Failed;
  }
  FreeText(replacement->tempPath);
  Finish(replacement);
  return CommitResult::Done;
}

void AbandonReplacement(Replacement* replacement) { Finish(replacement); }

}  // namespace platform
