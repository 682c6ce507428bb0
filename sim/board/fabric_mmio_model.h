// What the fabric MMIO allocator reads on the platform: the fabric's system
// configuration register (function 1, 0x200: second socket, die-present bits),
// the eight PCI bus-range map registers (function 0, 0xA0 to 0xBC) and the
// register at function 0, 0x3FC of each die, all in the fabric devices' PCI
// configuration space; and the boot processor's MSR 0x1B. By default they show
// the topology the scenario's [[socket]] tables describe; [fabric] overrides them.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/scenario/desc.h"

namespace sim {

class Hardware;
struct Scenario;

// MSR 0x1B when the scenario gives none: the local APIC enabled at its usual
// base, on the boot processor (bit 8), which is where the driver runs.
constexpr uint64_t kDefaultApicBase = 0xFEE00900;

// The value of function 1, 0x200 and of the bus-range map the topology implies.
uint32_t FabricSystemConfigFor(const Scenario& s);
std::vector<uint32_t> FabricBusRangesFor(const Scenario& s);

// Sets the registers above (and MSR 0x1B's default) in the platform's hardware.
void BuildFabricMmioModel(Hardware& hardware, const Scenario& s);

}  // namespace sim
