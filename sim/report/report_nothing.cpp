#include "sim/report/report_nothing.h"

#include "sim/report/report_json.h"

namespace sim {

namespace {
constexpr int kAddressDigits = 16;

// Whether accesses were left out of the list: the places listed hold fewer.
bool MorePlaces(const Hardware& hw) {
  uint64_t listed = 0;
  for (const NothingAccess& n : hw.Nothing()) listed += n.count;
  return listed < hw.NothingTotal();
}
}  // namespace

std::string NothingText(const Platform& platform) {
  const Hardware& hw = platform.hardware();
  std::string out = "Where nothing answers (reads gave all ones, writes were dropped)\n";
  if (hw.NothingTotal() == 0) return out + "  none\n";
  for (const NothingAccess& n : hw.Nothing())
    out += "  nothing at " + HexText(n.address, kAddressDigits) + "  " + (n.write ? "write" : "read ") + " " +
           std::to_string(8 * n.width) + " bits, " + std::to_string(n.count) + (n.count == 1 ? " time\n" : " times\n");
  if (MorePlaces(hw))
    out += "  (only the first " + std::to_string(Hardware::kNothingPlaces) + " places are listed; " +
           std::to_string(hw.NothingTotal()) + " accesses in all)\n";
  return out;
}

nlohmann::json NothingJson(const Platform& platform) {
  const Hardware& hw = platform.hardware();
  nlohmann::json places = nlohmann::json::array();
  for (const NothingAccess& n : hw.Nothing()) {
    nlohmann::json p;
    Put(p, "address", n.address, kAddressDigits);
    p["width"] = n.width;
    p["write"] = n.write;
    p["count"] = n.count;
    places.push_back(p);
  }
  return {{"accesses", hw.NothingTotal()}, {"places", places}, {"more_places", MorePlaces(hw)}};
}

}  // namespace sim
