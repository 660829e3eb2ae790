#include "app/written_units.h"

#include <cstring>

#include "app/recovery_record.h"

namespace {

constexpr std::uint32_t kPieceBytes = 512;

}  // namespace

bool WrittenUnits::Cover(std::uint32_t from, std::uint32_t length) {
  checks_.Release();
  from_ = from;
  length_ = length;
  if (from >= length) {
    return false;
  }
  const std::uint32_t units = (length - from - 1) / kUnitBytes + 1;
  checks_ = HeapBlock::Allocate(std::size_t{units} * sizeof(std::uint32_t));
  return Covering();
}

// A sum of the checks of each 512-byte piece, each mixed with where it lies: the same
// whichever writes brought the pieces, and in whatever order.
std::uint32_t WrittenUnits::Sum(const std::uint8_t* data, std::uint32_t offset,
                                std::uint32_t length) const {
  std::uint32_t sum = 0;
  for (std::uint32_t at = 0; at < length; at += kPieceBytes) {
    const std::uint32_t piece = length - at < kPieceBytes ? length - at : kPieceBytes;
    sum += PieceCheck(data + at, piece, (offset + at - from_) / kPieceBytes);
  }
  return sum;
}

void WrittenUnits::Note(const std::uint8_t* data, std::uint32_t offset, std::uint32_t length) {
  if (!Covering() || offset < from_ || offset >= length_) {
    return;
  }
  length = length < length_ - offset ? length : length_ - offset;
  for (std::uint32_t at = 0; at < length;) {
    const std::uint32_t unit = (offset + at - from_) / kUnitBytes;
    const std::uint32_t unitEnd = from_ + (unit + 1) * kUnitBytes - offset;
    const std::uint32_t end = unitEnd < length ? unitEnd : length;
    std::uint32_t check = 0;
    std::memcpy(&check, checks_.Bytes() + std::size_t{unit} * sizeof check, sizeof check);
    check += Sum(data + at, offset + at, end - at);
    std::memcpy(checks_.Bytes() + std::size_t{unit} * sizeof check, &check, sizeof check);
    at = end;
  }
}

bool WrittenUnits::Holds(const std::uint8_t* data, std::uint32_t offset,
                         std::uint32_t length) const {
  if (!Covering() || offset < from_ || offset >= length_ || (offset - from_) % kUnitBytes != 0) {
    return true;  // not covered: counted as this run's, as the file was before
  }
  std::uint32_t check = 0;
  std::memcpy(&check, checks_.Bytes() + std::size_t{(offset - from_) / kUnitBytes} * sizeof check,
              sizeof check);
  return Sum(data, offset, length) == check;
}
