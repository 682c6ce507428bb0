// The memory-controller register snapshot: every memory channel's address-map
// registers, as the record's ChannelMap publishes them. Other modules read the
// buffer byte for byte, so its layout is fixed to the byte.
#pragma once
#include "core/channel_registers.h"
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

#pragma pack(push, 1)
struct ChannelMapSnapshot {
  uint8_t CsEnabledCount[16];    // chip selects of the slot whose base address is enabled
  uint8_t CsEnabledMask[16];     // bit n: chip select n enabled
  uint32_t AddrHashBank[5][16];  // [n][slot]
  uint8_t Reserved160[128];
  uint32_t AddrHashCS[16][2];
  uint32_t BaseAddr[16][4];      // CsEnable cleared
  uint32_t BaseAddrSec[16][4];   // CsEnable cleared
  uint32_t AddrMask[16][2];      // LowestBit set
  uint32_t AddrMaskSec[16][2];   // LowestBit set
  uint32_t AddrCfg[16][4];       // composite words of DIMMs 0 and 1; 2 and 3 stay zero
  uint32_t BankBit[16][2];       // AddrSel's BankBit
  uint32_t RowHiLo[16][2];       // AddrSel's RowHiLo, in 7:0
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
// The snapshot's composite words, one per DIMM, built from several registers.
// AddrCfg: the DIMM's AddrCfg fields, moved, and the enable bits of its two
// chip selects' BaseAddr and BaseAddrSec registers.
struct SnapshotAddrCfg : reg::Register<uint32_t, offsetof(ChannelMapSnapshot, AddrCfg)> {
  using Cs0Enable = Bit<0>;
  using Cs1Enable = Bit<1>;
  using HighPair = Bits<5, 4>;
  using NextPair = Bits<7, 6>;
  using Middle = Bits<19, 8>;
  using LowPair = Bits<21, 20>;
  using SecCs0Enable = Bit<24>;
  using SecCs1Enable = Bit<25>;
};
// DimmCfg: the DIMM's own DDR4E enable, and the bank-group enable both DIMMs share.
struct SnapshotDimmCfg : reg::Register<uint32_t, offsetof(ChannelMapSnapshot, DimmCfg)> {
  using BankGroupEn = Bit<5>;
  using Ddr4eEn = Bit<13>;
};

// Slot 13 (socket 1, die 2, channel 1): its BaseAddr row and its AddrHashBank
// element for n = 4.
static_assert(ChannelSlot(1, 2, 1) == 13);
static_assert(offsetof(ChannelMapSnapshot, BaseAddr) + 13 * 16 == 0x330);
static_assert(offsetof(ChannelMapSnapshot, AddrHashBank) + 4 * 0x40 + 13 * 4 == 0x154);

// Fills the channel's slot from its registers, CsEnabledMask and CsEnabledCount
// included, and prints the dump lines. Each register is read once; the
// chip selects' enable bits (CsEnable of the four BaseAddr registers, bit n for
// chip select n) are also handed back.
uint8_t ChannelCapture(ChannelMapSnapshot* map, uint64_t socket, uint64_t die, uint64_t channel, uint64_t rootBus);

struct MemInfoRecord;
// A step of the body: captures every channel the topology reports into a new
// snapshot and attaches it to the record (its ChannelMap).
EfiStatus ChannelMapBuild(MemInfoRecord& record);
