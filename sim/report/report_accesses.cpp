#include "sim/report/report_accesses.h"

#include <sstream>

#include "sim/report/report_format.h"
#include "sim/report/report_steps.h"

namespace sim {

using nlohmann::json;

std::string AccessesText(const Platform& platform) {
  const Hardware& hw = platform.hardware();
  const auto counts = hw.Counts();
  std::ostringstream out;
  out << "Hardware accesses\n";
  Table t({"Kind", "Count"});
  t.RightAlign(1);
  for (int k = 0; k < kAccessKindCount; ++k)
    t.Row({AccessKindName(static_cast<AccessKind>(k)), std::to_string(counts[size_t(k)])});
  t.Row({"total", std::to_string(hw.TotalAccesses())});
  out << t.Render("  ");
  return out.str();
}

std::string AccessLogText(const Platform& platform) {
  std::ostringstream out;
  out << "Hardware access log\n";
  Table t({"#", "Kind", "Op", "Width", "Address", "Value"});
  t.RightAlign(0);
  size_t n = 0;
  for (const Access& a : platform.hardware().Log()) {
    t.Row({std::to_string(++n), AccessKindName(a.kind), a.write ? "write" : "read",
           a.width ? std::to_string(8 * a.width) : "-", HexText(a.address, a.kind == AccessKind::Port ? 4 : 8),
           HexText(a.value, a.width == 0 ? 2 : 2 * a.width)});
  }
  out << t.Render("  ");
  return out.str();
}

json AccessesJson(const Platform& platform, bool log) {
  json counts = json::object();
  const auto n = platform.hardware().Counts();
  for (int k = 0; k < kAccessKindCount; ++k) counts[AccessKindName(static_cast<AccessKind>(k))] = n[size_t(k)];
  json j = {{"counts", counts}, {"total", platform.hardware().TotalAccesses()}, {"steps", StepsJson(platform)}};
  if (log) {
    json entries = json::array();
    for (const Access& a : platform.hardware().Log())
      entries.push_back({{"kind", AccessKindName(a.kind)},
                         {"write", a.write},
                         {"width", a.width},
                         {"address", a.address},
                         {"address_hex", HexText(a.address, a.kind == AccessKind::Port ? 4 : 8)},
                         {"value", a.value},
                         {"value_hex", HexText(a.value, a.width == 0 ? 2 : 2 * a.width)}});
    j["log"] = entries;
  }
  return j;
}

}  // namespace sim
