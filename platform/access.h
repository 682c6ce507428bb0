// Register access: ports, memory-mapped registers, PCI configuration space of the
// data fabric, and processor registers.
#pragma once
#include <stdint.h>

#include "platform/fabric_registers.h"
#include "platform/register.h"

// Width codes of the width-selected accessors. 0x81 to 0x83 behave as 1 to 3.
enum AccessWidth : uint32_t {
  AccessWidth8 = 1,
  AccessWidth16 = 2,
  AccessWidth32 = 3,
};

// PCI configuration space, memory-mapped: 256 buses of 1 MiB from here. An
// offset into it names bus, device, function and register.
constexpr uint64_t PciConfigBase = 0xF0000000ull;
struct PciConfigOffset {
  using Bus = reg::Field<uint64_t, 27, 20>;
  using Device = reg::Field<uint64_t, 19, 15>;
  using Function = reg::Field<uint64_t, 14, 12>;
  using Register = reg::Field<uint64_t, 11, 0>;
};

constexpr uint64_t PciConfigAddress(uint64_t bus, uint64_t device, uint64_t function, uint64_t offset) {
  return PciConfigBase + (bus << PciConfigOffset::Bus::kLsb) + (device << PciConfigOffset::Device::kLsb) +
         (function << PciConfigOffset::Function::kLsb) + offset;
}

// The index/data window of a root's host bridge (bus:0.0) through which the
// root's internal registers are reached: the index selects, the data reads or
// writes the selected register.
struct RootWindowIndex : reg::Register<uint32_t, 0xB8> {};
struct RootWindowData : reg::Register<uint32_t, 0xBC> {};
constexpr uint64_t IndexRegisterAddress(uint64_t rootBus) { return PciConfigAddress(rootBus, 0, 0, RootWindowIndex::kAt); }
constexpr uint64_t DataRegisterAddress(uint64_t rootBus) { return PciConfigAddress(rootBus, 0, 0, RootWindowData::kAt); }

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
