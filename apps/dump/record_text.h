// The published record as text: the sections "Published record
// (MemInfoProtocol)", "Channel map snapshot (ChannelMapSnapshot)" and
// "Chip-select table (ChipSelectTable)". One renderer for meminfo-sim's boot
// report and for MemInfoDump.efi, which prints them on a board, so the two
// compare line for line (meminfo-sim compare).
//
// Freestanding: no standard library, no heap; the text goes to a sink, and the
// caller says where the bytes behind an address can be read.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "core/channel_map.h"
#include "core/chip_select.h"
#include "core/meminfo.h"

namespace dump {

// Receives the text, a piece at a time; lines end in '\n'.
struct Sink {
  void (*Write)(void* context, const char* text, size_t length);
  void* Context;
};

// The bytes at [address, address + size) as the reader sees them, or null where
// it cannot read them all (the report says "unreadable").
struct Reader {
  const uint8_t* (*Bytes)(void* context, uint64_t address, uint64_t size);
  void* Context;
};

// Where the record was found.
struct RecordPlace {
  uint64_t Interface;
  uint64_t Handle;
  bool OnImageHandle;  // the handle is an image's (the driver installs it on its own)
};

// "Published record (MemInfoProtocol)" when nothing is installed under the protocol.
void RecordAbsentText(const Sink& out);
// The record section; the record's 40 bytes are read at place.Interface.
void RecordText(const Sink& out, const RecordPlace& place, const Reader& memory);
// The snapshot and chip-select sections the record points to, each followed
// by an empty line; nothing for a pointer that is 0 or a record not readable.
void RecordBuffersText(const Sink& out, uint64_t recordAddress, const Reader& memory);
// Everything MemInfoDump prints: the record section, an empty line, the buffers' sections.
void DumpText(const Sink& out, const RecordPlace& place, const Reader& memory);

void SnapshotText(const Sink& out, uint64_t address, const Reader& memory);
void ChipSelectText(const Sink& out, uint64_t address, uint64_t count, const Reader& memory);

// One field of the snapshot: element e of slot s lies at
// Offset + s * SlotStride + e * ElementStride, Width bytes wide.
struct SnapshotField {
  const char* Name;
  size_t Offset;
  int Width;
  int Elements;
  size_t SlotStride;
  size_t ElementStride;
};
#define DUMP_SNAPSHOT_FIELD(f, elements, slotStride, elementStride)                                            \
  SnapshotField {                                                                                              \
    #f, offsetof(ChannelMapSnapshot, f), int(sizeof(ChannelMapSnapshot{}.f) / (16 * (elements))), elements, \
        slotStride, elementStride                                                                              \
  }
// Every field, in layout order.
inline constexpr SnapshotField kSnapshotFields[16] = {
    DUMP_SNAPSHOT_FIELD(CsEnabledCount, 1, 1, 0), DUMP_SNAPSHOT_FIELD(CsEnabledMask, 1, 1, 0),
    DUMP_SNAPSHOT_FIELD(AddrHashBank, 5, 4, 0x40), DUMP_SNAPSHOT_FIELD(AddrHashCS, 2, 8, 4),
    DUMP_SNAPSHOT_FIELD(BaseAddr, 4, 16, 4),      DUMP_SNAPSHOT_FIELD(BaseAddrSec, 4, 16, 4),
    DUMP_SNAPSHOT_FIELD(AddrMask, 2, 8, 4),       DUMP_SNAPSHOT_FIELD(AddrMaskSec, 2, 8, 4),
    DUMP_SNAPSHOT_FIELD(AddrCfg, 4, 16, 4),       DUMP_SNAPSHOT_FIELD(BankBit, 2, 8, 4),
    DUMP_SNAPSHOT_FIELD(RowHiLo, 2, 8, 4),        DUMP_SNAPSHOT_FIELD(ColSelLo, 2, 8, 4),
    DUMP_SNAPSHOT_FIELD(ColSelHi, 2, 8, 4),       DUMP_SNAPSHOT_FIELD(RmSel, 2, 8, 4),
    DUMP_SNAPSHOT_FIELD(RmSelSec, 2, 8, 4),       DUMP_SNAPSHOT_FIELD(DimmCfg, 4, 16, 4),
};
#undef DUMP_SNAPSHOT_FIELD

// Element e of a field of slot s in the snapshot's bytes.
uint64_t SnapshotElement(const uint8_t* snapshot, const SnapshotField& f, uint32_t slot, int element);
// Any field of the slot not zero.
bool SnapshotSlotPopulated(const uint8_t* snapshot, uint32_t slot);
// Reserved bytes that are not zero, and the offset of the first of them.
size_t SnapshotReservedNonZero(const uint8_t* snapshot, size_t* first);

}  // namespace dump
