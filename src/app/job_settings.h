// The one record of a run: what the command line asked for and what the job holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/heap_block.h"

inline constexpr std::uint32_t FlagKeyString = 0x01;  // -k: the key argument is the key
inline constexpr std::uint32_t FlagKeyFile = 0x02;    // -f: the key argument names a key file
inline constexpr std::uint32_t FlagSilent = 0x04;     // -s: no message box at all
inline constexpr std::uint32_t FlagCopy = 0x08;       // -c: write to a destination path
inline constexpr std::uint32_t FlagXOrData = 0x10;    // -m: XOrData instead of ComplementAdd

// The program's title: the key when no key is given, and every message box's caption.
inline constexpr char DefaultKey[] = "Velmoran";

struct JobSettings {
  std::uint32_t Flags = 0;
  HeapBlock SourcePath;       // zero-terminated
  HeapBlock DestinationPath;  // zero-terminated; empty in in-place mode
  HeapBlock KeyArgument;      // zero-terminated key string or key-file path; wiped on release
  HeapBlock KeyFile;          // the key file's whole content; wiped on release
  const std::uint8_t* KeyBytes = nullptr;  // borrows KeyFile, KeyArgument or DefaultKey
  std::uint32_t KeyLength = 0;
  HeapBlock Data;  // one part of the source at a time, transformed in place
  std::uint32_t DataLength = 0;
  std::uint32_t TickStart = 0;
  std::uint32_t TickRead = 0;
  std::uint32_t TickCiphered = 0;
  std::uint32_t TickWritten = 0;

  // In place: the result goes over the source. (A destination that is the source's
  // file by another name is told apart by the file's identity, not here.)
  [[nodiscard]] bool NoDestinationNamed() const { return !DestinationPath; }

  // Where the result goes: the destination, or the source's path in in-place mode.
  [[nodiscard]] const char* Destination() const {
    return NoDestinationNamed() ? SourcePath.Text() : DestinationPath.Text();
  }

  // Gives back every block, in the order they were obtained, each exactly once.
  void Release() {
    SourcePath.Release();
    DestinationPath.Release();
    KeyArgument.Release();
    KeyFile.Release();
    Data.Release();
    KeyBytes = nullptr;
  }
};

// The process-wide record; all zero at start.
JobSettings& Job();

// Returns the record to its state at start (for the tests, which run many jobs).
void ResetJobSettings();
