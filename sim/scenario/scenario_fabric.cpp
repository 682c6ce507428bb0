// The scenario's [fabric] table: values of the fabric registers the MMIO
// allocator reads, over the ones the [[socket]] topology implies.
#include "sim/scenario/scenario_reader.h"

namespace sim {

bool FabricDevicePresent(const Scenario& s, size_t socket, size_t die) {
  return socket < 2 && die < 4 && socket < s.sockets.size() && die < s.sockets[socket].dies.size() &&
         s.sockets[socket].dies[die].vendor != 0xFFFF;
}

void ReadFabric(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto n = root.get("fabric");
  if (!n) return;
  const auto& t = r.Table(*n, "fabric");
  r.Keys(t, "fabric", {"system_config", "bus_ranges", "above_top_select"});
  const bool first = FabricDevicePresent(s, 0, 0);
  if (auto v = t.get("system_config")) {
    if (!first) r.Fail(v->source(), "fabric.system_config", "needs the fabric device of socket 0, die 0");
    s.fabric.systemConfig = uint32_t(r.Unsigned(*v, "fabric.system_config", 0xFFFFFFFF));
  }
  if (auto v = t.get("bus_ranges")) {
    if (!first) r.Fail(v->source(), "fabric.bus_ranges", "needs the fabric device of socket 0, die 0");
    const auto& a = r.Array(*v, "fabric.bus_ranges");
    if (a.size() > 8) r.Fail(v->source(), "fabric.bus_ranges", "at most 8 registers");
    std::vector<uint32_t> ranges;
    for (size_t i = 0; i < a.size(); ++i)
      ranges.push_back(uint32_t(r.Unsigned(a[i], "fabric.bus_ranges[" + std::to_string(i) + "]", 0xFFFFFFFF)));
    s.fabric.busRanges = ranges;
  }
  if (auto v = t.get("above_top_select")) {
    const auto& a = r.Array(*v, "fabric.above_top_select");
    if (a.size() > 8) r.Fail(v->source(), "fabric.above_top_select", "at most 8 dies (socket x 4 + die)");
    for (size_t i = 0; i < a.size(); ++i) {
      const std::string key = "fabric.above_top_select[" + std::to_string(i) + "]";
      const uint32_t value = uint32_t(r.Unsigned(a[i], key, 0xFFFFFFFF));
      if (value != 0 && !FabricDevicePresent(s, i / 4, i % 4))
        r.Fail(a[i].source(), key, "socket " + std::to_string(i / 4) + ", die " + std::to_string(i % 4) + " has no fabric device");
      s.fabric.aboveTopSelect[i] = value;
    }
  }
}

}  // namespace sim
