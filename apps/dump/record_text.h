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

// The record's layout, field by field, in offset order.
struct RecordField {
  const char* name;
  size_t offset;
  int width;  // bytes
};
#define DUMP_RECORD_FIELD(f) RecordField{#f, offsetof(MemInfoRecord, f), int(sizeof(MemInfoRecord{}.f))}
inline constexpr RecordField kRecordFields[] = {
    DUMP_RECORD_FIELD(Token16Flag),         DUMP_RECORD_FIELD(Reserved1),         DUMP_RECORD_FIELD(SmiCommandPort),
    DUMP_RECORD_FIELD(Token467Byte),        DUMP_RECORD_FIELD(Token242Flag),      DUMP_RECORD_FIELD(Token243Word),
    DUMP_RECORD_FIELD(RootRegLowOverride),  DUMP_RECORD_FIELD(Reserved9),         DUMP_RECORD_FIELD(RootRegLow),
    DUMP_RECORD_FIELD(RootRegHighOverride), DUMP_RECORD_FIELD(Reserved13),        DUMP_RECORD_FIELD(RootRegHigh),
    DUMP_RECORD_FIELD(ChipSelectCount),     DUMP_RECORD_FIELD(ChipSelectEntries), DUMP_RECORD_FIELD(ChannelMap),
};
#undef DUMP_RECORD_FIELD

constexpr bool FieldsCoverRecord() {
  size_t next = 0;
  for (const RecordField& f : kRecordFields) {
    if (f.offset != next) return false;
    next += size_t(f.width);
  }
  return next == sizeof(MemInfoRecord);
}
static_assert(FieldsCoverRecord(), "every byte of MemInfoRecord is listed once, in order");

// The little-endian number of `width` bytes at bytes + at.
uint64_t LittleEndian(const uint8_t* bytes, size_t at, int width);

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
