// What a boot of the driver on the virtual platform costs: boots per second of
// the default platform with the driver linked in and with the real image in the
// CPU emulator, the smallest and the largest bundled platform, boots as the
// platform grows from one die to eight, and boots of the default platform as its
// DRUX block grows from 10 entries to 10,000.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "sim/emu/emulator_dispatch.h"
#include "sim/board/platform.h"

namespace {

size_t DieCount(const sim::Scenario& s) {
  size_t n = 0;
  for (const auto& socket : s.sockets) n += socket.dies.size();
  return n;
}

// One boot per iteration: a platform built from the scenario (which resets what
// the previous boot touched), the entry and the scenario's events.
void Boot(benchmark::State& state, const sim::Scenario& scenario, sim::Dispatch& dispatch) {
  const auto shared = std::make_shared<const sim::Scenario>(scenario);
  uint64_t accesses = 0;
  for (auto _ : state) {
    sim::Platform platform(shared, dispatch);
    const sim::BootResult result = platform.Boot();
    benchmark::DoNotOptimize(result.entryStatus);
    accesses = platform.hardware().TotalAccesses();
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.counters["accesses"] = double(accesses);
  state.counters["dies"] = double(DieCount(scenario));
}

void HostBoot(benchmark::State& state, const sim::Scenario& scenario) { Boot(state, scenario, sim::HostDispatch()); }

void EmulatedBoot(benchmark::State& state, const sim::Scenario& scenario) {
  // One emulator for every boot, as a process that boots again and again keeps it.
  static std::unique_ptr<sim::EmulatorDispatch> emulator;
  if (!emulator) emulator = std::make_unique<sim::EmulatorDispatch>(std::string(MEMINFO_IMAGE_PATH));
  Boot(state, scenario, *emulator);
}

// Boots of a platform of state.range(0) dies, four to a socket. tools/figures
// fits a line through them: the fixed cost of a boot and the cost per die.
void ScalingDies(benchmark::State& state) { HostBoot(state, bench::GrownPlatform(int(state.range(0)))); }
BENCHMARK(ScalingDies)->DenseRange(1, 8);

// Boots of the default platform with a DRUX block of state.range(0) entries:
// the chip-select build walks the whole block once for each of its eight dies.
// tools/figures fits a line through them: the cost per entry.
void ScalingDrux(benchmark::State& state) {
  HostBoot(state, bench::WithDruxEntries(sim::LoadScenario(bench::SourcePath("scenarios/default.toml")),
                                         size_t(state.range(0))));
  state.counters["entries"] = double(state.range(0));
}
BENCHMARK(ScalingDrux)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

// The bundled platforms with the fewest and the most dies (ties: the first by name).
void RegisterBundled() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(bench::SourcePath("scenarios")))
    if (entry.path().extension() == ".toml") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<sim::Scenario> scenarios;
  for (const auto& f : files) scenarios.push_back(sim::LoadScenario(f.string()));
  if (scenarios.empty()) return;
  auto byDies = [](const sim::Scenario& a, const sim::Scenario& b) { return DieCount(a) < DieCount(b); };
  const sim::Scenario smallest = *std::min_element(scenarios.begin(), scenarios.end(), byDies);
  const sim::Scenario largest = *std::max_element(scenarios.begin(), scenarios.end(), byDies);
  const sim::Scenario defaults = sim::LoadScenario(bench::SourcePath("scenarios/default.toml"));

  benchmark::RegisterBenchmark("HostBoot/default", HostBoot, defaults);
  benchmark::RegisterBenchmark("EmulatedBoot/default", EmulatedBoot, defaults);
  benchmark::RegisterBenchmark(("HostBoot/smallest:" + smallest.name).c_str(), HostBoot, smallest);
  benchmark::RegisterBenchmark(("HostBoot/largest:" + largest.name).c_str(), HostBoot, largest);
}
const bool kRegistered = (RegisterBundled(), true);

}  // namespace
