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
  void Swap(Text& other) noexcept {
    char* text = text_;
    text_ = other.text_;
    other.text_ = text;
  }
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

// Where a write to `path` lands, resolved once through the handle: the target of a
// symbolic link or another name-surrogate reparse point (Wine reports a Unix symbolic
// link as a plain file, and resolves it here), as a drive path where it has one.
// `target` stays empty where there is nothing yet, or where a plain entry's final path
// cannot be had; a link that leads nowhere is NotFound.
Error ResolveLink(const char* path, Text& target) {
  WIN32_FIND_DATAA entry{};
  HANDLE search = ::FindFirstFileA(path, &entry);
  if (search == INVALID_HANDLE_VALUE) {
    return Error::None;  // nothing there yet, or nothing a search sees
  }
  ::FindClose(search);
  const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                    IsReparseTagNameSurrogate(entry.dwReserved0);
  HANDLE file = ::CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return link ? LastError() : Error::None;
  }
  // Windows counts the terminator in the size it asks for, Wine does not: room for one more.
  constexpr DWORD kDrivePath = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = ::GetFinalPathNameByHandleA(file, nullptr, 0, kDrivePath);
  Text resolved(static_cast<int>(needed));
  const DWORD written =
      needed == 0 || resolved.Get() == nullptr
          ? 0
          : ::GetFinalPathNameByHandleA(file, resolved.Get(), needed + 1, kDrivePath);
  const Error error = LastError();
  ::CloseHandle(file);
  if (written == 0 || written > needed) {
    return link ? (error != Error::None ? error : Error::Other) : Error::None;
  }
  // "\\?\C:\..." as "C:\...": the A calls take a drive path within MAX_PATH as it is.
  const char* text = resolved.Get();
  const bool drivePath = written > 6 && text[0] == '\\' && text[1] == '\\' && text[2] == '?' &&
                         text[3] == '\\' && text[5] == ':' && text[6] == '\\';
  Text kept(static_cast<int>(written));
  if (kept.Get() == nullptr) {
    return Error::NoSpace;
  }
  ::lstrcpyA(kept.Get(), drivePath && written - 4 < MAX_PATH ? text + 4 : text);
  target.Swap(kept);
  return Error::None;
}

}  // namespace

// The system's own parsing finds where the name starts: a trail byte of a double-byte
// character that equals '\' is no separator, and neither is a colon after the drive.
Error LocatePath(const char* path, char* text, std::size_t capacity, std::size_t& length,
                 std::size_t& nameStart) {
  Text target(0);
  if (const Error resolved = ResolveLink(path, target); resolved != Error::None) {
    return resolved;
  }
  if (target.Get() != nullptr && target.Get()[0] != '\0') {
    path = target.Get();
  }
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
  // After the drive the parsing reports, a colon names a stream of a file (NTFS), which
  // has no folder entry of its own to stage beside and rename. A colon is never a
  // trail byte of a double-byte character.
  const char* afterDrive = text;
  if (::lstrlenA(text) >= 4 && text[0] == '\\' && text[1] == '\\' &&
      (text[2] == '?' || text[2] == '.') && text[3] == '\\') {
    afterDrive += 4;
  }
  if (afterDrive[0] != '\0' && afterDrive[1] == ':') {
    afterDrive += 2;
  }
  for (const char* at = afterDrive; *at != '\0'; ++at) {
    if (*at == ':') {
      return Error::NotSupported;
    }
  }
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

// Describes a file opened for that and closes it; a failed open reports the system's error.
Error DescribeOpened(HANDLE file, FileInfo& info) {
  if (file == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  const Error described = DescribeHandle(file, info);
  ::CloseHandle(file);
  return described;
}

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
  return DescribeOpened(
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
      info);
}

Error InspectEntry(FolderHandle folder, const char* name, FileInfo& info) {
  const Text path = Join(folder, name);
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  return DescribeOpened(OpenEntryAs(path.Get(), FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS),
                        info);
}

namespace {

// The path the system holds for an open file or folder, as a drive path where it has one.
Text FinalPath(HANDLE file) {
  constexpr DWORD kDrivePath = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = ::GetFinalPathNameByHandleA(file, nullptr, 0, kDrivePath);
  Text path(static_cast<int>(needed));
  if (needed == 0 || path.Get() == nullptr ||
      ::GetFinalPathNameByHandleA(file, path.Get(), needed + 1, kDrivePath) > needed) {
    return Text(0);  // empty: nothing to compare, never taken for the entry itself
  }
  return path;
}

// Whether the open `file` is the entry `name` of `folder` itself and not what a link
// of that name leads to: Windows opens a link as itself (a reparse point, no plain
// file), but Wine follows a Unix symbolic link, whose final path is then its target's.
bool HoldsTheEntryItself(HANDLE file, FolderHandle folder, const char* name) {
  HANDLE opened =
      ::CreateFileA(*FolderPath(folder) != '\0' ? FolderPath(folder) : ".", FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return false;
  }
  const Text folderPath = FinalPath(opened);
  ::CloseHandle(opened);
  const Text entryPath = FinalPath(file);
  if (folderPath.Get() == nullptr || entryPath.Get() == nullptr || *folderPath.Get() == '\0') {
    return false;
  }
  const int folderLength = ::lstrlenA(folderPath.Get());
  const char* entry = entryPath.Get();
  if (::lstrlenA(entry) <= folderLength + 1 ||
      ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, entry, folderLength, folderPath.Get(),
                       folderLength) != CSTR_EQUAL) {
    return false;
  }
  // The folder's final path ends in a separator only at a drive's root ("C:\").
  const char* rest = entry + folderLength;
  if (folderPath.Get()[folderLength - 1] != '\\') {
    if (*rest != '\\') {
      return false;
    }
    ++rest;
  }
  return SameName(rest, name);
}

// Opens the entry `name` of `folder` itself with `access`, letting others do what
// `sharing` allows meanwhile; a link, or what Wine followed one to, is NotSupported.
Error OpenEntryItself(FolderHandle folder, const char* name, DWORD access, DWORD sharing,
                      FileHandle& file) {
  const Text path = Join(folder, name);
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  HANDLE opened = ::CreateFileA(path.Get(), access, sharing, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  if (!HoldsTheEntryItself(opened, folder, name)) {
    ::CloseHandle(opened);
    return Error::NotSupported;
  }
  file = reinterpret_cast<FileHandle>(opened);
  return Error::None;
}

}  // namespace

// A running program's staged file is open without sharing, so this open fails (Busy).
// Deleting stays shared, so the entry can be removed while it is held here. A link is
// never opened: what it leads to is NotSupported.
Error OpenEntry(FolderHandle folder, const char* name, FileHandle& file) {
  return OpenEntryItself(folder, name, GENERIC_READ | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, file);
}

// Through the handle that was checked, so nothing can be swapped in between: the entry
// goes when the handle closes.
Error RemoveHeldEntry(FileHandle file, FolderHandle /*folder*/, const char* /*name*/) {
  FILE_DISPOSITION_INFO gone{TRUE};
  return ::SetFileInformationByHandle(AsHandle(file), FileDispositionInfo, &gone, sizeof gone)
             ? Error::None
             : LastError();
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
  HANDLE created =
      ::CreateFileA(path.Get(), GENERIC_READ | GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, 0,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  file = reinterpret_cast<FileHandle>(created);
  return Error::None;
}

// Created with the original's own descriptor, so the new file is never readable by
// more users than it, and the rename keeps its access list and owner. A descriptor that
// cannot be read, or an owner this user may not give, sends the file down the overwrite
// path, which keeps the file itself.
Error CreateStagedFileLike(FolderHandle folder, const char* name, const char* original,
                           FileHandle& file) {
  if (name == nullptr) {
    return Error::NotSupported;
  }
  constexpr SECURITY_INFORMATION kCarried =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  ::GetFileSecurityA(original, kCarried, nullptr, 0, &needed);
  if (needed == 0) {
    return Error::AccessDenied;
  }
  Text descriptor(static_cast<int>(needed));
  if (descriptor.Get() == nullptr) {
    return Error::NoSpace;
  }
  if (!::GetFileSecurityA(original, kCarried, descriptor.Get(), needed, &needed)) {
    return Error::AccessDenied;
  }
  const Text path = Join(folder, name);
  if (path.Get() == nullptr) {
    return Error::NoSpace;
  }
  SECURITY_ATTRIBUTES like{sizeof like, descriptor.Get(), FALSE};
  // Readable too: a refused rename copies the staged content over the destination.
  HANDLE created = ::CreateFileA(
      path.Get(), GENERIC_READ | GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES | WRITE_DAC, 0,
      &like, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return (error == ERROR_INVALID_OWNER || error == ERROR_PRIVILEGE_NOT_HELD)
               ? Error::AccessDenied
               : win32::ErrorFrom(error);
  }
  // The access list once more, through the handle: Wine narrows what a new file is
  // created with by the process's umask.
  if (!::SetKernelObjectSecurity(created, DACL_SECURITY_INFORMATION, descriptor.Get())) {
    FILE_DISPOSITION_INFO gone{TRUE};
    ::SetFileInformationByHandle(created, FileDispositionInfo, &gone, sizeof gone);
    ::CloseHandle(created);
    return Error::AccessDenied;
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

// The access list travels in the security descriptor from creation on
// (CreateStagedFileLike); there are no POSIX-style attributes or inode flags to carry.
Error CarryAttributes(FileHandle /*file*/, const char* /*from*/) { return Error::None; }

Error OpenForOverwrite(const char* path, FileHandle& file) {
  HANDLE opened = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    // A file that may be written but not read.
    opened = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  }
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

// Windows only flushes a whole file, and waits for it.
Error StartWriteBack(FileHandle /*file*/, std::uint64_t /*offset*/, std::uint64_t /*length*/) {
  return Error::NotSupported;
}

// Flushing a whole volume needs a handle to the volume itself, which only an
// administrator may open.
Error FlushFileSystem(FileHandle /*file*/) { return Error::NotSupported; }

namespace {

// Renames the open file to `target` through its handle, by the target's full path: a
// bare name would be taken relative to the current directory, not to the file's
// folder. Reports the system's error code; NO_ERROR when renamed.
DWORD RenameHandle(HANDLE file, const char* target, bool replace) {
  const int givenLength = ::MultiByteToWideChar(CP_ACP, 0, target, -1, nullptr, 0);
  if (givenLength <= 0) {
    return ::GetLastError();
  }
  auto* given = static_cast<WCHAR*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                static_cast<SIZE_T>(givenLength) * sizeof(WCHAR)));
  if (given == nullptr) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  ::MultiByteToWideChar(CP_ACP, 0, target, -1, given, givenLength);
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
      info->ReplaceIfExists = replace ? TRUE : FALSE;
      info->RootDirectory = nullptr;
      info->FileNameLength = written * sizeof(WCHAR);
      renamed = ::SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(size));
    }
  }
  const DWORD error = renamed ? NO_ERROR : ::GetLastError();
  if (info != nullptr) {
    ::HeapFree(::GetProcessHeap(), 0, info);
  }
  ::HeapFree(::GetProcessHeap(), 0, given);
  return error == NO_ERROR && !renamed ? ERROR_GEN_FAILURE : error;
}

}  // namespace

// Through the staged file's own handle, so the file is never without an owner that
// keeps others from deleting it. (ReplaceFileA without a backup name can leave neither
// file when it fails halfway; one rename leaves either.)
Error RenameOver(FileHandle staged, FolderHandle folder, const char* /*stagedName*/,
                 const char* name) {
  const Text target = Join(folder, name);
  if (target.Get() == nullptr) {
    return Error::NoSpace;
  }
  const DWORD error = RenameHandle(AsHandle(staged), target.Get(), true);
  if (error == NO_ERROR) {
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

// Through the handle too, which the staged file was created with DELETE access for.
Error MoveStagedFile(FileHandle file, FolderHandle folder, const char* /*from*/, const char* to) {
  const Text target = Join(folder, to);
  if (target.Get() == nullptr) {
    return Error::NoSpace;
  }
  return win32::ErrorFrom(RenameHandle(AsHandle(file), target.Get(), false));
}

// RtlGenRandom, exported by ADVAPI32 under this name.
extern "C" __declspec(dllimport) BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

Error GetRandomBytes(void* buffer, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (std::size_t done = 0; done < length;) {
    const std::size_t left = length - done;
    const ULONG ask = left < 0x10000 ? static_cast<ULONG>(left) : 0x10000;
    if (SystemFunction036(bytes + done, ask) == FALSE) {
      return Error::Other;
    }
    done += ask;
  }
  return Error::None;
}

// The creation time, in 100-nanosecond steps since 1601. Wine on a Unix file system
// keeps none: what it reports as the creation time is the change time, which every
// write moves, so a recovery record would never again match its own file.
Error GetBirthTime(FileHandle file, std::uint64_t& time) {
  static const bool kept = [] {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
  }();
  if (!kept) {
    return Error::NotSupported;
  }
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(AsHandle(file), FileBasicInfo, &basic, sizeof basic)) {
    return LastError();
  }
  time = static_cast<std::uint64_t>(basic.CreationTime.QuadPart);
  return Error::None;
}

// Others may read it meanwhile, never write it.
Error OpenEntryForData(FolderHandle folder, const char* name, bool writable, FileHandle& file) {
  return OpenEntryItself(folder, name, GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                         FILE_SHARE_READ, file);
}

}  // namespace platform
