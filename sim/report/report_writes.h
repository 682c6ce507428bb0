// The report's sections on what the driver wrote: the root-register writes of
// each boot event signal, and the PCD writes. Part of the boot report
// (sim/report/report.h).
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Boot events and root-register writes": a line per signal and its writes.
std::string SignalsText(const BootResult& result);
// [{"event", "completed", "writes": [{"bus", "index", "value"}]}]
nlohmann::json SignalsJson(const BootResult& result);

// "PCD writes": token, type, value and status of each, or "none".
std::string PcdWritesText(const Platform& platform);
// [{"token", "width", "value", "status", "status_name"}]
nlohmann::json PcdWritesJson(const Platform& platform);

}  // namespace sim
