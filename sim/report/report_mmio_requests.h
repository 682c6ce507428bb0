// The report's lines on the requests another driver of the package made of the
// fabric MMIO allocator (empty when there were none), and its JSON array.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/board/mmio_request.h"

namespace sim {

std::string MmioRequestsText(const std::vector<MmioRequestRun>& runs);
nlohmann::json MmioRequestsJson(const std::vector<MmioRequestRun>& runs);

}  // namespace sim
