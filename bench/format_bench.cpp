// The format engine's speed in characters stored per second, on a register dump
// line (hexadecimal fields), a line with a GUID, a status and strings, and a
// wide-output line.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "diag/format.h"
#include "uefi/base.h"

namespace {

void Format(benchmark::State& state, uint32_t control, const char* format, FormatArgList args) {
  char buffer[512];
  uint64_t units = 0;
  for (auto _ : state) {
    units += FormatCore(buffer, sizeof buffer / ((control & FORMAT_WIDE_OUTPUT) ? 2 : 1), control, format, args);
    benchmark::DoNotOptimize(buffer);
  }
  state.counters["chars"] = benchmark::Counter(double(units), benchmark::Counter::kIsRate);
}

const uint64_t kDump[] = {13, 0x00001000, 0x00002000, 0xFFFFFFFE, 0x12345678};
const Guid kGuid = {0x3C6ED57C, 0x4F6A, 0x8A58, {0x85, 0xDF, 0xDC, 0xA5, 0xAD, 0xF0, 0xF1, 0x6B}};
const uint64_t kMixed[] = {uint64_t(reinterpret_cast<uintptr_t>(&kGuid)), 0x8000000000000009ull,
                           uint64_t(reinterpret_cast<uintptr_t>("MemInfoRecord")), 40, uint64_t(-12345)};

void DumpLine(benchmark::State& state) {
  Format(state, 0, "\t\tBaseAddr-x00\t\tChannel %x cs0 = %08x cs1 = %08x cs2 = %08x cs3 = %08x\n",
         FormatArgList{kDump, 5});
}
void MixedLine(benchmark::State& state) {
  Format(state, 0, "install %g: %r (%a, %d bytes, %,d)\n", FormatArgList{kMixed, 5});
}
void WideOutput(benchmark::State& state) {
  Format(state, FORMAT_WIDE_OUTPUT, "\t\tAddrMask-x20\t\tChannel %x Dimm0 = %08x Dimm1 = %08x\n",
         FormatArgList{kDump, 3});
}
BENCHMARK(DumpLine);
BENCHMARK(MixedLine);
BENCHMARK(WideOutput);

}  // namespace
