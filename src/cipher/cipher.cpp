#include "cipher/cipher.h"

#include <cstddef>
#include <cstring>

namespace {

// 16 bytes at a time through the compiler's vector extensions: the register width
// every x86-64 and ARM64 target has, so a vector never goes through the stack (wider
// vectors are split and spilled where the target lacks the registers).
constexpr std::size_t kVectorBytes = 16;
using ByteVector = std::uint8_t __attribute__((vector_size(kVectorBytes)));

// Keys up to this length are repeated into a stack pattern whose period is a multiple
// of the key, at least this long, so that no vector ever straddles the key's end.
constexpr std::size_t kShortKey = 256;
// Each step of the main loop moves four vectors.
constexpr std::size_t kVectorsPerStep = 4;
constexpr std::size_t kStepBytes = kVectorsPerStep * kVectorBytes;
constexpr std::size_t kPatternCapacity = 2 * kShortKey + kStepBytes;

ByteVector Load(const std::uint8_t* bytes) {
  ByteVector vector;
  std::memcpy(&vector, bytes, kVectorBytes);
  return vector;
}

void Store(std::uint8_t* bytes, ByteVector vector) { std::memcpy(bytes, &vector, kVectorBytes); }

struct ComplementAddOp {
  static std::uint8_t Byte(std::uint8_t b, std::uint8_t k) {
    return static_cast<std::uint8_t>(k - b - 1U);
  }
  static ByteVector Vector(ByteVector b, ByteVector k) { return k + ~b; }
};

struct XOrOp {
  static std::uint8_t Byte(std::uint8_t b, std::uint8_t k) {
    return static_cast<std::uint8_t>(b ^ k);
  }
  static ByteVector Vector(ByteVector b, ByteVector k) { return b ^ k; }
};

// The key as seen from the data: byte n of the data meets pattern[n mod period], and
// `readable` bytes of the pattern can be loaded from any position below `period`
// without wrapping.
struct KeyPattern {
  const std::uint8_t* bytes;
  std::size_t period;
  std::size_t readable;
};

template <typename Op>
void ApplyRepeatingKey(std::uint8_t* data, std::size_t length, const std::uint8_t* key,
                       std::size_t keyLength, std::size_t keyPosition) {
  if (data == nullptr || key == nullptr || keyLength == 0 || length == 0) {
    return;
  }
  alignas(kVectorBytes) std::uint8_t expanded[kPatternCapacity] = {};
  KeyPattern pattern{key, keyLength, keyLength};
  if (keyLength <= kShortKey) {
    const std::size_t period = keyLength * ((kShortKey + keyLength - 1) / keyLength);
    for (std::size_t i = 0, k = 0; i < period + kStepBytes;
         ++i, k = (k + 1 == keyLength ? 0 : k + 1)) {
      expanded[i] = key[k];
    }
    pattern = {expanded, period, period + kStepBytes};
  }

  // Position in the pattern of the current data byte. The pattern's period is a
  // multiple of the key, so the key position is a pattern position as well.
  std::size_t phase = keyPosition % keyLength;
  std::size_t offset = 0;
  // A long key's last step's worth of bytes followed by its first: a step that runs
  // over the key's end reads from here, once per pass over the key.
  alignas(kVectorBytes) std::uint8_t seam[2 * kStepBytes] = {};
  if (pattern.readable == pattern.period && length >= kStepBytes) {
    std::memcpy(seam, key + keyLength - kStepBytes, kStepBytes);
    std::memcpy(seam + kStepBytes, key, kStepBytes);
  }
  for (; offset + kStepBytes <= length; offset += kStepBytes) {
    const std::uint8_t* keyBytes = pattern.bytes + phase;
    if (phase + kStepBytes > pattern.readable) {
      keyBytes = seam + (phase + kStepBytes - pattern.period);
    }
    std::uint8_t* bytes = data + offset;
    for (std::size_t v = 0; v < kStepBytes; v += kVectorBytes) {
      Store(bytes + v, Op::Vector(Load(bytes + v), Load(keyBytes + v)));
    }
    phase += kStepBytes;
    if (phase >= pattern.period) {
      phase -= pattern.period;
    }
  }
  for (; offset < length; ++offset) {
    data[offset] = Op::Byte(data[offset], pattern.bytes[phase]);
    phase = (phase + 1 == pattern.period) ? 0 : phase + 1;
  }
}

}  // namespace

void ComplementAdd(std::uint8_t* data, const std::uint8_t* key, std::uint32_t length,
                   std::uint32_t keyLength, std::uint32_t keyPosition) {
  ApplyRepeatingKey<ComplementAddOp>(data, length, key, keyLength, keyPosition);
}

void XOrData(std::uint8_t* data, std::uint32_t length, const std::uint8_t* key,
             std::uint32_t keyLength, std::uint32_t keyPosition) {
  ApplyRepeatingKey<XOrOp>(data, length, key, keyLength, keyPosition);
}
