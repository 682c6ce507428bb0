// The report's section on the pool: every allocation, who made it and whether it
// was freed, and the pool checks. Part of the boot report (sim/report/report.h).
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Pool allocations": a row per block, or "none"; then the pool checks.
std::string PoolText(const Platform& platform);
// [{"address", "size", "type", "type_name", "freed", "reused", "owner"}]
nlohmann::json PoolJson(const Platform& platform);

}  // namespace sim
