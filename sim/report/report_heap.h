// The report's section on the shared heap list after the boot: every buffer of
// the list published under HeapListProtocolGuid, with its node's memory type
// and where it came from.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

std::string HeapText(const Platform& platform);
nlohmann::json HeapJson(const Platform& platform);

}  // namespace sim
