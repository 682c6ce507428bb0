// The report's section on the fabric MMIO allocator and the PSP window: where
// the window's registers say it lies (and who placed it), and the allocator's
// state in heap buffer 0xA03D after the boot, die by die.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

std::string FabricMmioText(const Platform& platform);
nlohmann::json FabricMmioJson(const Platform& platform);

}  // namespace sim
