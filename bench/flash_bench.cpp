// Fletcher-32, as the flash directory checks run it, in bytes per second: the
// driver's Fletcher32 reading the default platform's boot flash through the
// hardware seam a 16-bit word at a time, and the checksum loop alone over host
// memory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <optional>
#include <vector>

#include "bench/bench_support.h"
#include "psp/flash.h"
#include "sim/board/platform.h"

namespace {

constexpr int64_t kBytes = 64 << 10;

void Fletcher32OnFlash(benchmark::State& state) {
  const sim::Scenario scenario = sim::LoadScenario(bench::SourcePath("scenarios/default.toml"));
  if (!scenario.flash) {
    state.SkipWithError("the default platform has no boot flash");
    return;
  }
  const uint64_t base = scenario.flash->base;
  std::optional<sim::Platform> platform;
  uint32_t sum = 0;
  for (auto _ : state) {
    // A fresh platform (and access log) for each run, outside the timing.
    state.PauseTiming();
    platform.reset();
    platform.emplace(scenario);
    state.ResumeTiming();
    platform->Run([&] { sum = Fletcher32(base, kBytes / 2); });
    benchmark::DoNotOptimize(sum);
  }
  platform.reset();
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(Fletcher32OnFlash);

void Fletcher32Loop(benchmark::State& state) {
  std::vector<uint8_t> bytes(kBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 3);
  for (auto _ : state) {
    const uint32_t sum = Fletcher32Words(kBytes / 2, [&](uint64_t i) -> uint32_t {
      uint16_t w;
      std::memcpy(&w, bytes.data() + 2 * i, 2);
      return w;
    });
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(Fletcher32Loop);

}  // namespace
