// The report's section on hardware accesses: how many of each kind, and on
// request every access in order. Part of the boot report (sim/report/report.h).
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Hardware accesses": a count per kind and the total.
std::string AccessesText(const Platform& platform);
// "Hardware access log": every access as the platform saw it (kind, read or
// write, width, address, value).
std::string AccessLogText(const Platform& platform);
// {"counts": {"<kind>": n}, "total", "steps"}, and with log the access log
// under "log": [{"kind", "write", "width", "address", "value"}].
nlohmann::json AccessesJson(const Platform& platform, bool log);

}  // namespace sim
