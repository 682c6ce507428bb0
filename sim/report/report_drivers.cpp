#include "sim/report/report_drivers.h"

#include <sstream>

#include "core/meminfo.h"
#include "services/heap.h"

namespace sim {

namespace {
// What a driver published on its image handle, by protocol name.
std::vector<std::pair<std::string, uint64_t>> Published(const Platform& p, unsigned image) {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (const InstalledInterface& i : p.firmware().Interfaces())
    if (i.image && *i.image == image) out.push_back({GuidName(i.protocol), i.interface});
  return out;
}
size_t EventsOf(const Platform& p, unsigned image) {
  size_t n = 0;
  for (const auto& e : p.firmware().Events()) n += e.image == image;
  return n;
}
}  // namespace

nlohmann::json DriversJson(const Platform& p, const BootResult& result) {
  nlohmann::json list = nlohmann::json::array();
  for (const DriverRun& d : result.drivers) {
    nlohmann::json published = nlohmann::json::array();
    for (const auto& [name, iface] : Published(p, d.image))
      published.push_back({{"protocol", name}, {"interface", iface}, {"interface_hex", HexText(iface, 16)}});
    nlohmann::json j = {{"image", d.image},
                        {"image_handle", d.imageHandle},
                        {"returned", d.returned},
                        {"events_created", EventsOf(p, d.image)},
                        {"published", published}};
    if (d.returned) j["status_name"] = StatusName(d.status);
    list.push_back(j);
  }
  return list;
}

std::string DriversText(const Platform& p, const BootResult& result) {
  if (result.drivers.size() < 2) return "";
  std::ostringstream out;
  out << "Drivers of the package in this boot\n";
  for (const DriverRun& d : result.drivers) {
    out << "  Driver " << d.image << " (image handle " << HexText(d.imageHandle, 16) << "): "
        << (d.returned ? "returned " + StatusName(d.status) : std::string("did not return")) << ", "
        << EventsOf(p, d.image) << " events created\n";
    const auto published = Published(p, d.image);
    if (published.empty()) out << "    published nothing\n";
    for (const auto& [name, iface] : published) out << "    published " << name << ", interface " << HexText(iface, 16) << "\n";
  }
  out << "\n";
  return out.str();
}

}  // namespace sim
