// The seam between the tool's logic and the operating system.
//
// Exactly one implementation is linked into each program: linux/ or win32/ for the
// tool, a fake for the unit and fuzz tests. Every call does one thing and reports what
// happened in the small vocabulary of Error, whatever the system's own code was; the
// decisions (which status, stage or overwrite, what to remove) belong to the logic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// What a call met, mapped once from errno or GetLastError.
enum class Error : std::uint8_t {
  None,
  NotFound,      // no such file or folder
  AccessDenied,  // permission, a read-only file system or attribute, an immutable file
  Exists,        // the name is taken
  CrossDevice,   // the two names are on different file systems
  Busy,          // in use: mounted over, locked, or held open by another program
  NoSpace,       // the disk or a quota is full, or a file-size limit was reached
  NameTooLong,   // a name or the whole path exceeds the system's limit
  NotSupported,  // this file system or system cannot do it
  Other,         // anything else
};

// ---- process -------------------------------------------------------------

// The whole command line as one 8-bit string, program path first; valid until
// WipeCommandLine.
const char* GetCommandLine();

// The command line in UTF-16, where the system keeps it so beside the 8-bit one that
// GetCommandLine gives; nullptr where there is no such form and so nothing to check.
const char16_t* GetWideCommandLine();

// Whether the `length` UTF-16 units at `text` have an exact form in the code page of
// GetCommandLine: no best-fit look-alike, no default character.
bool ConvertsExactly(const char16_t* text, std::size_t length);

// Overwrites every copy of the command line this process keeps with zeros: it may
// hold the key. Nothing reads the command line afterwards.
void WipeCommandLine();

// Milliseconds from a fixed start, as a 32-bit count that wraps.
std::uint32_t GetTickCount();

// A number that differs from run to run (time and process mixed), for fresh names.
std::uint32_t GetNameSeed();

// Shows `text` under `caption` and returns once the user has dismissed it.
void ShowMessageBox(const char* text, const char* caption);

// ---- memory --------------------------------------------------------------

// A fresh zero-filled block of `size` bytes (size >= 1), or nullptr when none can be had.
void* AllocateZeroed(std::size_t size);

// Gives back a block that AllocateZeroed returned for this same `size`.
void ReleaseBlock(void* block, std::size_t size);

// ---- files ---------------------------------------------------------------

using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// The most one ReadFile or WriteAt call is asked to move.
inline constexpr std::uint32_t kMaxTransfer = 1U << 30;

// Which file this is, whatever name reaches it: device and inode, or volume serial
// number and file index.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

inline bool operator==(const FileId& a, const FileId& b) {
  return a.volume == b.volume && a.index == b.index;
}

// What a file is. The logic reads the first five; the rest only travels to CarryMetadata.
struct FileInfo {
  bool regular = false;      // a plain file: no folder, device, pipe or link
  bool readOnly = false;     // no write permission bit at all, or the read-only attribute
  bool ownedByUser = false;  // owned by the user this process runs as
  std::uint32_t links = 0;   // how many names the file has
  FileId id;
  std::uint32_t mode = 0;  // permission bits (POSIX) or attributes (Windows)
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};

// Opens an existing regular file for reading, others may read it meanwhile. Never blocks.
Error OpenForReading(const char* path, FileHandle& file);

// None when the file could be opened for writing now; a read-only file never can.
Error ProbeWriteAccess(const char* path);

// The file's size in bytes.
Error GetFileSize(FileHandle file, std::uint64_t& size);

// One read of at most `length` bytes; `moved` 0 at the end of the file.
Error ReadFile(FileHandle file, void* buffer, std::uint32_t length, std::uint32_t& moved);

// One read of at most `length` bytes at `offset`, from any handle opened for reading;
// `moved` 0 at the end of the file.
Error ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t length,
             std::uint32_t& moved);

// What the open file is.
Error GetFileInfo(FileHandle file, FileInfo& info);

// Closes any handle of this seam; kInvalidFile is ignored.
void CloseFile(FileHandle file);

// ---- paths and folders ---------------------------------------------------

// The path a write to `path` reaches (symbolic links followed on POSIX), as the system
// parses it, into `text` (zero-terminated), with `nameStart` where its last name begins:
// the folder is text[0, nameStart). `length` is the path's length; when it does not fit
// in `capacity` nothing is written and the call is to be made again with length + 1.
// NotSupported where the path names part of a file rather than a file (a stream).
// AccessDenied for a link in a sticky folder anyone may write that is neither the
// caller's nor the folder owner's (the kernel's protected-links rule, whatever its setting).
Error LocatePath(const char* path, char* text, std::size_t capacity, std::size_t& length,
                 std::size_t& nameStart);

// Whether two names in one folder name the same entry (case-insensitive on Windows).
bool SameName(const char* a, const char* b);

// The longest name, and the longest path, the system accepts in `folder`.
struct NameLimits {
  std::size_t name = 0;
  std::size_t path = 0;
};
NameLimits GetNameLimits(const char* folder);

using FolderHandle = std::intptr_t;
inline constexpr FolderHandle kInvalidFolder = -1;

// Opens the folder spelled by the first `length` bytes of `text` (empty: the current one).
Error OpenFolder(const char* text, std::size_t length, FolderHandle& folder);

void CloseFolder(FolderHandle folder);

// Calls `visit` with each name in the folder.
Error ListFolder(FolderHandle folder, void (*visit)(const char* name, void* context),
                 void* context);

// Makes the folder's entries (a rename) survive a crash.
Error FlushFolder(FolderHandle folder);

// What the file at `path` is (links followed) and whether this process may write it
// now: AccessDenied or Busy when it may not (Windows: not exclusively).
Error InspectFile(const char* path, FileInfo& info);

// What the entry `name` of the folder is, never following a link.
Error InspectEntry(FolderHandle folder, const char* name, FileInfo& info);

// Opens the entry `name` to look at it and lock it, never following a link or
// blocking; Busy when a running program holds it.
Error OpenEntry(FolderHandle folder, const char* name, FileHandle& file);

// Takes the lock a run holds on the file at `path` (links followed) from before reading
// it until its new content is in place, without waiting; released by CloseFile(lock) or
// the process's end. `locked` is the identity of the file the lock holds (the lock itself
// may be no file). Busy when another run holds it, NotSupported where the file system
// has no such lock or the file cannot be opened for it.
Error OpenLock(const char* path, FileHandle& lock, FileId& locked);

// Takes an exclusive lock on the file without waiting; Busy when another holds one.
Error TryLock(FileHandle file);

// Removes the entry `name` of the folder.
Error RemoveEntry(FolderHandle folder, const char* name);

// Removes the entry `name` of the folder that `file` (from OpenEntry) holds, through
// that handle where the system can (Windows: when it closes), else by its name.
Error RemoveHeldEntry(FileHandle file, FolderHandle folder, const char* name);

// ---- writing -------------------------------------------------------------

// Creates a new file in the folder, exclusively (POSIX: mode 0600), held so that no
// other run takes it for abandoned (a lock; on Windows no sharing). `name` nullptr
// asks for an unnamed file (NotSupported where there is none, or where it could not be
// named later). Exists: the name is taken, or was lost to another run before it was held.
// AccessDenied also where a file made there could not be renamed or removed again.
Error CreateStagedFile(FolderHandle folder, const char* name, FileHandle& file);

// As CreateStagedFile, for replacing the existing file at `original`: from its creation
// the new file is readable by no more users than that one (POSIX: mode 0600, the owner
// and bits follow in CarryMetadata; Windows: created with its security descriptor, its
// access list and owner). AccessDenied when the descriptor cannot be read or given.
Error CreateStagedFileLike(FolderHandle folder, const char* name, const char* original,
                           FileHandle& file);

// Gives an unnamed staged file the name `name` in its folder; Exists when taken.
Error NameStagedFile(FileHandle file, FolderHandle folder, const char* name);

// Renames the open staged file `from` to `to` in its folder, never replacing an
// entry; Exists when `to` is taken.
Error MoveStagedFile(FileHandle file, FolderHandle folder, const char* from, const char* to);

// Gives the new file what describes the old one (permission bits, owner and group;
// attributes on Windows), or a new file's defaults when `from` is nullptr. AccessDenied
// also where the file did not keep them (read back). A write may clear set-id bits: the
// call is made again after the last write.
Error CarryMetadata(FileHandle file, const FileInfo* from);

// Gives the new file exactly the extended attributes of the file at `from` (its access
// list among them), removing any it got from its folder, and the file flags its owner
// may set; an error where one could not be given (Windows: nothing to do).
Error CarryAttributes(FileHandle file, const char* from);

// Opens an existing file for writing, without truncating it (Windows: exclusively), and
// for reading too where the file may be read.
Error OpenForOverwrite(const char* path, FileHandle& file);

// One write of at most `length` bytes at `offset`; `moved` counts what landed.
Error WriteAt(FileHandle file, std::uint64_t offset, const void* data, std::uint32_t length,
              std::uint32_t& moved);

// Sets the file's length.
Error SetFileLength(FileHandle file, std::uint64_t length);

// Waits until the file's content is on stable storage.
Error FlushFile(FileHandle file);

// Starts writing the file's [offset, offset + length) to stable storage and returns
// without waiting; a hint only (NotSupported where there is no such call).
Error StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length);

// Waits until all that was written to the file's file system is on stable storage (a
// copy-on-write one frees overwritten space then); NotSupported where there is no such call.
Error FlushFileSystem(FileHandle file);

// Renames the open staged file `stagedName` over `name` in the same folder, replacing
// it in one step. Busy or CrossDevice where the destination cannot be replaced by a
// rename (mounted over, on another device, held open or undeletable on Windows).
Error RenameOver(FileHandle staged, FolderHandle folder, const char* stagedName, const char* name);

// ---- recovery records ----------------------------------------------------

// Fills `buffer` with `length` unpredictable bytes from the system's random source.
Error GetRandomBytes(void* buffer, std::size_t length);

// When the open file was made, in the system's own units; NotSupported where it keeps none.
Error GetBirthTime(FileHandle file, std::uint64_t& time);

// Opens the existing entry `name` of the folder for reading, and for writing too when
// `writable`, never following a link or blocking; NotFound when there is none.
Error OpenEntryForData(FolderHandle folder, const char* name, bool writable, FileHandle& file);

}  // namespace platform
