// [msr], [cpuid] and [cpu]: what the processor's registers read.
#include "sim/scenario/scenario_reader.h"

namespace sim {

void ReadMsrs(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("msr");
  if (!n) return;
  for (auto&& [k, v] : r.Table(*n, "msr")) {
    const std::string key = ScenarioReader::Join("msr", k.str());
    s.msrs[uint32_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF))] = r.Value64(v, key);
  }
}

void ReadCpuid(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("cpuid");
  if (!n) return;
  for (auto&& [k, v] : r.Table(*n, "cpuid")) {
    const std::string key = ScenarioReader::Join("cpuid", k.str());
    uint32_t leaf = uint32_t(r.KeyNumber(std::string(k.str()), k.source(), key, 0xFFFFFFFF));
    const auto& regs = r.Array(v, key);
    if (regs.size() != 4) r.Fail(v.source(), key, "expected [eax, ebx, ecx, edx]");
    CpuidValue c;
    c.eax = uint32_t(r.Unsigned(regs[0], key, 0xFFFFFFFF));
    c.ebx = uint32_t(r.Unsigned(regs[1], key, 0xFFFFFFFF));
    c.ecx = uint32_t(r.Unsigned(regs[2], key, 0xFFFFFFFF));
    c.edx = uint32_t(r.Unsigned(regs[3], key, 0xFFFFFFFF));
    s.cpuid[leaf] = c;
  }
}

void ReadCpu(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("cpu");
  if (!n) return;
  const auto& t = r.Table(*n, "cpu");
  r.Keys(t, "cpu", {"dr2", "dr3", "dr7", "cr4", "tsc_start", "tsc_per_read", "pause_ticks"});
  if (auto v = t.get("dr2")) s.dr2 = r.Value64(*v, "cpu.dr2");
  if (auto v = t.get("dr3")) s.dr3 = r.Value64(*v, "cpu.dr3");
  if (auto v = t.get("dr7")) s.dr7 = r.Value64(*v, "cpu.dr7");
  if (auto v = t.get("cr4")) s.cr4 = r.Value64(*v, "cpu.cr4");
  if (auto v = t.get("tsc_start")) s.tscStart = r.Value64(*v, "cpu.tsc_start");
  if (auto v = t.get("tsc_per_read")) s.tscPerRead = r.Unsigned(*v, "cpu.tsc_per_read", 1ull << 40);
  if (auto v = t.get("pause_ticks")) s.tscPerPause = r.Unsigned(*v, "cpu.pause_ticks", 1ull << 40);
}

}  // namespace sim
