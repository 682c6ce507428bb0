// The report's section on the debug print's output channels: what reached each
// UART, the post-code port, the debug agent (its breakpoint, mailbox buffer and
// hand-overs) and port 0xFFED. Part of the boot report (sim/report/report.h).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

std::string ChannelsText(Platform& platform);
nlohmann::json ChannelsJson(Platform& platform);

// Bytes as a person reads them: printable ASCII as is, a carriage return as
// <CR>, a line feed as <LF> followed by a line break, anything else as <XX>.
std::string VisibleText(const std::vector<uint8_t>& bytes);

}  // namespace sim
