// The cipher kernels against the memory-speed ceiling (an in-place ~byte pass) and the
// naive per-byte loop, measured side by side: each round runs every kernel once over
// the same buffer, in a fresh order, and the table shows the best round of each.
// Needs nothing but the standard library, so the Windows build runs it under Wine.
//
// Usage: velmoran_kernel_ratios [MiB] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cipher/cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t length, std::uint32_t seed) {
  Bytes bytes(length);
  std::mt19937 random(seed);
  for (auto& b : bytes) {
    b = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

__attribute__((noinline)) void NotPass(std::uint8_t* data, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) {
    data[i] = static_cast<std::uint8_t>(~data[i]);
  }
}

// The formula written the obvious way: the modulo keeps the compiler from vectorising.
__attribute__((noinline)) void NaiveComplementAdd(std::uint8_t* data, const std::uint8_t* key,
                                                  std::uint32_t length, std::uint32_t keyLength) {
  for (std::uint32_t n = 0; n < length; ++n) {
    data[n] = static_cast<std::uint8_t>(key[n % keyLength] - data[n] - 1U);
  }
}

struct Kernel {
  std::string name;
  std::uint32_t keyLength;  // 0 for the ~byte pass
  enum { Ceiling, Complement, Xor, Naive } kind;
  double best = 1e9;
};

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t mib = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 64;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  const std::uint32_t length = mib << 20;
  Bytes data = RandomBytes(length, 1);
  const Bytes key = RandomBytes(1U << 20, 2);

  std::vector<Kernel> kernels = {
      {"~byte pass", 0, Kernel::Ceiling},
      {"ComplementAdd, 8-byte key", 8, Kernel::Complement},
      {"ComplementAdd, 1000-byte key", 1000, Kernel::Complement},
      {"ComplementAdd, 1 MiB key", 1U << 20, Kernel::Complement},
      {"XOrData, 8-byte key", 8, Kernel::Xor},
      {"XOrData, 1000-byte key", 1000, Kernel::Xor},
      {"XOrData, 1 MiB key", 1U << 20, Kernel::Xor},
      {"naive loop, 8-byte key", 8, Kernel::Naive},
  };
  std::mt19937 shuffle(3);
  std::vector<std::size_t> order(kernels.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < order.size(); ++i) {
      order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), shuffle);
    for (const std::size_t i : order) {
      Kernel& kernel = kernels[i];
      const auto start = std::chrono::steady_clock::now();
      switch (kernel.kind) {
        case Kernel::Ceiling: NotPass(data.data(), length); break;
        case Kernel::Complement:
          ComplementAdd(data.data(), key.data(), length, kernel.keyLength);
          break;
        case Kernel::Xor: XOrData(data.data(), length, key.data(), kernel.keyLength); break;
        case Kernel::Naive:
          NaiveComplementAdd(data.data(), key.data(), length, kernel.keyLength);
          break;
      }
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      kernel.best = std::min(kernel.best, took.count());
    }
  }

  const double ceiling = kernels[0].best;
  const double naive = kernels.back().best;
  std::printf("%u MiB buffer, best of %d rounds\n\n", mib, rounds);
  std::printf("| kernel | GiB/s | of ~byte pass | times naive loop |\n|---|---|---|---|\n");
  for (const Kernel& kernel : kernels) {
    std::printf("| %s | %.2f | %.2f | %.1f |\n", kernel.name.c_str(),
                static_cast<double>(mib) / 1024.0 / kernel.best, ceiling / kernel.best,
                naive / kernel.best);
  }
  // Keeps the passes from being optimised away.
  unsigned sum = 0;
  for (std::uint32_t i = 0; i < length; i += 4096) {
    sum += data[i];
  }
  return sum == 0xFFFFFFFFU ? 1 : 0;
}
