// Register access: ports, memory-mapped registers, PCI configuration space of the
// data fabric, and processor registers.
#pragma once
#include <stdint.h>

// Width codes of the width-selected accessors. 0x81 to 0x83 behave as 1 to 3.
enum AccessWidth : uint32_t {
  AccessWidth8 = 1,
  AccessWidth16 = 2,
  AccessWidth32 = 3,
};

constexpr uint64_t PciConfigBase = 0xF0000000ull;

constexpr uint64_t PciConfigAddress(uint64_t bus, uint64_t device, uint64_t function, uint64_t offset) {
  return PciConfigBase + (bus << 20) + (device << 15) + (function << 12) + offset;
}

// The index/data window through which a root's internal registers are reached.
constexpr uint64_t kIndexRegisterOffset = 0xB8;
constexpr uint64_t kDataRegisterOffset = 0xBC;
constexpr uint64_t IndexRegisterAddress(uint64_t rootBus) { return PciConfigAddress(rootBus, 0, 0, kIndexRegisterOffset); }
constexpr uint64_t DataRegisterAddress(uint64_t rootBus) { return PciConfigAddress(rootBus, 0, 0, kDataRegisterOffset); }

// Trap codes of the accessors.
constexpr uint32_t kTrapPortReadWidth = 0x00010134;
constexpr uint32_t kTrapPortWriteWidth = 0x00010171;
constexpr uint32_t kTrapMemReadWidth = 0x00010274;
constexpr uint32_t kTrapMemWriteWidth = 0x00010314;
constexpr uint32_t kTrapFabricSocket = 0xDF030123;
constexpr uint32_t kTrapFabricDie = 0xDF030124;
constexpr uint32_t kTrapFabricFunction = 0xDF030125;
constexpr uint32_t kTrapFabricOffset = 0xDF030126;
constexpr uint32_t kTrapFabricAlign = 0xDF030127;

void PortReadWidth(uint32_t width, uint16_t port, void* destination);
void PortWriteWidth(uint32_t width, uint16_t port, const void* source);
void MemReadWidth(uint32_t width, uint64_t address, void* destination);
void MemWriteWidth(uint32_t width, uint64_t address, const void* source);
void PortWrite32Tagged(uint32_t selector, uint32_t value, uint32_t extra);

uint32_t FabricConfigRead(uint64_t socket, uint64_t die, uint64_t function, uint64_t offset);

uint64_t MsrRead(uint32_t index);
uint64_t MsrOrWrite(uint32_t index, uint64_t mask);
uint32_t CpuidQuery(uint32_t leaf, uint32_t* eax, uint32_t* ebx, uint32_t* ecx, uint32_t* edx);

uint64_t Dr2Read();
uint64_t Dr2Write(uint64_t value);
uint64_t Dr3Read();
uint64_t Dr3Write(uint64_t value);
uint64_t Dr7Read();
uint64_t Dr7Write(uint64_t value);
uint64_t Cr4Read();
uint64_t Cr4Write(uint64_t value);
