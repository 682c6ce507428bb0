#include "sim/report/report_mmio_requests.h"

#include <sstream>

#include "psp/fabric_mmio.h"
#include "sim/common/text.h"
#include "sim/report/report_json.h"

namespace sim {

namespace {

std::string TargetText(const MmioRequestDesc& d) {
  std::ostringstream out;
  if (d.bus) out << "bus " << HexText(*d.bus, 2);
  else out << "socket " << unsigned(d.socket) << ", die " << unsigned(d.die);
  out << " (target " << HexText(d.Target(), 4) << ")";
  return out.str();
}

}  // namespace

std::string MmioRequestsText(const std::vector<MmioRequestRun>& runs) {
  if (runs.empty()) return "";
  std::ostringstream out;
  out << "  Requests of another driver of the package (mmio_request events)\n";
  for (size_t i = 0; i < runs.size(); ++i) {
    const MmioRequestRun& r = runs[i];
    const MmioRequestDesc& d = r.request;
    out << "    " << i + 1 << ". " << TargetText(d) << ", type " << unsigned(MmioAttributeType(d.attribute))
        << " (attribute " << HexText(d.attribute, 2) << "), length " << HexText(d.length) << ", base "
        << HexText(d.base) << "\n";
    if (!r.returned) {
      out << "       did not return (the platform stopped during it)\n";
      continue;
    }
    out << "       " << StatusName(r.status) << ": Base " << HexText(r.base) << ", Length " << HexText(r.length)
        << ", attribute " << HexText(r.attribute, 2);
    if (r.Allocated()) out << "; range " << HexText(r.base, 12) << "-" << HexText(r.base + r.length - 1, 12);
    out << "\n";
  }
  return out.str();
}

nlohmann::json MmioRequestsJson(const std::vector<MmioRequestRun>& runs) {
  using nlohmann::json;
  json list = json::array();
  for (const MmioRequestRun& r : runs) {
    const MmioRequestDesc& d = r.request;
    json j = {{"signal", r.signal},
              {"socket", d.bus ? json(nullptr) : json(d.socket)},
              {"die", d.bus ? json(nullptr) : json(d.die)},
              {"bus", d.bus ? json(*d.bus) : json(nullptr)},
              {"type", MmioAttributeType(d.attribute)},
              {"returned", r.returned}};
    Put(j, "target", d.Target(), 4);
    Put(j, "attribute_in", d.attribute, 2);
    Put(j, "length_in", d.length, 16);
    Put(j, "base_in", d.base, 16);
    if (r.returned) {
      Put(j, "status", r.status, 16);
      j["status_name"] = StatusName(r.status);
      Put(j, "base", r.base, 16);
      Put(j, "length", r.length, 16);
      Put(j, "attribute", r.attribute, 2);
    }
    json range = nullptr;
    if (r.Allocated()) {
      range = json::object();
      Put(range, "base", r.base, 16);
      Put(range, "end", r.base + r.length - 1, 16);
    }
    j["range"] = range;
    list.push_back(j);
  }
  return list;
}

}  // namespace sim
