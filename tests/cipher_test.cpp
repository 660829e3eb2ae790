// The ciphers against the byte-by-byte formula, on random data and keys.
#include "cipher/cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t length, std::mt19937& random) {
  Bytes bytes(length);
  for (auto& b : bytes) {
    b = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

class CipherTest : public testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t>> {};

TEST_P(CipherTest, MatchesTheFormulaAndUndoesItself) {
  const auto [length, keyLength] = GetParam();
  std::mt19937 random(length * 7919U + keyLength);
  const Bytes original = RandomBytes(length, random);
  const Bytes key = RandomBytes(keyLength, random);

  Bytes complemented = original;
  ComplementAdd(complemented.data(), key.data(), length, keyLength);
  Bytes xored = original;
  XOrData(xored.data(), length, key.data(), keyLength);
  for (std::uint32_t n = 0; n < length; ++n) {
    const std::uint8_t k = key[n % keyLength];
    ASSERT_EQ(complemented[n], static_cast<std::uint8_t>((k + (0xFF - original[n])) % 256))
        << "offset " << n;
    ASSERT_EQ(xored[n], original[n] ^ k) << "offset " << n;
  }

  ComplementAdd(complemented.data(), key.data(), length, keyLength);
  XOrData(xored.data(), length, key.data(), keyLength);
  EXPECT_EQ(complemented, original);
  EXPECT_EQ(xored, original);
}

// Lengths around vector widths, keys shorter, equal to and longer than the data.
INSTANTIATE_TEST_SUITE_P(LengthsAndKeys, CipherTest,
                         testing::Combine(testing::Values(1U, 7U, 16U, 31U, 64U, 1000U, 65537U,
                                                          200003U),
                                          testing::Values(1U, 3U, 8U, 13U, 64U, 255U, 256U, 257U,
                                                          1000U, 4099U, 70000U)));

TEST(CipherEdges, FixedPointsOfTheFormulas) {
  const std::uint8_t key[] = {0x41, 0x00, 0xFF};
  std::uint8_t complemented[] = {0x41, 0xFF, 0xFE};  // key, key - 1, key - 1
  ComplementAdd(complemented, key, 3, 3);
  EXPECT_EQ(complemented[0], 0xFF);  // equal to the key byte
  EXPECT_EQ(complemented[1], 0x00);  // one below it
  EXPECT_EQ(complemented[2], 0x00);
  std::uint8_t xored[] = {0x41, 0x00, 0xFF};
  XOrData(xored, 3, key, 3);
  EXPECT_EQ(xored[0], 0);
  EXPECT_EQ(xored[1], 0);
  EXPECT_EQ(xored[2], 0);
}

TEST(CipherEdges, UnalignedBuffersGiveTheSameBytes) {
  std::mt19937 random(42);
  const Bytes data = RandomBytes(4099, random);
  const Bytes key = RandomBytes(13, random);
  Bytes reference = data;
  XOrData(reference.data(), 4096, key.data(), 13);
  for (std::size_t shift = 1; shift < 4; ++shift) {
    Bytes shifted(shift, 0);
    shifted.insert(shifted.end(), data.begin(), data.begin() + 4096);
    XOrData(shifted.data() + shift, 4096, key.data(), 13);
    EXPECT_TRUE(std::equal(reference.begin(), reference.begin() + 4096, shifted.begin() + shift));
  }
}

// Parts ciphered one after another, each with its own offset as key position, give
// the bytes of one pass over the whole: for short keys (the expanded pattern), keys
// at the pattern's edge and long keys, with cuts inside and at the ends of vectors.
class CipherPartsTest : public testing::TestWithParam<std::uint32_t> {};

TEST_P(CipherPartsTest, PartsMatchOnePass) {
  const std::uint32_t keyLength = GetParam();
  std::mt19937 random(keyLength);
  constexpr std::uint32_t kLength = 150001;
  const Bytes original = RandomBytes(kLength, random);
  const Bytes key = RandomBytes(keyLength, random);
  Bytes whole = original;
  ComplementAdd(whole.data(), key.data(), kLength, keyLength);
  Bytes wholeXor = original;
  XOrData(wholeXor.data(), kLength, key.data(), keyLength);

  for (const std::uint32_t part : {1U, 31U, 64U, 4096U, 65535U, 100000U}) {
    Bytes parts = original;
    Bytes partsXor = original;
    for (std::uint32_t at = 0; at < kLength; at += part) {
      const std::uint32_t length = std::min(part, kLength - at);
      ComplementAdd(parts.data() + at, key.data(), length, keyLength, at);
      XOrData(partsXor.data() + at, length, key.data(), keyLength, at);
    }
    EXPECT_EQ(parts, whole) << "parts of " << part;
    EXPECT_EQ(partsXor, wholeXor) << "parts of " << part;
  }
}

INSTANTIATE_TEST_SUITE_P(KeyLengths, CipherPartsTest,
                         testing::Values(1U, 7U, 64U, 255U, 256U, 257U, 1000U, 70000U, 200000U));

}  // namespace
