#include "cipher/cipher.h"

namespace {

// Walks the data one key-length stretch at a time, so the inner loop has no division
// and runs over contiguous bytes of both buffers.
template <typename Transform>
void ApplyRepeatingKey(std::uint8_t* data, std::uint32_t length, const std::uint8_t* key,
                       std::uint32_t keyLength, Transform transform) {
  if (data == nullptr || key == nullptr || keyLength == 0) {
    return;
  }
  std::uint32_t offset = 0;
  while (offset < length) {
    const std::uint32_t remaining = length - offset;
    const std::uint32_t stretch = remaining < keyLength ? remaining : keyLength;
    std::uint8_t* bytes = data + offset;
    for (std::uint32_t i = 0; i < stretch; ++i) {
      bytes[i] = transform(bytes[i], key[i]);
    }
    offset += stretch;
  }
}

}  // namespace

void ComplementAdd(std::uint8_t* data, const std::uint8_t* key, std::uint32_t length,
                   std::uint32_t keyLength) {
  ApplyRepeatingKey(data, length, key, keyLength, [](std::uint8_t b, std::uint8_t k) {
    return static_cast<std::uint8_t>(k - b - 1U);
  });
}

void XOrData(std::uint8_t* data, std::uint32_t length, const std::uint8_t* key,
             std::uint32_t keyLength) {
  ApplyRepeatingKey(data, length, key, keyLength, [](std::uint8_t b, std::uint8_t k) {
    return static_cast<std::uint8_t>(b ^ k);
  });
}
