// The report's decoding of the channel map snapshot the record's ChannelMap
// points to: every field of every slot by name, and the raw bytes. Part of the
// boot report (sim/report/report.h); docs/report.md describes it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

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
// Every field, in layout order.
extern const SnapshotField kSnapshotFields[16];

// The section of the text report for the snapshot at address (ChannelMap, not 0).
std::string SnapshotText(const Platform& platform, uint64_t address);
// Keys added to the JSON report's record.channel_map for a present snapshot.
void SnapshotJson(const Platform& platform, uint64_t address, nlohmann::json& channelMap);

}  // namespace sim
