#include "sim/report/report_calls.h"

#include <sstream>

#include "sim/report/report_format.h"

namespace sim {

using nlohmann::json;

std::string CallsText(const Platform& platform) {
  const auto& calls = platform.firmware().Calls();
  std::ostringstream out;
  out << "Firmware service calls\n";
  if (calls.empty()) {
    out << "  none\n";
    return out.str();
  }
  Table t({"#", "Service", "Status", "Detail"});
  t.RightAlign(0);
  for (size_t i = 0; i < calls.size(); ++i)
    t.Row({std::to_string(i + 1), calls[i].service, StatusName(calls[i].status), calls[i].detail});
  out << t.Render("  ");
  return out.str();
}

json CallsJson(const Platform& platform) {
  json calls = json::array();
  for (const ServiceCall& c : platform.firmware().Calls()) {
    json call = {{"service", c.service}, {"detail", c.detail}};
    PutStatus(call, c.status);
    calls.push_back(call);
  }
  return calls;
}

}  // namespace sim
