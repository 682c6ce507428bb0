// The data fabric's PCI devices and the registers of theirs the driver reads.
// Every die has one device on bus 0, device kFabricFirstDevice + socket x 4 +
// die, with eight functions; the fabric MMIO split reads them through
// FabricConfigRead, ReadyToBoot walks them for each die's root bus.
#pragma once
#include "platform/register.h"

constexpr uint64_t kFabricFirstDevice = 0x18;
constexpr uint64_t kFabricDeviceCount = 8;  // two sockets of four dies
constexpr uint16_t kFabricVendorId = 0x1022;  // what each device's vendor identifier reads
constexpr uint64_t FabricDevice(uint64_t socket, uint64_t die) { return kFabricFirstDevice + 4 * socket + die; }

// Function 0: the die's root bus number.
struct FabricRootBus : reg::Register<uint8_t, 0x84> {};

// Function 1, the same on every die.
struct FabricSystemConfig : reg::Register<uint32_t, 0x200> {
  static constexpr uint32_t kFunction = 1;
  using DiePresent = Bits<3, 0>;  // one bit per die of a socket, from die 0
  using SecondSocket = Bit<5>;
};

// Function 0, kCount registers kStride bytes apart: the die a range of PCI
// buses leads to. A range is in use when both Enable bits are set.
struct FabricBusRange : reg::Register<uint32_t, 0xA0> {
  static constexpr uint32_t kFunction = 0, kCount = 8, kStride = 4;
  using Enable = Bits<1, 0>;
  using Destination = Bits<11, 4>;  // a FabricDestination
  using BusBase = Bits<23, 16>;
  using BusLimit = Bits<31, 24>;
};

// Where a bus range leads: a die's root, as socket, die and the component of
// the die (every die's root is component kRootComponent).
struct FabricDestination {
  using Component = reg::Field<uint8_t, 4, 0>;
  using Die = reg::Field<uint8_t, 6, 5>;
  using Socket = reg::Field<uint8_t, 7, 7>;
  static constexpr uint8_t kRootComponent = 4;
};

// Function 0 of every die: set on any die, the space above 4 GiB ends at the
// lower of the two tops.
struct FabricAboveTopSelect : reg::Register<uint32_t, 0x3FC> {
  static constexpr uint32_t kFunction = 0;
  using LowerTop = Bit<0>;
};
