// The ciphers against the byte-by-byte formula, on random data and keys.
#include "cipher/cipher.h"

#include <gtest/gtest.h>

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

}  // namespace
