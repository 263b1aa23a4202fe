// gen_crc against zlib's crc32 (whose complement it is) and against the bit-by-bit reference,
// over the same buffer in the same run. bench/crc prints the gen_crc/zlib ratio per size.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "crc.h"

namespace {

constexpr size_t kLargest = 1 << 20;

// One buffer for every case, filled with pseudo-random bytes so no table entry is favoured.
const std::vector<uint8_t>& buffer() {
  static const std::vector<uint8_t> data = [] {
    std::mt19937 rng(0x9E3779B9u);
    std::vector<uint8_t> b(kLargest);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    return b;
  }();
  return data;
}

void BM_gen_crc(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  const uint8_t* p = buffer().data();
  for (auto _ : state) benchmark::DoNotOptimize(gen_crc(p, n, kCrcInit));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void BM_zlib_crc32(benchmark::State& state) {
  const auto n = static_cast<uInt>(state.range(0));
  const uint8_t* p = buffer().data();
  // Complemented, so both sides produce the same value.
  for (auto _ : state) benchmark::DoNotOptimize(static_cast<uint32_t>(~crc32(0L, p, n)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void BM_gen_crc_bitwise(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  const uint8_t* p = buffer().data();
  for (auto _ : state) benchmark::DoNotOptimize(gen_crc_bitwise(p, n, kCrcInit));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

// A benchmark that compares two wrong answers fast would be worthless: check first.
bool same_values() {
  const uint8_t* p = buffer().data();
  const auto n = static_cast<uint32_t>(kLargest);
  const uint32_t fast = gen_crc(p, n, kCrcInit);
  return fast == static_cast<uint32_t>(~crc32(0L, p, n)) && fast == gen_crc_bitwise(p, n, kCrcInit);
}

}  // namespace

BENCHMARK(BM_gen_crc)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_zlib_crc32)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_gen_crc_bitwise)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

int main(int argc, char** argv) {
  if (!same_values()) {
    fprintf(stderr, "crc_bench: gen_crc, zlib crc32 and gen_crc_bitwise disagree\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
