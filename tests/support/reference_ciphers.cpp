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

}  // namespace support
