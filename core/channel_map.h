// The memory-controller register snapshot: every memory channel's address-map
// registers, as the record's ChannelMap publishes them. Other modules read the
// buffer byte for byte, so its layout is fixed to the byte.
#pragma once
#include "uefi/base.h"

// The snapshot has room for two sockets of four dies with two channels each.
constexpr uint64_t kSnapshotSockets = 2;
constexpr uint64_t kSnapshotDiesPerSocket = 4;
constexpr uint64_t kChannelsPerDie = 2;
constexpr uint32_t kChannelSlotCount = 16;

// The slot of a channel; only meaningful for a socket, die and channel within
// the snapshot's room.
constexpr uint32_t ChannelSlot(uint64_t socket, uint64_t die, uint64_t channel) {
  return uint32_t(socket * 8 + die * 2 + channel);
}
static_assert(ChannelSlot(kSnapshotSockets - 1, kSnapshotDiesPerSocket - 1, kChannelsPerDie - 1) ==
              kChannelSlotCount - 1);

// The memory controller's registers of a die's channel lie at these internal
// addresses behind the die's root index/data window; offsets below are from there.
constexpr uint32_t kChannelRegisterBase = 0x50000;
constexpr uint32_t kChannelRegisterStride = 0x100000;

constexpr uint32_t kRegBaseAddr = 0x00;      // chip selects 0-3, 4 apart
constexpr uint32_t kRegBaseAddrSec = 0x10;   // chip selects 0-3
constexpr uint32_t kRegAddrMask = 0x20;      // DIMMs 0 and 1
constexpr uint32_t kRegAddrMaskSec = 0x28;   // DIMMs 0 and 1
constexpr uint32_t kRegAddrCfg = 0x30;       // DIMMs 0 and 1
constexpr uint32_t kRegAddrSel = 0x40;       // DIMMs 0 and 1
constexpr uint32_t kRegColSelLo = 0x50;      // DIMM 0; DIMM 1 at 0x58
constexpr uint32_t kRegColSelHi = 0x54;      // DIMM 0; DIMM 1 at 0x5C
constexpr uint32_t kRegColSelStride = 8;
constexpr uint32_t kRegRmSel = 0x70;         // DIMMs 0 and 1
constexpr uint32_t kRegRmSelSec = 0x78;      // DIMMs 0 and 1
constexpr uint32_t kRegDimmCfg = 0x80;       // DIMMs 0 and 1
constexpr uint32_t kRegAddrHashBank = 0xC8;  // n = 0 to 4
constexpr uint32_t kRegAddrHashCS = 0xE8;    // n = 0 and 1
constexpr uint32_t kRegBankGroup = 0x200;    // one for both DIMMs
constexpr uint32_t kChannelRegisterCount = 34;

// Bits of the composite words.
constexpr uint32_t kDimmCfgDdr4eEn = 1u << 13;
constexpr uint32_t kDimmCfgBankGroupEn = 1u << 5;

#pragma pack(push, 1)
struct ChannelMapSnapshot {
  uint8_t CsEnabledCount[16];    // chip selects of the slot whose base address is enabled
  uint8_t CsEnabledMask[16];     // bit n: chip select n enabled
  uint32_t AddrHashBank[5][16];  // [n][slot]
  uint8_t Reserved160[128];
  uint32_t AddrHashCS[16][2];
  uint32_t BaseAddr[16][4];      // bit 0 cleared
  uint32_t BaseAddrSec[16][4];   // bit 0 cleared
  uint32_t AddrMask[16][2];      // bit 0 set
  uint32_t AddrMaskSec[16][2];   // bit 0 set
  uint32_t AddrCfg[16][4];       // composite words of DIMMs 0 and 1; 2 and 3 stay zero
  uint32_t BankBit[16][2];       // AddrSel bits 19:0
  uint32_t RowHiLo[16][2];       // AddrSel bits 31:24, in 7:0
  uint32_t ColSelLo[16][2];
  uint32_t ColSelHi[16][2];
  uint32_t RmSel[16][2];
  uint32_t RmSelSec[16][2];
  uint8_t Reserved960[704];
  uint32_t DimmCfg[16][4];       // composite words of DIMMs 0 and 1; 2 and 3 stay zero
  uint8_t ReservedD20[6];
};
#pragma pack(pop)

static_assert(sizeof(ChannelMapSnapshot) == 3366);
static_assert(offsetof(ChannelMapSnapshot, CsEnabledCount) == 0x000 &&
              offsetof(ChannelMapSnapshot, CsEnabledMask) == 0x010 &&
              offsetof(ChannelMapSnapshot, AddrHashBank) == 0x020 &&
              offsetof(ChannelMapSnapshot, Reserved160) == 0x160 &&
              offsetof(ChannelMapSnapshot, AddrHashCS) == 0x1E0 &&
              offsetof(ChannelMapSnapshot, BaseAddr) == 0x260 &&
              offsetof(ChannelMapSnapshot, BaseAddrSec) == 0x360 &&
              offsetof(ChannelMapSnapshot, AddrMask) == 0x460 &&
              offsetof(ChannelMapSnapshot, AddrMaskSec) == 0x4E0 &&
              offsetof(ChannelMapSnapshot, AddrCfg) == 0x560 &&
              offsetof(ChannelMapSnapshot, BankBit) == 0x660 &&
              offsetof(ChannelMapSnapshot, RowHiLo) == 0x6E0 &&
              offsetof(ChannelMapSnapshot, ColSelLo) == 0x760 &&
              offsetof(ChannelMapSnapshot, ColSelHi) == 0x7E0 &&
              offsetof(ChannelMapSnapshot, RmSel) == 0x860 &&
              offsetof(ChannelMapSnapshot, RmSelSec) == 0x8E0 &&
              offsetof(ChannelMapSnapshot, Reserved960) == 0x960 &&
              offsetof(ChannelMapSnapshot, DimmCfg) == 0xC20 &&
              offsetof(ChannelMapSnapshot, ReservedD20) == 0xD20);
// Slot 13 (socket 1, die 2, channel 1): its BaseAddr row and its AddrHashBank
// element for n = 4.
static_assert(ChannelSlot(1, 2, 1) == 13);
static_assert(offsetof(ChannelMapSnapshot, BaseAddr) + 13 * 16 == 0x330);
static_assert(offsetof(ChannelMapSnapshot, AddrHashBank) + 4 * 0x40 + 13 * 4 == 0x154);

// Fills the channel's slot from its registers, CsEnabledMask and CsEnabledCount
// included, and prints the dump lines. Each register is read once; the
// chip-select enable bits (bit 0 of the four BaseAddr registers, bit n for chip
// select n) are also handed back.
uint8_t ChannelCapture(ChannelMapSnapshot* map, uint64_t socket, uint64_t die, uint64_t channel, uint64_t rootBus);
