// The two ciphers written straight from their formulas, apart from the tool's code, so
// that the suites check the tool's bytes against something it does not share.
#pragma once

#include <string>
#include <string_view>

namespace support {

inline const char kDefaultKey[] = "Velmoran";

std::string ComplementAdd(std::string data, std::string_view key);  // (k - b - 1) mod 256
std::string XOrData(std::string data, std::string_view key);        // b ^ k

}  // namespace support
