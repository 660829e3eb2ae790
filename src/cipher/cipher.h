// The two keyed byte transforms. Each is its own inverse: running it twice with the
// same key restores the data. Byte n is transformed with key byte
// (keyPosition + n) mod keyLength; a part of a longer buffer passes its own offset
// as keyPosition and comes out as it would in one pass over the whole.
#pragma once

#include <cstdint>

// Each byte b becomes k + ~b (mod 256), that is k - b - 1.
void ComplementAdd(std::uint8_t* data, const std::uint8_t* key, std::uint32_t length,
                   std::uint32_t keyLength, std::uint32_t keyPosition = 0);

// Each byte b becomes b XOR k.
void XOrData(std::uint8_t* data, std::uint32_t length, const std::uint8_t* key,
             std::uint32_t keyLength, std::uint32_t keyPosition = 0);
