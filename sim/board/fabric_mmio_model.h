// What the fabric MMIO allocator reads on the platform: the fabric's system
// configuration register (FabricSystemConfig: second socket, die-present bits),
// the eight bus-range registers (FabricBusRange) and the above-top select
// register of each die, all in the fabric devices' PCI configuration space; and
// the boot processor's MsrApicBase. By default they show the topology the
// scenario's [[socket]] tables describe; [fabric] overrides them.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/processor_registers.h"
#include "sim/scenario/desc.h"

namespace sim {

class Hardware;
struct Scenario;

// MsrApicBase when the scenario gives none: the local APIC enabled at its usual
// base, on the boot processor (BootProcessor set), which is where the driver runs.
constexpr uint64_t kDefaultApicBase = 0xFEE00800 | MsrApicBase::BootProcessor::kMask;

// The system configuration and the bus-range map the topology implies.
uint32_t FabricSystemConfigFor(const Scenario& s);
std::vector<uint32_t> FabricBusRangesFor(const Scenario& s);

// Sets the registers above (and MsrApicBase's default) in the platform's hardware.
void BuildFabricMmioModel(Hardware& hardware, const Scenario& s);

}  // namespace sim
