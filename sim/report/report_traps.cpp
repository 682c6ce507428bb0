#include "sim/report/report_traps.h"

#include <sstream>

#include "sim/report/report_format.h"

namespace sim {

using nlohmann::json;

std::string TrapsText(const Platform& platform) {
  const Hardware& hw = platform.hardware();
  std::ostringstream out;
  out << "Fatal traps\n";
  std::string codes;
  for (uint32_t c : hw.TrapCodes()) codes += (codes.empty() ? "" : ", ") + HexText(c, 8);
  out << "  Agent queries  " << (codes.empty() ? "none" : codes) << "\n";
  if (!hw.Halted()) {
    out << "  Halted         no\n";
    return out.str();
  }
  out << "  Halted         yes, on code " << HexText(hw.HaltCode(), 8) << "\n";
  out << "  Post-code display while halted (a two-digit display shows the low byte)\n";
  Table t({"#", "Value", "Low byte"});
  t.RightAlign(0);
  for (size_t i = 0; i < hw.HaltDisplay().size(); ++i) {
    const uint32_t v = hw.HaltDisplay()[i];
    t.Row({std::to_string(i + 1), HexText(v, 8), HexText(v & 0xFF, 2)});
  }
  out << t.Render("    ");
  return out.str();
}

json TrapsJson(const Platform& platform) {
  const Hardware& hw = platform.hardware();
  json codes = json::array();
  for (uint32_t c : hw.TrapCodes()) {
    json code = json::object();
    Put(code, "code", c, 8);
    codes.push_back(code);
  }
  json j = {{"queries", codes}, {"halted", hw.Halted()}};
  if (hw.Halted()) {
    Put(j, "halt_code", hw.HaltCode(), 8);
    json display = json::array();
    for (uint32_t v : hw.HaltDisplay()) {
      json shown = json::object();
      Put(shown, "value", v, 8);
      Put(shown, "low_byte", v & 0xFF, 2);
      display.push_back(shown);
    }
    j["display"] = display;
  }
  return j;
}

}  // namespace sim
