// The report's section on the places the driver reached where nothing answers.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Where nothing answers": a "nothing at 0x..." line per place (address,
// width, read or write) with how often, or "none".
std::string NothingText(const Platform& platform);
// {"accesses": n, "places": [{"address", "address_hex", "width", "write", "count"}], "more_places": bool}
nlohmann::json NothingJson(const Platform& platform);

}  // namespace sim
