// The scenario's [[boot.mmio_request]] tables: what each "mmio_request" boot
// event asks the fabric MMIO allocator for.
#include <algorithm>

#include "sim/scenario/scenario_reader.h"

namespace sim {

void ReadMmioRequests(const ScenarioReader& r, const toml::table& boot, Scenario& s) {
  if (auto v = boot.get("mmio_request")) {
    const auto& list = r.Array(*v, "boot.mmio_request");
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string p = "boot.mmio_request[" + std::to_string(i) + "]";
      const auto& t = r.Table(list[i], p);
      r.Keys(t, p, {"socket", "die", "bus", "type", "attribute", "length", "base"});
      if (t.contains("bus") && (t.contains("socket") || t.contains("die")))
        r.Fail(t.source(), p, "give 'bus' or 'socket' and 'die', not both");
      if (t.contains("type") && t.contains("attribute")) r.Fail(t.source(), p, "give 'type' or 'attribute', not both");
      MmioRequestDesc d;
      if (auto n = t.get("socket")) d.socket = uint8_t(r.Unsigned(*n, p + ".socket", 3));
      if (auto n = t.get("die")) d.die = uint8_t(r.Unsigned(*n, p + ".die", 7));
      if (auto n = t.get("bus")) d.bus = uint8_t(r.Unsigned(*n, p + ".bus", 0xFF));
      if (auto n = t.get("type")) d.attribute = uint8_t(r.Unsigned(*n, p + ".type", 3) << 6);
      if (auto n = t.get("attribute")) d.attribute = uint8_t(r.Unsigned(*n, p + ".attribute", 0xFF));
      if (auto n = t.get("length")) d.length = r.Value64(*n, p + ".length");
      else r.Fail(t.source(), p + ".length", "missing: the bytes asked for (0 is a request too)");
      if (auto n = t.get("base")) d.base = r.Value64(*n, p + ".base");
      s.mmioRequests.push_back(d);
    }
  }
  const size_t events = size_t(std::count(s.events.begin(), s.events.end(), kEventMmioRequest));
  if (events != s.mmioRequests.size())
    r.Fail(boot.source(), "boot.mmio_request",
           std::to_string(s.mmioRequests.size()) + " tables for " + std::to_string(events) +
               " \"mmio_request\" events: give one table per event, in event order");
}

}  // namespace sim
