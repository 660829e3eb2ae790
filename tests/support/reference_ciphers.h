// The two ciphers written straight from their formulas, apart from the tool's code, so
// that the suites check the tool's bytes against something it does not share, and the
// data they feed it. Plain C++: the Linux suites and the Windows one under Wine share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace support {

inline const char kDefaultKey[] = "Velmoran";

std::string ComplementAdd(std::string data, std::string_view key);  // (k - b - 1) mod 256
std::string XOrData(std::string data, std::string_view key);        // b ^ k

// `length` reproducible pseudo-random bytes that hold every byte value.
std::string SomeBytes(std::size_t length, std::uint32_t seed);

}  // namespace support
