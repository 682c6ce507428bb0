// The DRUX walk in entries per second: the driver's VyrPspGetDruxEntry listing
// the per-die memory descriptions of a block in platform memory, every entry
// read through the hardware seam, as the chip-select build walks it once per
// die. The block is the default platform's with entries added (group 1, type 1,
// passed over), state.range(0) entries in all.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>

#include "bench/bench_support.h"
#include "psp/drux.h"
#include "sim/board/platform.h"

namespace {

void DruxWalk(benchmark::State& state) {
  const auto entries = size_t(state.range(0));
  const auto scenario = std::make_shared<const sim::Scenario>(
      bench::WithDruxEntries(sim::LoadScenario(bench::SourcePath("scenarios/default.toml")), entries));
  std::optional<sim::Platform> platform;
  DruxEntry* list[kDruxEntryListLength];
  uint32_t count = 0;
  EfiStatus status = 0;
  for (auto _ : state) {
    // A booted platform (start-up has found the HOB list) with an empty access
    // log for each walk, outside the timing.
    state.PauseTiming();
    platform.reset();
    platform.emplace(scenario);
    platform->Boot();
    state.ResumeTiming();
    platform->Run([&] { status = VyrPspGetDruxEntry(kDruxGroupMemory, kDruxTypeDieMemory, &count, list); });
    benchmark::DoNotOptimize(status);
  }
  if (status != EFI_SUCCESS || count != 8) state.SkipWithError("the walk did not list the eight dies' entries");
  platform.reset();
  state.SetItemsProcessed(state.iterations() * int64_t(entries));
  state.counters["entries"] = double(entries);
}
BENCHMARK(DruxWalk)->Arg(1000);

}  // namespace
