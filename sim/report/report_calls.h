// The report's section on the firmware service calls, in the order they were
// made. Part of the boot report (sim/report/report.h).
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Firmware service calls": number, service, status and detail of each, or "none".
std::string CallsText(const Platform& platform);
// [{"service", "detail", "status", "status_name"}]
nlohmann::json CallsJson(const Platform& platform);

}  // namespace sim
