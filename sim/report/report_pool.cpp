#include "sim/report/report_pool.h"

#include <sstream>

#include "sim/report/report.h"
#include "sim/report/report_format.h"
#include "sim/report/report_s3.h"

namespace sim {

using nlohmann::json;

std::string PoolText(const Platform& platform) {
  const auto& pool = platform.firmware().Pool();
  std::ostringstream out;
  out << "Pool allocations\n";
  if (pool.empty()) {
    out << "  none\n";
    return out.str();
  }
  Table t({"Address", "Size", "Type", "Freed", "By"});
  t.RightAlign(1);
  for (const PoolBlock& b : pool)
    t.Row({HexText(b.address, kAddressDigits), std::to_string(b.size), MemoryTypeName(b.type),
           b.freed ? (b.reused ? "yes, reused" : "yes") : "no", b.byPlatform ? "platform" : "driver"});
  out << t.Render("  ");
  out << PoolFaultsText(platform);
  return out.str();
}

json PoolJson(const Platform& platform) {
  json pool = json::array();
  for (const PoolBlock& b : platform.firmware().Pool()) {
    json block = {{"size", b.size},   {"type", b.type},     {"type_name", MemoryTypeName(b.type)},
                  {"freed", b.freed}, {"reused", b.reused}, {"owner", b.byPlatform ? "platform" : "driver"}};
    Put(block, "address", b.address, kAddressDigits);
    pool.push_back(block);
  }
  return pool;
}

}  // namespace sim
