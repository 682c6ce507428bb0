// The chip-select table and what it is built from: the channel information
// protocol another firmware module provides (per die: channels, DIMMs per
// channel, ranks per DIMM) and each die's memory description in the DRUX block.
#pragma once
#include "uefi/base.h"

inline constexpr Guid ChannelInfoProtocolGuid = {0xECF77B54, 0x9B7B, 0x4FCB, {0x9A, 0x3F, 0x02, 0x28, 0x82, 0xA1, 0x36, 0x7A}};

struct ChannelInfoProtocol {
  // Out: the die's channel count, its DIMM count per channel and its rank count per DIMM.
  EfiStatus(EFIAPI* DieMemoryInfo)(ChannelInfoProtocol* self, uint64_t socket, uint64_t die, uint64_t* channels,
                                   uint64_t* dimms, uint64_t* ranks);
};
static_assert(offsetof(ChannelInfoProtocol, DieMemoryInfo) == 0);

// One chip select; published, so fixed byte for byte.
struct ChipSelectEntry {
  uint64_t Sequence;  // the entry's own position in the table
  uint8_t Socket;
  uint8_t Channel;  // comes before the die
  uint8_t Die;
  uint8_t Dimm;
  uint8_t Rank;  // 0 for the DIMM's first chip select, 1 for its second
  uint8_t Reserved[3];
};
static_assert(sizeof(ChipSelectEntry) == 16 && offsetof(ChipSelectEntry, Socket) == 8 &&
              offsetof(ChipSelectEntry, Channel) == 9 && offsetof(ChipSelectEntry, Die) == 10 &&
              offsetof(ChipSelectEntry, Dimm) == 11 && offsetof(ChipSelectEntry, Rank) == 12 &&
              offsetof(ChipSelectEntry, Reserved) == 13);

constexpr uint64_t kChipSelectTableEntries = 128;
struct ChipSelectTable {
  ChipSelectEntry Entries[kChipSelectTableEntries];
};
static_assert(sizeof(ChipSelectTable) == 2048);

struct MemInfoRecord;
// A step of the body: builds the table and attaches it to the record (its
// ChipSelectEntries and ChipSelectCount).
EfiStatus ChipSelectTableBuild(MemInfoRecord& record);

// A die's memory description as the build copies it from the start of its DRUX
// entry (header included): a marker byte per channel record and per DIMM record.
constexpr uint64_t kDieMemoryCopySize = 76;
constexpr uint64_t kDieMemoryChannelRecords = 2;
constexpr uint64_t kDieMemoryDimmRecords = 4;
constexpr uint64_t kDieMemoryChannelRecordSize = 13;
constexpr uint64_t kDieMemoryDimmRecordSize = 3;
constexpr uint64_t kDieMemoryChannelMarker0 = 48;
constexpr uint8_t kDieMemoryMarkerInvalid = 0xFF;  // stops the build
constexpr uint64_t DieMemoryChannelMarker(uint64_t channel) {
  return kDieMemoryChannelMarker0 + kDieMemoryChannelRecordSize * channel;
}
constexpr uint64_t DieMemoryDimmMarker(uint64_t channel, uint64_t dimm) {
  return DieMemoryChannelMarker(channel) + 1 + kDieMemoryDimmRecordSize * dimm;
}
static_assert(DieMemoryDimmMarker(kDieMemoryChannelRecords - 1, kDieMemoryDimmRecords - 1) < kDieMemoryCopySize,
              "every marker the records hold lies in the copy");
