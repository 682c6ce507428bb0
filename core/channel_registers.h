// A memory channel's registers. The memory controller's registers of a die's
// channel lie in the channel's block of the die's internal registers (behind
// the die's root index/data window): the block of channel c starts at
// kChannelRegisterBase + c * kChannelRegisterStride, and each register below is
// placed by its offset in the block. All are 32-bit. The driver reads them, the
// platform's scenarios place values in them, both from these definitions.
#pragma once
#include "platform/register.h"

constexpr uint32_t kChannelRegisterBase = 0x50000;
constexpr uint32_t kChannelRegisterStride = 0x100000;

namespace channel {

// A register a channel has Count of, Stride bytes apart: one per chip select,
// per DIMM or per hash term; the first at At.
template <uint32_t At, uint32_t Count, uint32_t Stride = 4>
struct Registers : reg::Register<uint32_t, At> {
  static constexpr uint32_t kCount = Count;
  static constexpr uint32_t kStride = Stride;
  static constexpr uint32_t Offset(uint32_t i) { return At + i * Stride; }
};

// Chip selects 0 to 3; DIMM d has chip selects 2d and 2d + 1.
struct BaseAddr : Registers<0x00, 4> {
  using CsEnable = Bit<0>;
};
struct BaseAddrSec : Registers<0x10, 4> {
  using CsEnable = Bit<0>;
};
// DIMMs 0 and 1. The snapshot publishes the masks with the lowest bit set.
struct AddrMask : Registers<0x20, 2> {
  using LowestBit = Bit<0>;
};
struct AddrMaskSec : Registers<0x28, 2> {
  using LowestBit = Bit<0>;
};
// DIMMs 0 and 1. The driver does not interpret these fields, it moves them into
// the snapshot's AddrCfg word; their names are ours (they tell where each lies).
struct AddrCfg : Registers<0x30, 2> {
  using LowPair = Bits<3, 2>;
  using NextPair = Bits<5, 4>;
  using Middle = Bits<19, 8>;
  using HighPair = Bits<21, 20>;
};
// DIMMs 0 and 1; bits 23:20 go into no snapshot field.
struct AddrSel : Registers<0x40, 2> {
  using BankBit = Bits<19, 0>;
  using RowHiLo = Bits<31, 24>;
};
// DIMMs 0 and 1: the low and high column selects of a DIMM lie side by side.
struct ColSelLo : Registers<0x50, 2, 8> {};
struct ColSelHi : Registers<0x54, 2, 8> {};
// DIMMs 0 and 1.
struct RmSel : Registers<0x70, 2> {};
struct RmSelSec : Registers<0x78, 2> {};
struct DimmCfg : Registers<0x80, 2> {
  using Ddr4eEn = Bit<11>;
};
// n = 0 to 4, and n = 0 and 1.
struct AddrHashBank : Registers<0xC8, 5> {};
struct AddrHashCS : Registers<0xE8, 2> {};
// One for both DIMMs.
struct BankGroup : Registers<0x200, 1> {
  using BankGroupEn = Bit<8>;
};

// Every register the snapshot reads.
constexpr uint32_t kRegisterCount = BaseAddr::kCount + BaseAddrSec::kCount + AddrMask::kCount + AddrMaskSec::kCount +
                                    AddrCfg::kCount + AddrSel::kCount + ColSelLo::kCount + ColSelHi::kCount +
                                    RmSel::kCount + RmSelSec::kCount + DimmCfg::kCount + AddrHashBank::kCount +
                                    AddrHashCS::kCount + BankGroup::kCount;
static_assert(kRegisterCount == 34);

}  // namespace channel
