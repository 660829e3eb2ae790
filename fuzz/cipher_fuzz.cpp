// Both ciphers over random data, keys, key positions, lengths and buffer alignments:
// every byte must equal its formula with key byte (position + n) mod keyLength, no
// byte outside the span may change, and a second pass must restore the data.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cipher/cipher.h"

namespace {

[[noreturn]] void Fail(const char* what, bool xorData, std::size_t length, std::size_t keyLength,
                       std::size_t offset, std::size_t at) {
  std::fprintf(stderr, "%s: %s, length %zu, key length %zu, offset %zu, byte %zu\n", what,
               xorData ? "XOrData" : "ComplementAdd", length, keyLength, offset, at);
  std::abort();
}

std::uint8_t Formula(bool xorData, std::uint8_t b, std::uint8_t k) {
  return xorData ? static_cast<std::uint8_t>(b ^ k)
                 : static_cast<std::uint8_t>((256U + k - b - 1U) % 256U);
}

void Apply(bool xorData, std::uint8_t* data, std::uint32_t length, const std::uint8_t* key,
           std::uint32_t keyLength, std::uint32_t position) {
  if (xorData) {
    XOrData(data, length, key, keyLength, position);
  } else {
    ComplementAdd(data, key, length, keyLength, position);
  }
}

constexpr std::uint8_t kGuard = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  FuzzedDataProvider provider(input, size);
  const bool xorData = provider.ConsumeBool();
  // Offsets within a vector's width and past it, so that every alignment of the span
  // against the cipher's wide loads is met.
  const std::size_t offset = provider.ConsumeIntegralInRange<std::size_t>(0, 97);
  // Key lengths around the short-key pattern's bound (256) and far beyond it.
  std::size_t keyLength = provider.ConsumeIntegralInRange<std::size_t>(1, 1200);
  // Where in the key the span starts, as for a part of a longer buffer; past the key's
  // length too.
  const std::uint32_t position = provider.ConsumeIntegralInRange<std::uint32_t>(0, 5000);
  // Mostly the fuzzer's own bytes; sometimes a longer span filled from a seed, so that
  // lengths far past the input size are met too.
  const bool synthetic = provider.ConsumeBool();
  const std::size_t syntheticLength = provider.ConsumeIntegralInRange<std::size_t>(1, 1U << 14);
  const std::uint32_t seed = provider.ConsumeIntegral<std::uint32_t>();

  std::vector<std::uint8_t> key = provider.ConsumeBytes<std::uint8_t>(keyLength);
  std::vector<std::uint8_t> plain = provider.ConsumeRemainingBytes<std::uint8_t>();
  std::uint32_t state = seed | 1U;
  auto next = [&state] {
    state ^= state << 13U;
    state ^= state >> 17U;
    state ^= state << 5U;
    return static_cast<std::uint8_t>(state);
  };
  while (key.size() < keyLength) {
    key.push_back(next());
  }
  if (synthetic) {
    plain.resize(syntheticLength);
    for (auto& b : plain) {
      b = next();
    }
  }
  if (plain.empty()) {
    return 0;
  }
  const std::size_t length = plain.size();

  // Exactly sized heap blocks: a read or write past either end is a sanitizer report.
  // The guard bytes before the span catch a write that starts too early.
  std::vector<std::uint8_t> buffer(offset + length, kGuard);
  std::vector<std::uint8_t> keyBlock(key);
  std::uint8_t* data = buffer.data() + offset;
  std::copy(plain.begin(), plain.end(), data);

  const auto length32 = static_cast<std::uint32_t>(length);
  const auto keyLength32 = static_cast<std::uint32_t>(keyLength);
  Apply(xorData, data, length32, keyBlock.data(), keyLength32, position);
  for (std::size_t i = 0; i < offset; ++i) {
    if (buffer[i] != kGuard) {
      Fail("a byte before the span changed", xorData, length, keyLength, offset, i);
    }
  }
  for (std::size_t n = 0; n < length; ++n) {
    if (data[n] != Formula(xorData, plain[n], key[(position + n) % keyLength])) {
      Fail("a byte differs from its formula", xorData, length, keyLength, offset, n);
    }
  }
  if (keyBlock != key) {
    Fail("the key was changed", xorData, length, keyLength, offset, 0);
  }
  Apply(xorData, data, length32, keyBlock.data(), keyLength32, position);
  for (std::size_t n = 0; n < length; ++n) {
    if (data[n] != plain[n]) {
      Fail("the round trip did not restore the data", xorData, length, keyLength, offset, n);
    }
  }
  return 0;
}
