#include "sim/report/report_writes.h"

#include <sstream>

#include "sim/report/report_format.h"

namespace sim {

using nlohmann::json;

std::string SignalsText(const BootResult& result) {
  std::ostringstream out;
  out << "Boot events and root-register writes\n";
  if (result.signals.empty()) {
    out << "  none: no boot event was signalled\n";
    return out.str();
  }
  for (size_t i = 0; i < result.signals.size(); ++i) {
    const SignalRecord& s = result.signals[i];
    out << "  Signal " << i + 1 << " (" << s.event << "): " << s.writes.size()
        << (s.writes.size() == 1 ? " write" : " writes")
        << (s.completed ? "" : ", then the platform stopped during this signal") << "\n";
    if (s.writes.empty()) continue;
    Table t({"Bus", "Index", "Value"});
    for (const InternalWrite& w : s.writes) t.Row({HexText(w.bus, 2), HexText(w.index, 8), HexText(w.value, 8)});
    out << t.Render("    ");
  }
  return out.str();
}

json SignalsJson(const BootResult& result) {
  json signals = json::array();
  for (size_t i = 0; i < result.signals.size(); ++i) {
    json writes = json::array();
    for (const InternalWrite& w : result.signals[i].writes) {
      json write = json::object();
      Put(write, "bus", w.bus, 2);
      Put(write, "index", w.index, 8);
      Put(write, "value", w.value, 8);
      writes.push_back(write);
    }
    signals.push_back(
        {{"event", result.signals[i].event}, {"completed", result.signals[i].completed}, {"writes", writes}});
  }
  return signals;
}

std::string PcdWritesText(const Platform& platform) {
  const auto& writes = platform.firmware().PcdWrites();
  std::ostringstream out;
  out << "PCD writes\n";
  if (writes.empty()) {
    out << "  none\n";
    return out.str();
  }
  Table t({"Token", "Type", "Value", "Status"});
  for (const PcdWrite& w : writes)
    t.Row({std::to_string(w.token), WidthName(w.width), HexText(w.value, 2 * w.width), StatusName(w.status)});
  out << t.Render("  ");
  return out.str();
}

json PcdWritesJson(const Platform& platform) {
  json pcd = json::array();
  for (const PcdWrite& w : platform.firmware().PcdWrites()) {
    json write = {{"token", w.token}, {"width", w.width}};
    Put(write, "value", w.value, 2 * w.width);
    PutStatus(write, w.status);
    pcd.push_back(write);
  }
  return pcd;
}

}  // namespace sim
