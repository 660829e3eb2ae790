// The seam between the tool's logic and the operating system.
//
// Exactly one implementation is linked into each program: posix/ or win32/ for the
// tool, a fake for the unit tests. Every call does one thing and reports plainly;
// the decisions (which status, which fallback) belong to the logic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

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

// Shows `text` under `caption` and returns once the user has dismissed it.
void ShowMessageBox(const char* text, const char* caption);

// ---- memory --------------------------------------------------------------

// A fresh zero-filled block of `size` bytes (size >= 1), or nullptr when none can be had.
void* AllocateZeroed(std::size_t size);

// Gives back a block that AllocateZeroed returned for this same `size`.
void ReleaseBlock(void* block, std::size_t size);

// ---- reading -------------------------------------------------------------

using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// The most one ReadFile or WriteAt call is asked to move.
inline constexpr std::uint32_t kMaxTransfer = 1U << 30;

// Opens an existing regular file for reading; kInvalidFile for anything else. Never blocks.
FileHandle OpenForReading(const char* path);

// Whether the file could be opened for writing now; a read-only file never can.
bool ProbeWriteAccess(const char* path);

// The file's size in bytes; false when it cannot be taken.
bool GetFileSize(FileHandle file, std::uint64_t& size);

// One read of at most `length` bytes: the count moved, 0 at the end of the file, -1 on error.
std::int64_t ReadFile(FileHandle file, void* buffer, std::uint32_t length);

// Closes a handle from OpenForReading.
void CloseFile(FileHandle file);

// ---- replacing a destination ---------------------------------------------

// A destination being rewritten: either a new file staged beside it, or (where
// renaming over it is not possible) the destination itself opened for overwriting.
struct Replacement;

enum class ReplaceMode : std::uint8_t {
  Staged,     // a new file beside the destination; nothing visible until committed
  Overwrite,  // the destination itself, opened without truncation
};

// Prepares to replace the file at `path`, following a symbolic link to its target.
// `allowStaging` false asks for the overwrite mode directly. nullptr when the
// destination cannot be written at all: not a regular file, read-only, or nothing
// can be created there.
Replacement* BeginReplacement(const char* path, bool allowStaging);

ReplaceMode GetReplaceMode(const Replacement* replacement);

// One write of at most `length` bytes at `offset`: the count moved, or -1 on error.
std::int64_t WriteAt(Replacement* replacement, std::uint64_t offset, const void* data,
                     std::uint32_t length);

// Reserves `length` bytes for a staged file and maps them writable, so the new content
// can be built in the file's own pages. nullptr where that cannot be done; the
// replacement then still works through WriteAt.
std::uint8_t* MapReplacement(Replacement* replacement, std::uint64_t length);

// Starts writing a finished range of a mapped file to storage without waiting for it,
// so the disk works while the rest is built. Only a hint: nothing is reported, and the
// commit still flushes everything.
void StartWriteBack(Replacement* replacement, std::uint64_t offset, std::uint64_t length);

enum class CommitResult : std::uint8_t {
  Done,           // the destination holds the new bytes, flushed to storage
  Failed,         // flushing or renaming failed; the destination is unchanged when staged
  RenameRefused,  // staged, but the rename is impossible here: overwrite instead
};

// Sets the final length, flushes to stable storage and, when staged, renames the new
// file over the destination. Done ends the replacement. After Failed it stays open
// for AbandonReplacement. RenameRefused removes the staged file and ends the
// replacement, except that a mapped one stays readable until AbandonReplacement.
CommitResult CommitReplacement(Replacement* replacement, std::uint64_t length);

// Ends the replacement without committing: a staged file is removed.
void AbandonReplacement(Replacement* replacement);

}  // namespace platform
