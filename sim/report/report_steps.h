// The report's section on what each step of the boot cost in hardware accesses.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Hardware accesses by step": a row per step and one for the total, a column
// per kind that occurred.
std::string StepsText(const Platform& platform);
// {"<step>": {"counts": {"<kind>": n, ...}, "total": n}, ...}: every step and every kind.
nlohmann::json StepsJson(const Platform& platform);

}  // namespace sim
