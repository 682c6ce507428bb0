// The report's section on the drivers of the package started in one boot.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

nlohmann::json DriversJson(const Platform& p, const BootResult& result);
// Empty when only one driver started.
std::string DriversText(const Platform& p, const BootResult& result);

}  // namespace sim
