// Numbers, GUIDs and EFI status codes as text, the way the platform's logs,
// reports and error messages write them.
#pragma once
#include <cstdint>
#include <string>

#include "uefi/base.h"

namespace sim {

// "0x" and upper-case digits, zero-padded to `digits` (0: as many as needed).
std::string HexText(uint64_t value, int digits = 0);
std::string GuidText(const Guid& guid);
std::string GuidName(const Guid& guid);  // a known protocol's or group's name, else its text
std::string StatusName(uint64_t status);

}  // namespace sim
