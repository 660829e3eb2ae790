// What a run wrote over a file's own bytes, unit by unit: a check of the new bytes of
// each 4 KiB unit, so that putting the file back turns back only the units that still
// hold them, never bytes that another program wrote there meanwhile.
#pragma once

#include <cstdint>

#include "platform/heap_block.h"

class WrittenUnits {
 public:
  static constexpr std::uint32_t kUnitBytes = 4096;

  // Covers [from, length) of the file, in units counted from `from`; false where there
  // is no memory for it (then nothing is covered).
  bool Cover(std::uint32_t from, std::uint32_t length);
  [[nodiscard]] bool Covering() const { return static_cast<bool>(checks_); }
  [[nodiscard]] std::uint32_t From() const { return from_; }

  // Notes the new bytes that landed at `offset`; every write starts a whole number of
  // 512-byte pieces after `from`.
  void Note(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length);

  // Whether the unit that starts at `offset`, read as it is now (`length` bytes, cut
  // short where the writing stopped), holds what was noted there.
  [[nodiscard]] bool Holds(const std::uint8_t* data, std::uint32_t offset,
                           std::uint32_t length) const;

  void Release() { checks_.Release(); }

 private:
  [[nodiscard]] std::uint32_t Sum(const std::uint8_t* data, std::uint32_t offset,
                                  std::uint32_t length) const;

  HeapBlock checks_;  // one 32-bit sum of piece checks per unit
  std::uint32_t from_ = 0;
  std::uint32_t length_ = 0;
};
