#include "reference_ciphers.h"

namespace support {

std::string ComplementAdd(std::string data, std::string_view key) {
  for (std::size_t n = 0; n < data.size(); ++n) {
    const unsigned k = static_cast<unsigned char>(key[n % key.size()]);
    const unsigned b = static_cast<unsigned char>(data[n]);
    data[n] = static_cast<char>((256U + k - b - 1U) % 256U);
  }
  return data;
}

std::string XOrData(std::string data, std::string_view key) {
  for (std::size_t n = 0; n < data.size(); ++n) {
    data[n] = static_cast<char>(data[n] ^ key[n % key.size()]);
  }
  return data;
}

std::string SomeBytes(std::size_t length, std::uint32_t seed) {
  std::string bytes(length, '\0');
  std::uint32_t state = seed * 2654435761U + 1;
  for (std::size_t i = 0; i < length; ++i) {
    state = state * 1664525U + 1013904223U;
    // Every byte value appears in any 256 consecutive bytes' worth of offsets.
    bytes[i] = static_cast<char>((state >> 24U) ^ (i & 0xFFU));
  }
  return bytes;
}

}  // namespace support
