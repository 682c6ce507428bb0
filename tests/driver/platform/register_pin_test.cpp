// Every register the driver reads or writes, pinned to the numbers of the design:
// where it lies, its width and each field's position, written here by hand. The
// driver and the platform's models share one definition, so a wrong definition
// would pass every other test; this table is what it must agree with.
#include <gtest/gtest.h>

#include "core/channel_map.h"
#include "core/channel_registers.h"
#include "core/ready_to_boot_registers.h"
#include "platform/access.h"
#include "platform/fabric_registers.h"
#include "platform/probes.h"
#include "platform/processor_registers.h"
#include "platform/register.h"
#include "psp/drux.h"
#include "psp/fabric_mmio.h"
#include "psp/flash.h"
#include "psp/psp_window.h"

namespace {

// A field at bits [lsb, lsb + width).
template <typename F>
void ExpectField(const char* name, unsigned lsb, unsigned width) {
  EXPECT_EQ(F::kLsb, lsb) << name << ": lowest bit";
  EXPECT_EQ(F::kWidth, width) << name << ": width";
}
#define PIN_FIELD(F, lsb, width) ExpectField<F>(#F, lsb, width)

template <typename R>
void ExpectRegister(const char* name, uint64_t at, unsigned width) {
  EXPECT_EQ(R::kAt, at) << name << ": where it lies";
  EXPECT_EQ(R::kWidth, width) << name << ": width";
}
#define PIN_REGISTER(R, at, width) ExpectRegister<R>(#R, at, width)

}  // namespace

TEST(Registers, FieldsEncodeAndDecodeInPlace) {
  struct R : reg::Register<uint32_t, 0x44> {
    using Low = Bit<0>;
    using Middle = Bits<23, 16>;
    using Top = Bits<31, 24>;
  };
  PIN_REGISTER(R, 0x44, 32);
  PIN_FIELD(R::Middle, 16, 8);
  static_assert(R::Middle::kMask == 0x00FF0000u && R::Top::kMax == 0xFF);
  EXPECT_EQ(R::Middle::Get(0x12345678u), 0x34u);
  EXPECT_EQ(R::Middle::Of(0x1AB), 0x00AB0000u);  // bits beyond the field dropped
  EXPECT_EQ(R::Middle::Set(0xFFFFFFFFu, 0), 0xFF00FFFFu);
  EXPECT_TRUE(R::Low::IsSet(0x1));
  EXPECT_FALSE(R::Low::IsSet(0x2));
  struct W64 : reg::Register<uint64_t, 0xC0000000> {
    using High = Bits<63, 32>;
  };
  EXPECT_EQ(W64::High::Get(0xDEADBEEF00000000ull), 0xDEADBEEFull);
  EXPECT_EQ(W64::kWidth, 64u);
}

// The fabric and processor registers.

TEST(Registers, FabricDevicesAndTheirRegisters) {
  EXPECT_EQ(kFabricFirstDevice, 0x18u);
  EXPECT_EQ(FabricDevice(1, 3), 0x1Fu);
  EXPECT_EQ(kFabricVendorId, 0x1022u);
  PIN_REGISTER(FabricRootBus, 0x84, 8);
  PIN_REGISTER(FabricSystemConfig, 0x200, 32);
  EXPECT_EQ(FabricSystemConfig::kFunction, 1u);
  PIN_FIELD(FabricSystemConfig::DiePresent, 0, 4);
  PIN_FIELD(FabricSystemConfig::SecondSocket, 5, 1);
  PIN_REGISTER(FabricBusRange, 0xA0, 32);
  EXPECT_EQ(FabricBusRange::kFunction, 0u);
  EXPECT_EQ(FabricBusRange::kCount, 8u);
  EXPECT_EQ(FabricBusRange::kStride, 4u);
  PIN_FIELD(FabricBusRange::Enable, 0, 2);
  PIN_FIELD(FabricBusRange::Destination, 4, 8);
  PIN_FIELD(FabricBusRange::BusBase, 16, 8);
  PIN_FIELD(FabricBusRange::BusLimit, 24, 8);
  PIN_FIELD(FabricDestination::Component, 0, 5);
  PIN_FIELD(FabricDestination::Die, 5, 2);
  PIN_FIELD(FabricDestination::Socket, 7, 1);
  EXPECT_EQ(FabricDestination::kRootComponent, 4u);
  PIN_REGISTER(FabricAboveTopSelect, 0x3FC, 32);
  EXPECT_EQ(FabricAboveTopSelect::kFunction, 0u);
  PIN_FIELD(FabricAboveTopSelect::LowerTop, 0, 1);
  PIN_FIELD(FabricTarget::Bus, 0, 8);
  PIN_FIELD(FabricTarget::Socket, 8, 2);
  PIN_FIELD(FabricTarget::Die, 10, 3);
  PIN_FIELD(FabricTarget::BySocketDie, 15, 1);
}

TEST(Registers, ProcessorRegisters) {
  PIN_REGISTER(MsrApicBase, 0x1B, 64);
  PIN_FIELD(MsrApicBase::BootProcessor, 8, 1);
  PIN_REGISTER(MsrTopMem, 0xC001001A, 64);
  PIN_REGISTER(MsrTopMem2, 0xC001001D, 64);
  PIN_REGISTER(MsrConfigSpaceBase, 0xC0010058, 64);
  PIN_FIELD(MsrConfigSpaceBase::Enable, 0, 1);
  PIN_FIELD(MsrConfigSpaceBase::BusRange, 2, 4);
  PIN_FIELD(MsrConfigSpaceBase::Base, 20, 44);
  PIN_REGISTER(MsrPStateStatus, 0xC0010063, 64);
  PIN_FIELD(MsrPStateStatus::CurrentPState, 0, 3);
  PIN_REGISTER(MsrPStateDefinition, 0xC0010064, 64);
  PIN_FIELD(MsrPStateDefinition::Multiplier, 0, 8);
  PIN_FIELD(MsrPStateDefinition::Divisor, 8, 6);
}

TEST(Registers, ConfigurationSpaceAndTheRootsWindows) {
  EXPECT_EQ(PciConfigBase, 0xF0000000u);
  PIN_FIELD(PciConfigOffset::Bus, 20, 8);
  PIN_FIELD(PciConfigOffset::Device, 15, 5);
  PIN_FIELD(PciConfigOffset::Function, 12, 3);
  PIN_FIELD(PciConfigOffset::Register, 0, 12);
  PIN_REGISTER(RootWindowIndex, 0xB8, 32);
  PIN_REGISTER(RootWindowData, 0xBC, 32);
  PIN_REGISTER(RootReadyToBootRegister, 0x13B20000, 32);
  PIN_FIELD(RootReadyToBootRegister::Low, 0, 16);
  PIN_FIELD(RootReadyToBootRegister::High, 16, 16);
  EXPECT_EQ(RootReadyToBootRegister::kDefault, 0x00010001u);
}

TEST(Registers, PspWindowAndMailbox) {
  PIN_REGISTER(PspWindowBaseLow, 0x13B102E0, 32);
  PIN_FIELD(PspWindowBaseLow::PlacedFlagA, 0, 1);
  PIN_FIELD(PspWindowBaseLow::PlacedFlagB, 8, 1);
  PIN_FIELD(PspWindowBaseLow::Base, 20, 12);
  EXPECT_EQ(PspWindowBaseLow::kPlacedFlags, 0x101u);
  PIN_REGISTER(PspWindowBaseHigh, 0x13B102E4, 32);
  PIN_REGISTER(PspMailboxStatus, 0x10570, 32);
  PIN_FIELD(PspMailboxStatus::Booted, 29, 1);
  PIN_FIELD(PspMailboxStatus::Recovery, 30, 1);
}

TEST(Registers, PowerManagementRegisters) {
  EXPECT_EQ(kPmIndexPort, 0xCD6u);
  EXPECT_EQ(kPmDataPort, 0xCD7u);
  PIN_REGISTER(PmPm1ControlPortLow, 0x62, 8);
  PIN_REGISTER(PmPm1ControlPortHigh, 0x63, 8);
  PIN_REGISTER(Pm1Control, 0, 16);
  PIN_FIELD(Pm1Control::SleepType, 10, 3);
}

// The memory channels' registers.

// A register a channel has several of: the first at `at`, `stride` bytes apart.
#define PIN_CHANNEL_REGISTERS(R, at, count, stride) \
  PIN_REGISTER(R, at, 32);                          \
  EXPECT_EQ(R::kCount, count##u) << #R;             \
  EXPECT_EQ(R::kStride, stride##u) << #R

TEST(ChannelRegisters, BlocksAndBaseAddresses) {
  EXPECT_EQ(kChannelRegisterBase, 0x50000u);
  EXPECT_EQ(kChannelRegisterStride, 0x100000u);
  PIN_CHANNEL_REGISTERS(channel::BaseAddr, 0x00, 4, 4);
  PIN_CHANNEL_REGISTERS(channel::BaseAddrSec, 0x10, 4, 4);
  PIN_FIELD(channel::BaseAddr::CsEnable, 0, 1);
  PIN_FIELD(channel::BaseAddrSec::CsEnable, 0, 1);
  PIN_CHANNEL_REGISTERS(channel::AddrMask, 0x20, 2, 4);
  PIN_CHANNEL_REGISTERS(channel::AddrMaskSec, 0x28, 2, 4);
  PIN_FIELD(channel::AddrMask::LowestBit, 0, 1);
  PIN_FIELD(channel::AddrMaskSec::LowestBit, 0, 1);
}

TEST(ChannelRegisters, AddressConfigurationAndItsSnapshotWord) {
  PIN_CHANNEL_REGISTERS(channel::AddrCfg, 0x30, 2, 4);
  PIN_FIELD(channel::AddrCfg::LowPair, 2, 2);
  PIN_FIELD(channel::AddrCfg::NextPair, 4, 2);
  PIN_FIELD(channel::AddrCfg::Middle, 8, 12);
  PIN_FIELD(channel::AddrCfg::HighPair, 20, 2);
  PIN_REGISTER(SnapshotAddrCfg, 0x560, 32);
  PIN_FIELD(SnapshotAddrCfg::Cs0Enable, 0, 1);
  PIN_FIELD(SnapshotAddrCfg::Cs1Enable, 1, 1);
  PIN_FIELD(SnapshotAddrCfg::HighPair, 4, 2);
  PIN_FIELD(SnapshotAddrCfg::NextPair, 6, 2);
  PIN_FIELD(SnapshotAddrCfg::Middle, 8, 12);
  PIN_FIELD(SnapshotAddrCfg::LowPair, 20, 2);
  PIN_FIELD(SnapshotAddrCfg::SecCs0Enable, 24, 1);
  PIN_FIELD(SnapshotAddrCfg::SecCs1Enable, 25, 1);
}

TEST(ChannelRegisters, AddressSelectsAndHashes) {
  PIN_CHANNEL_REGISTERS(channel::AddrSel, 0x40, 2, 4);
  PIN_FIELD(channel::AddrSel::BankBit, 0, 20);
  PIN_FIELD(channel::AddrSel::RowHiLo, 24, 8);
  PIN_CHANNEL_REGISTERS(channel::ColSelLo, 0x50, 2, 8);
  PIN_CHANNEL_REGISTERS(channel::ColSelHi, 0x54, 2, 8);
  PIN_CHANNEL_REGISTERS(channel::RmSel, 0x70, 2, 4);
  PIN_CHANNEL_REGISTERS(channel::RmSelSec, 0x78, 2, 4);
  PIN_CHANNEL_REGISTERS(channel::AddrHashBank, 0xC8, 5, 4);
  PIN_CHANNEL_REGISTERS(channel::AddrHashCS, 0xE8, 2, 4);
}

TEST(ChannelRegisters, DimmConfigurationBankGroupsAndTheirSnapshotWord) {
  PIN_CHANNEL_REGISTERS(channel::DimmCfg, 0x80, 2, 4);
  PIN_FIELD(channel::DimmCfg::Ddr4eEn, 11, 1);
  PIN_CHANNEL_REGISTERS(channel::BankGroup, 0x200, 1, 4);
  PIN_FIELD(channel::BankGroup::BankGroupEn, 8, 1);
  PIN_REGISTER(SnapshotDimmCfg, 0xC20, 32);
  PIN_FIELD(SnapshotDimmCfg::BankGroupEn, 5, 1);
  PIN_FIELD(SnapshotDimmCfg::Ddr4eEn, 13, 1);
}

// The flash directories' and DRUX headers' fields.

TEST(Registers, FlashDirectoryFields) {
  PIN_REGISTER(BiosEntryTypeWord, 0x0, 32);
  PIN_FIELD(BiosEntryTypeWord::Type, 0, 8);
  PIN_FIELD(BiosEntryTypeWord::Flags, 8, 24);
  // The layouts around them: entry table, directory header, entries, combo directory.
  EXPECT_EQ(offsetof(FirmwareEntryTable, PspDirectory), 0x14u);
  EXPECT_EQ(offsetof(FirmwareEntryTable, BiosDirectory), 0x18u);
  EXPECT_EQ(offsetof(FlashDirectoryHeader, Checksum), 0x4u);
  EXPECT_EQ(offsetof(FlashDirectoryHeader, Count), 0x8u);
  EXPECT_EQ(sizeof(FlashDirectoryHeader), 0x10u);
  EXPECT_EQ(offsetof(BiosDirectoryEntry, Size), 0x4u);
  EXPECT_EQ(offsetof(BiosDirectoryEntry, Source), 0x8u);
  EXPECT_EQ(offsetof(BiosDirectoryEntry, Destination), 0x10u);
  EXPECT_EQ(sizeof(BiosDirectoryEntry), 0x18u);
  EXPECT_EQ(sizeof(ComboDirectoryHeader), 0x20u);
  EXPECT_EQ(offsetof(ComboDirectoryEntry, ProcessorId), 0x4u);
  EXPECT_EQ(offsetof(ComboDirectoryEntry, PspDirectory), 0x8u);
  EXPECT_EQ(sizeof(ComboDirectoryEntry), 0x10u);
}

TEST(Registers, DruxFields) {
  PIN_REGISTER(DruxDieInstanceWord, 0x8, 32);
  PIN_FIELD(DruxDieInstanceWord::Die, 0, 8);
  PIN_FIELD(DruxDieInstanceWord::Socket, 8, 24);
  EXPECT_EQ(DruxDieInstance(1, 3), 0x103u);
  EXPECT_EQ(offsetof(DruxBlockHeader, Version), 0x4u);
  EXPECT_EQ(offsetof(DruxBlockHeader, Size), 0x8u);
  EXPECT_EQ(offsetof(DruxBlockHeader, EntryOffset), 0xCu);
  EXPECT_EQ(offsetof(DruxEntry, TypeId), 0x4u);
  EXPECT_EQ(offsetof(DruxEntry, Instance), 0x8u);
  EXPECT_EQ(offsetof(DruxEntry, EntrySize), 0xCu);
  EXPECT_EQ(sizeof(DruxEntry), 0x10u);
}
