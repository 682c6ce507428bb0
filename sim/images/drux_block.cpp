#include "sim/images/drux_block.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
}  // namespace

std::vector<uint8_t> BuildDruxBlock(const DruxBlockDesc& desc) {
  const uint32_t first = desc.version < kDruxVersionWithEntryOffset ? kDruxFixedEntryOffset : desc.entryOffset;
  std::vector<uint8_t> b(std::max<size_t>(first, sizeof(DruxBlockHeader)), 0);
  for (const DruxEntryDesc& e : desc.entries) {
    const size_t at = b.size();
    b.resize(at + sizeof(DruxEntry) + e.data.size(), 0);
    Put32(b, at + offsetof(DruxEntry, GroupID), e.group);
    Put32(b, at + offsetof(DruxEntry, TypeId), e.type);
    Put32(b, at + offsetof(DruxEntry, Instance), e.instance);
    Put32(b, at + offsetof(DruxEntry, EntrySize), e.size.value_or(uint32_t(sizeof(DruxEntry) + e.data.size())));
    std::copy(e.data.begin(), e.data.end(), b.begin() + long(at + sizeof(DruxEntry)));
  }
  const uint32_t size = desc.size.value_or(uint32_t(b.size()));
  if (size > b.size() && size <= kDruxBlockBuildLimit) b.resize(size, 0);
  Put32(b, offsetof(DruxBlockHeader, Signature), desc.signature);
  Put32(b, offsetof(DruxBlockHeader, Version), desc.version);
  Put32(b, offsetof(DruxBlockHeader, Size), size);
  // Below version 5 the fourth field means nothing to the reader; the builder leaves it 0.
  Put32(b, offsetof(DruxBlockHeader, EntryOffset), desc.version < kDruxVersionWithEntryOffset ? 0 : desc.entryOffset);
  return b;
}

std::vector<uint8_t> DieMemoryData(const std::vector<std::vector<uint8_t>>& channels) {
  std::vector<uint8_t> entry(kDieMemoryCopySize, 0);
  for (uint64_t j = 0; j < kDieMemoryChannelRecords; ++j) {
    const std::vector<uint8_t>* record = j < channels.size() ? &channels[j] : nullptr;
    entry[DieMemoryChannelMarker(j)] = record && !record->empty() ? (*record)[0] : kDieMemoryMarkerInvalid;
    for (uint64_t m = 0; m < kDieMemoryDimmRecords; ++m)
      entry[DieMemoryDimmMarker(j, m)] = record && m + 1 < record->size() ? (*record)[m + 1] : kDieMemoryMarkerInvalid;
  }
  return std::vector<uint8_t>(entry.begin() + sizeof(DruxEntry), entry.end());
}

std::vector<uint8_t> DruxInfoData(uint8_t supported, uint32_t size, uint64_t address) {
  DruxInfo info{};
  info.Supported = supported;
  info.DruxSize = size;
  info.DruxAddr = address;
  std::vector<uint8_t> data(sizeof info);
  std::memcpy(data.data(), &info, sizeof info);
  return data;
}

}  // namespace sim
