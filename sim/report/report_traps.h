// The report's section on fatal traps: the codes the debug agent was asked
// about, and the post-code display of a halted platform. Part of the boot
// report (sim/report/report.h).
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// "Fatal traps": the agent queries, whether the platform halted and on what
// code, and what the display showed while halted.
std::string TrapsText(const Platform& platform);
// {"queries": [{"code"}], "halted", "halt_code", "display": [{"value", "low_byte"}]}
nlohmann::json TrapsJson(const Platform& platform);

}  // namespace sim
