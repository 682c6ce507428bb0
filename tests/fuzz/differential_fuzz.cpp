// The release image against the host build on any scenario: each input is
// scenario text, booted once with the driver linked into this process and once
// with the real image in the emulator, on the same machine models. Any
// difference in what the boot left behind (entry status, the published record
// and the buffers it names, ReadyToBoot and PCD writes, firmware calls, the
// access log, the heap list, pool, traps, what the agent and the UARTs got) or
// a fault of the image is a finding: both sides of the first difference are
// printed, then the run aborts. Scenarios the emulator refuses by design
// (allocator requests it does not serve, more drivers than it holds copies of
// the image) are skipped.
//
// The input is scenario text, as scenario_fuzz takes, rather than bytes
// decoded onto a scenario description: the seeds are the bundled scenarios as
// they are, the keys' dictionary serves both, and a finding is a scenario
// file anyone can replay with meminfo-sim and meminfo-sim --emulate.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/emu/emulator_dispatch.h"
#include "tests/emulator/boot_outcome.h"

namespace {

sim::EmulatorDispatch& Emulator() {
  static sim::EmulatorDispatch emulator(MEMINFO_IMAGE_PATH);  // one engine for every input
  return emulator;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// The outcome as one line per item, in a fixed order, each naming what it is.
std::vector<std::string> Lines(const test::Outcome& o) {
  std::vector<std::string> l;
  l.push_back("entry returned " + std::to_string(o.entryReturned) + ", status " + sim::StatusName(o.entryStatus) +
              ", halted " + std::to_string(o.halted) + ", runaway " + std::to_string(o.runaway));
  l.push_back("record " + (o.record ? Hex(*o.record) : std::string("none")));
  l.push_back("channel map " + Hex(o.channelMap));
  for (size_t s = 0; s < o.signalWrites.size(); ++s)
    for (const auto& w : o.signalWrites[s]) l.push_back("ReadyToBoot " + std::to_string(s) + " write " + w);
  for (const auto& w : o.pcdWrites) l.push_back("PCD write " + w);
  for (const auto& c : o.callDetails) l.push_back("call " + c);
  for (const auto& a : o.accesses) l.push_back("access " + a);
  for (size_t s = 0; s < o.stepCounts.size(); ++s) {
    std::string counts = "accesses in step " + std::to_string(s) + ":";
    for (uint64_t n : o.stepCounts[s]) counts += " " + std::to_string(n);
    l.push_back(counts);
  }
  for (const auto& h : o.handOvers) l.push_back("agent got " + h);
  for (const auto& u : o.uartOutput) l.push_back("UART sent " + u);
  for (const auto& h : o.heap) l.push_back("heap buffer " + h);
  for (uint32_t t : o.trapCodes) l.push_back("trap " + sim::HexText(t));
  for (uint32_t d : o.haltDisplay) l.push_back("halt display " + sim::HexText(d));
  l.push_back("halt code " + sim::HexText(o.haltCode));
  for (const auto& b : o.pool) l.push_back("pool " + b);
  for (const auto& m : o.smmMessages) l.push_back("SMM message " + Hex(m));
  l.push_back("S3 record " + Hex(o.s3Record));
  for (const auto& f : o.poolFaults) l.push_back("pool fault " + f);
  for (const auto& n : o.nothing) l.push_back("nothing answered " + n);
  return l;
}

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "differential: %s\n", what.c_str());
  std::abort();
}

}  // namespace

// Unicorn keeps caches of translated code for the life of the engine, which
// serves every input: what it allocates for them is not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libunicorn.so\n"; }

// Without leak checks unless the command line asks for them: those translation
// caches grow on many inputs, and libFuzzer then scans the heap for leaks after
// each, which took most of an input's time (300 inputs a second of processor
// time with, 760 without). The host side's leaks are scenario_fuzz's to find.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args(*argv, *argv + *argc);
  static char noLeakChecks[] = "-detect_leaks=0";
  for (char* a : args)
    if (std::string(a).rfind("-detect_leaks=", 0) == 0) return 0;
  args.insert(args.begin() + 1, noLeakChecks);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size() - 1);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Scenario scenario;
  try {
    scenario = sim::ParseScenario(std::string(reinterpret_cast<const char*>(data), size), "fuzz.toml");
  } catch (const sim::ScenarioError&) {
    return 0;
  }
  // Keep each input quick: a runaway stops early.
  if (scenario.accessLimit > 200000) scenario.accessLimit = 200000;
  sim::EmulatorDispatch& emulator = Emulator();
  if (!sim::RequestsUnsupported(scenario, emulator).empty()) return 0;
  size_t drivers = 1;
  for (const std::string& event : scenario.events) drivers += event == sim::kEventStartDriver;
  if (drivers > emulator.ImageCapacity()) return 0;

  auto boot = [&](sim::Dispatch& dispatch, test::Accesses accesses) {
    try {
      return test::Boot(scenario, dispatch, test::Stack::Skip, accesses);
    } catch (const sim::EmulationError& e) {
      Finding(std::string("the image faulted: ") + e.what());
    }
  };
  // The access logs compared as they are, not as a line of text per access on
  // both sides (thousands of strings an input): text only of boots that differ.
  {
    const test::Outcome host = boot(sim::HostDispatch(), test::Accesses::Raw);
    const test::Outcome image = boot(emulator, test::Accesses::Raw);
    if (std::equal(host.rawAccesses.begin(), host.rawAccesses.end(), image.rawAccesses.begin(), image.rawAccesses.end(),
                   test::SameAccess) &&
        Lines(host) == Lines(image))
      return 0;
  }
  // They differ: both boots again, every access as text, for the report.
  const std::vector<std::string> host = Lines(boot(sim::HostDispatch(), test::Accesses::Text));
  const std::vector<std::string> emu = Lines(boot(emulator, test::Accesses::Text));
  const size_t n = std::min(host.size(), emu.size());
  size_t i = 0;
  while (i < n && host[i] == emu[i]) ++i;
  if (i == n && host.size() == emu.size()) Finding("the boots differed once and agreed when run again");
  std::string report = "host build and image part at line " + std::to_string(i) + " of " + std::to_string(host.size()) +
                       " (host) / " + std::to_string(emu.size()) + " (image)\n";
  for (size_t j = i > 3 ? i - 3 : 0; j < std::max(host.size(), emu.size()) && j < i + 4; ++j) {
    report += (j == i ? " > host:  " : "   host:  ") + (j < host.size() ? host[j] : "(none)") + "\n";
    report += (j == i ? " > image: " : "   image: ") + (j < emu.size() ? emu[j] : "(none)") + "\n";
  }
  Finding(report);
}
