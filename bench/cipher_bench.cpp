// The cipher kernels beside the memory-speed ceiling (an in-place ~byte pass) and the
// naive per-byte loop, over the same buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "cipher/cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t length) {
  Bytes bytes(length);
  std::mt19937 random(7);
  for (auto& b : bytes) {
    b = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

Bytes& Buffer(std::size_t length) {
  static Bytes buffer;
  if (buffer.size() != length) {
    buffer = RandomBytes(length);
  }
  return buffer;
}

void SetCounters(benchmark::State& state, std::size_t length) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(length));
}

void BM_ComplementAdd(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const Bytes key = RandomBytes(static_cast<std::size_t>(state.range(1)));
  Bytes& data = Buffer(length);
  for (auto _ : state) {
    ComplementAdd(data.data(), key.data(), static_cast<std::uint32_t>(length),
                  static_cast<std::uint32_t>(key.size()));
    benchmark::ClobberMemory();
  }
  SetCounters(state, length);
}

void BM_XOrData(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const Bytes key = RandomBytes(static_cast<std::size_t>(state.range(1)));
  Bytes& data = Buffer(length);
  for (auto _ : state) {
    XOrData(data.data(), static_cast<std::uint32_t>(length), key.data(),
            static_cast<std::uint32_t>(key.size()));
    benchmark::ClobberMemory();
  }
  SetCounters(state, length);
}

// The ceiling: the least work a pass over every byte can do.
void BM_NotPass(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  Bytes& data = Buffer(length);
  for (auto _ : state) {
    std::uint8_t* bytes = data.data();
    for (std::size_t i = 0; i < length; ++i) {
      bytes[i] = static_cast<std::uint8_t>(~bytes[i]);
    }
    benchmark::ClobberMemory();
  }
  SetCounters(state, length);
}

// What the formula costs written the obvious way.
__attribute__((noinline)) void NaiveComplementAdd(std::uint8_t* data, const std::uint8_t* key,
                                                  std::uint32_t length, std::uint32_t keyLength) {
  for (std::uint32_t n = 0; n < length; ++n) {
    data[n] = static_cast<std::uint8_t>(key[n % keyLength] - data[n] - 1U);
  }
}

void BM_NaiveComplementAdd(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const Bytes key = RandomBytes(static_cast<std::size_t>(state.range(1)));
  Bytes& data = Buffer(length);
  for (auto _ : state) {
    NaiveComplementAdd(data.data(), key.data(), static_cast<std::uint32_t>(length),
                       static_cast<std::uint32_t>(key.size()));
    benchmark::ClobberMemory();
  }
  SetCounters(state, length);
}

constexpr std::int64_t KiB = 1024;
constexpr std::int64_t MiB = 1024 * KiB;
constexpr std::int64_t GiB = 1024 * MiB;

void KernelArguments(benchmark::internal::Benchmark* benchmark) {
  for (const std::int64_t length : {4 * KiB, 1 * MiB, 64 * MiB, 1 * GiB}) {
    for (const std::int64_t key : {std::int64_t{1}, std::int64_t{8}, std::int64_t{13},
                                   std::int64_t{64}, std::int64_t{1000}, 64 * KiB, MiB}) {
      benchmark->Args({length, key});
    }
  }
}

void CeilingArguments(benchmark::internal::Benchmark* benchmark) {
  for (const std::int64_t length : {4 * KiB, 1 * MiB, 64 * MiB, 1 * GiB}) {
    benchmark->Args({length});
  }
}

}  // namespace

BENCHMARK(BM_NotPass)->Apply(CeilingArguments);
BENCHMARK(BM_ComplementAdd)->Apply(KernelArguments);
BENCHMARK(BM_XOrData)->Apply(KernelArguments);
BENCHMARK(BM_NaiveComplementAdd)->Args({64 * MiB, 8})->Args({64 * MiB, 1000});

BENCHMARK_MAIN();
