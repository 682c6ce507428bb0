// The DRUX block the PSP leaves for the firmware, as the virtual platform builds
// it from a description (a scenario's [drux] table): the header (version, size,
// first-entry offset from version 5 on) and entries tagged with group, type and
// instance. Per-die memory descriptions (group 3, type 1) get their channel and
// DIMM marker bytes where the chip-select build reads them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/chip_select.h"
#include "psp/drux.h"

namespace sim {

struct DruxEntryDesc {
  uint32_t group = 0, type = 0, instance = 0;
  std::optional<uint32_t> size;  // the EntrySize field; default: header + data
  std::vector<uint8_t> data;     // after the 16-byte header
};

struct DruxBlockDesc {
  uint32_t signature = kDruxSignature;
  uint32_t version = kDruxVersionWithEntryOffset;
  uint32_t entryOffset = sizeof(DruxBlockHeader);  // from version 5 on; below it the entries start at 0x220
  std::optional<uint32_t> size;  // the size field; default: the block's length (header to the last entry's end)
  std::vector<DruxEntryDesc> entries;
};

// Bytes the builder lays out at most; a larger size field is written but not padded to.
constexpr uint64_t kDruxBlockBuildLimit = 1u << 20;

// The block's bytes. Entries follow each other from the first-entry offset;
// the gap after the header is zero. When the size field is larger than the
// entries need (and within kDruxBlockBuildLimit), zeros fill the block to it.
std::vector<uint8_t> BuildDruxBlock(const DruxBlockDesc& desc);

// A die memory description's data (the entry's bytes from offset 16 to 75):
// for each channel record the channel marker and then the DIMM markers, as
// `channels` lists them ([marker, dimm 0, dimm 1, ...]). Records and markers
// not listed are 0xFF, which stops the chip-select build if it reads them.
std::vector<uint8_t> DieMemoryData(const std::vector<std::vector<uint8_t>>& channels);

// The DRUX information HOB's data naming a block.
std::vector<uint8_t> DruxInfoData(uint8_t supported, uint32_t size, uint64_t address);

// A block's entries as the driver walks it (same first entry, same stops).
struct DruxWalkedEntry {
  uint64_t offset = 0;
  DruxEntry header{};
  bool listed = true;  // false: the walk stopped here (size smaller than the header or past the block's end)
};
struct DruxWalk {
  uint32_t signature = 0, version = 0, size = 0, firstOffset = 0;
  bool sizeValid = false;
  std::vector<DruxWalkedEntry> entries;
};
// `read(offset, bytes)` gives the block's bytes (little-endian value); entries beyond `limit` are not listed.
template <class Read>
DruxWalk WalkDruxBlock(Read read, size_t limit = 4096) {
  DruxWalk w;
  w.signature = uint32_t(read(offsetof(DruxBlockHeader, Signature), 4));
  w.version = uint32_t(read(offsetof(DruxBlockHeader, Version), 4));
  w.size = uint32_t(read(offsetof(DruxBlockHeader, Size), 4));
  w.sizeValid = w.size != 0 && w.size != kDruxSizeErased;
  w.firstOffset = w.version < kDruxVersionWithEntryOffset ? kDruxFixedEntryOffset : uint32_t(read(offsetof(DruxBlockHeader, EntryOffset), 4));
  if (!w.sizeValid || w.firstOffset >= w.size) return w;
  for (uint64_t at = w.firstOffset; at < w.size && w.size - at >= sizeof(DruxEntry) && w.entries.size() < limit;) {
    DruxWalkedEntry e;
    e.offset = at;
    e.header = {uint32_t(read(at + offsetof(DruxEntry, GroupID), 4)), uint32_t(read(at + offsetof(DruxEntry, TypeId), 4)),
                uint32_t(read(at + offsetof(DruxEntry, Instance), 4)), uint32_t(read(at + offsetof(DruxEntry, EntrySize), 4))};
    e.listed = e.header.EntrySize >= sizeof(DruxEntry) && e.header.EntrySize <= w.size - at;
    w.entries.push_back(e);
    if (!e.listed) break;
    at += e.header.EntrySize;
  }
  return w;
}

}  // namespace sim
