// The virtual platform's fixed address map: where DRAM lies and the part of it
// kept for data a scenario places, the UARTs, the size of the PSP's window. The
// scenario format checks what a file describes against it; the models implement it.
#pragma once
#include <cstdint>

#include "platform/access.h"
#include "psp/psp_window.h"

namespace sim {

constexpr uint64_t kDramBase = 0x40000000;         // 1 GiB
constexpr uint64_t kDramSize = 64ull << 20;        // 64 MiB
// DRAM kept for data a scenario places before the boot (the DRUX block, bytes
// captured from a board): clear of the pool's reach in any boot, and below the
// top 4 MiB, where the CPU emulator loads the image. The emulator records the
// driver's reads here, as the host build's seam does.
constexpr uint64_t kPlacedDataBase = 0x43000000;
constexpr uint64_t kPlacedDataEnd = 0x43C00000;

constexpr uint64_t kUartMmioThreshold = 0x10000;  // UART bases from here on are memory-mapped
constexpr uint16_t kComPort1 = 0x3F8;
constexpr int kUartRegisterCount = 8;  // consecutive ports, or 32-bit registers when memory-mapped

constexpr uint64_t kPspWindowSize = kPspWindowLength;

// PCI configuration space: 256 buses of 1 MiB from the driver's PciConfigBase.
constexpr uint64_t kPciConfigBase = ::PciConfigBase;
constexpr uint64_t kPciConfigSize = (PciConfigOffset::Bus::kMax + 1) << PciConfigOffset::Bus::kLsb;

}  // namespace sim
