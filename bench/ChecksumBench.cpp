// Throughput of each checksum type of libpellaxa over a 512-byte frame and a
// 128 KiB buffer (a whole memory image), reported as bytes per second.
#include "pellaxa.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void BM_CalcCheckSum(benchmark::State &state)
{
  const auto type = static_cast<TCheckSumType>(state.range(0));
  const auto size = static_cast<std::int32_t>(state.range(1));
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  for (auto _ : state)
    benchmark::DoNotOptimize(CalcCheckSum(data.data(), size, type));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

void BM_TypeCheckSumFind(benchmark::State &state)
{
  // A frame with a 16-bit sum: every earlier type is tried first.
  const auto size = static_cast<std::int32_t>(state.range(0));
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size), 0x11);
  const std::uint16_t sum = CalcCheckSum(data.data(), size - 2, ctSum16);
  data[data.size() - 2] = static_cast<std::uint8_t>(sum);
  data[data.size() - 1] = static_cast<std::uint8_t>(sum >> 8);
  for (auto _ : state)
    benchmark::DoNotOptimize(TypeCheckSumFind(data.data(), size));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

} // namespace

BENCHMARK(BM_CalcCheckSum)->ArgsProduct({{1, 2, 3, 4, 5}, {512, 128 * 1024}})->ArgNames({"type", "bytes"});
BENCHMARK(BM_TypeCheckSumFind)->Arg(512)->Arg(128 * 1024)->ArgName("bytes");

BENCHMARK_MAIN();
