// Every register the driver reads or writes, pinned to the numbers of the design:
// where it lies, its width and each field's position, written here by hand. The
// driver and the platform's models share one definition, so a wrong definition
// would pass every other test; this table is what it must agree with.
#include <gtest/gtest.h>

#include "core/channel_map.h"
#include "core/channel_registers.h"
#include "platform/register.h"

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
