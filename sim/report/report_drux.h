// The report's sections on the chip-select table and on how the driver reached
// its data: the table the record's ChipSelectEntries points to, entry by entry;
// the boot flash look-ups it made; and the DRUX blocks it walked, entry by entry
// as the walk sees them. Everything is read back from the platform after the
// boot (memory, the flash, and the hardware access log), so the host build and
// the CPU emulator report alike. docs/report.md describes it.
#pragma once
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// Keys added to the JSON report's record.chip_select_table for a present table.
void ChipSelectJson(Platform& platform, uint64_t address, uint64_t count, nlohmann::json& table);

// The flash look-ups and DRUX walks section.
std::string DruxText(Platform& platform);
nlohmann::json DruxJson(Platform& platform);

}  // namespace sim
