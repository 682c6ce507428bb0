// The report's sections on the S3 save-table closing (the shared record, the
// save table, the messages the SMM side received), on the firmware's events and
// on the pool checks. Part of the boot report (sim/report/report.h).
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

std::string S3Text(const Platform& platform);
nlohmann::json S3Json(const Platform& platform);

// Every event the driver created, and whether it is still open.
std::string EventsText(const Platform& platform);
nlohmann::json EventsJson(const Platform& platform);

// Use after free, double free and frees of what was never allocated.
std::string PoolFaultsText(const Platform& platform);
nlohmann::json PoolFaultsJson(const Platform& platform);

}  // namespace sim
