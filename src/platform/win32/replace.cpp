// The calls a replacement is made of, on Windows: paths, folders, staged files, writes
// and the rename. What to call when is decided in app/replace_file.cpp.
#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/win32_api.h"

namespace platform {

namespace {

using win32::AsHandle;
using win32::LastError;

// Attributes that describe the file rather than its bytes; the replacement keeps them.
constexpr DWORD kCarriedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A zero-terminated text on the process heap, released with its owner.
class Text {
 public:
  explicit Text(int length)
      : text_(static_cast<char*>(
            ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(length) + 1))) {}
  Text(Text&& other) noexcept : text_(other.Release()) {}
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  Text& operator=(Text&&) = delete;
  ~Text() {
    if (text_ != nullptr) {
      ::HeapFree(::GetProcessHeap(), 0, text_);
    }
  }
  [[nodiscard]] char* Get() const { return text_; }
  char* Release() {
    char* text = text_;
    text_ = nullptr;
    return text;
  }

 private:
  char* text_;
};

// A folder is its full path with its final separator ("C:\dir\"), or "" for the
// current one: a name is joined to it as it is.
const char* FolderPath(FolderHandle folder) { return reinterpret_cast<const char*>(folder); }

Text Join(FolderHandle folder, const char* name) {
  const char* path = FolderPath(folder);
  Text joined(::lstrlenA(path) + ::lstrlenA(name));
  if (joined.Get() != nullptr) {
    ::lstrcpyA(joined.Get(), path);
    ::lstrcpyA(joined.Get() + ::lstrlenA(path), name);
  }
  return joined;
}

// Opens an entry of a folder as itself: a link or junction is not followed.
HANDLE OpenEntryAs(const char* path, DWORD access, DWORD flags) {
  return ::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

Error DescribeHandle(HANDLE file, FileInfo& info) {
  BY_HANDLE_FILE_INFORMATION status{};
  if (!::GetFileInformationByHandle(file, &status)) {
    return LastError();
  }
  win32::Describe(file, status, info);
  return Error::None;
}

}  // namespace

// The system's own parsing finds where the name starts: a trail byte of a double-byte
// character that equals '\' is no separator, and neither is a colon after the drive.
Error LocatePath(const char* path, char* text, std::size_t capacity, std::size_t& length,
                 std::size_t& nameStart) {
  char* name = nullptr;
  const DWORD result =
      ::GetFullPathNameA(path, static_cast<DWORD>(capacity), capacity == 0 ? nullptr : text, &name);
  if (result == 0) {
    return LastError();
  }
  length = result;  // with the terminator when it did not fit, without it when it did
  if (result >= capacity) {
    return Error::None;
  }
  nameStart = name != nullptr ? static_cast<std::size_t>(name - text) : length;
  return Error::None;
}

bool SameName(const char* a, const char* b) {
  return ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

NameLimits GetNameLimits(const char* /*folder*/) { return {255, MAX_PATH - 1}; }

Error OpenFolder(const char* text, std::size_t length, FolderHandle& folder) {
  Text path(static_cast<int>(length));
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  ::lstrcpynA(path.Get(), text, static_cast<int>(length) + 1);
  folder = reinterpret_cast<FolderHandle>(path.Release());
  return Error::None;
}

void CloseFolder(FolderHandle folder) {
  if (folder != kInvalidFolder) {
    ::HeapFree(::GetProcessHeap(), 0, reinterpret_cast<void*>(folder));
  }
}

Error ListFolder(FolderHandle folder, void (*visit)(const char* name, void* context),
                 void* context) {
  const Text pattern = Join(folder, "*");
  if (pattern.Get() == nullptr) {
    return Error::NoSpace;
  }
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA(pattern.Get(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  do {
    visit(found.cFileName, context);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return Error::None;
}

// A rename through a handle is on storage once the call returns.
Error FlushFolder(FolderHandle /*folder*/) { return Error::None; }

Error InspectFile(const char* path, FileInfo& info) {
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return LastError();
  }
  // Checked here, not left to the open: Wine running as root would write a read-only
  // file and move a new one over it, where Windows refuses.
  info.regular = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  info.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.mode = attributes;
  if (!info.regular || info.readOnly) {
    return Error::None;
  }
  // Exclusively: the test that no other program has it open, as Windows would refuse
  // replacing it then.
  HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  const Error described = DescribeHandle(file, info);
  ::CloseHandle(file);
  return described;
}

Error InspectEntry(FolderHandle folder, const char* name, FileInfo& info) {
  const Text path = Join(folder, name);
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  HANDLE file = OpenEntryAs(path.Get(), FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  const Error described = DescribeHandle(file, info);
  ::CloseHandle(file);
  return described;
}

// A running program's staged file is open without sharing, so this open fails (Busy).
// Deleting stays shared, so the entry can be removed while it is held here.
Error OpenEntry(FolderHandle folder, const char* name, FileHandle& file) {
  const Text path = Join(folder, name);
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  HANDLE opened = OpenEntryAs(path.Get(), GENERIC_READ | DELETE, 0);
  if (opened == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  file = reinterpret_cast<FileHandle>(opened);
  return Error::None;
}

Error TryLock(FileHandle file) {
  OVERLAPPED whole{};
  if (!::LockFileEx(AsHandle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    MAXDWORD, MAXDWORD, &whole)) {
    return LastError();
  }
  return Error::None;
}

Error RemoveEntry(FolderHandle folder, const char* name) {
  const Text path = Join(folder, name);
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  return ::DeleteFileA(path.Get()) ? Error::None : LastError();
}

// No sharing at all from creation to rename, and the rights to set its attributes and
// rename it through this handle. Windows has no unnamed files.
Error CreateStagedFile(FolderHandle folder, const char* name, FileHandle& file) {
  if (name == nullptr) {
    return Error::NotSupported;
  }
  const Text path = Join(folder, name);
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  HANDLE created = ::CreateFileA(path.Get(), GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, 0,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  file = reinterpret_cast<FileHandle>(created);
  return Error::None;
}

Error NameStagedFile(FileHandle /*file*/, FolderHandle /*folder*/, const char* /*name*/) {
  return Error::NotSupported;
}

Error CarryMetadata(FileHandle file, const FileInfo* from) {
  const DWORD carried = from != nullptr ? (from->mode & kCarriedAttributes) : 0;
  if (carried == 0) {
    return Error::None;
  }
  FILE_BASIC_INFO basic{};  // times left at zero stay as they are
  basic.FileAttributes = carried;
  return ::SetFileInformationByHandle(AsHandle(file), FileBasicInfo, &basic, sizeof basic)
             ? Error::None
             : LastError();
}

Error CarryAttributes(FileHandle /*file*/, const char* /*from*/) { return Error::None; }

Error OpenForOverwrite(const char* path, FileHandle& file) {
  HANDLE opened =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  file = reinterpret_cast<FileHandle>(opened);
  return Error::None;
}

Error WriteAt(FileHandle file, std::uint64_t offset, const void* data, std::uint32_t length,
              std::uint32_t& moved) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32U);
  DWORD count = 0;
  if (!::WriteFile(AsHandle(file), data, length, &count, &at)) {
    return LastError();
  }
  moved = count;
  return Error::None;
}

// The content goes through WriteAt: mapping the staged file would keep a section open
// on it, and Windows does not rename or truncate a file with a mapped view.
Error MapFile(FileHandle /*file*/, std::uint64_t /*length*/, std::uint8_t*& /*bytes*/) {
  return Error::NotSupported;
}

void UnmapFile(std::uint8_t* /*bytes*/, std::uint64_t /*length*/) {}

// Nothing is ever mapped here, so there is never a range to send on early.
void StartWriteBack(FileHandle /*file*/, std::uint64_t /*offset*/, std::uint64_t /*length*/) {}

Error SetFileLength(FileHandle file, std::uint64_t length) {
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFilePointerEx(AsHandle(file), end, nullptr, FILE_BEGIN) ||
      !::SetEndOfFile(AsHandle(file))) {
    return LastError();
  }
  return Error::None;
}

Error FlushFile(FileHandle file) {
  return ::FlushFileBuffers(AsHandle(file)) ? Error::None : LastError();
}

// Through the staged file's own handle, so the file is never without an owner that
// keeps others from deleting it. The new name is the destination's full path: a bare
// name would be taken relative to the current directory, not to the staged file's
// folder. (ReplaceFileA without a backup name can leave neither file when it fails
// halfway; one rename leaves either.)
Error RenameOver(FileHandle staged, FolderHandle folder, const char* /*stagedName*/,
                 const char* name) {
  const Text target = Join(folder, name);
  if (target.Get() == nullptr) {
    return Error::NoSpace;
  }
  const int givenLength = ::MultiByteToWideChar(CP_ACP, 0, target.Get(), -1, nullptr, 0);
  if (givenLength <= 0) {
    return LastError();
  }
  auto* given = static_cast<WCHAR*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                static_cast<SIZE_T>(givenLength) * sizeof(WCHAR)));
  if (given == nullptr) {
    return Error::NoSpace;
  }
  ::MultiByteToWideChar(CP_ACP, 0, target.Get(), -1, given, givenLength);
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
      renamed = ::SetFileInformationByHandle(AsHandle(staged), FileRenameInfo, info,
                                             static_cast<DWORD>(size));
    }
  }
  const DWORD error = ::GetLastError();
  if (info != nullptr) {
    ::HeapFree(::GetProcessHeap(), 0, info);
  }
  ::HeapFree(::GetProcessHeap(), 0, given);
  if (renamed) {
    return Error::None;
  }
  // A destination that exists but cannot be replaced (open elsewhere without sharing
  // deletion, or no right to delete it) may still be written: it is busy for a rename.
  if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) &&
      ::GetFileAttributesA(target.Get()) != INVALID_FILE_ATTRIBUTES) {
    return Error::Busy;
  }
  return win32::ErrorFrom(error);
}

}  // namespace platform
