// The report's decoding of the channel map snapshot the record's ChannelMap
// points to: every field of every slot by name, and the raw bytes. Part of the
// boot report (sim/report/report.h); docs/report.md describes it.
#pragma once
#include <cstdint>

#include <nlohmann/json.hpp>

#include "sim/board/platform.h"

namespace sim {

// Keys added to the JSON report's record.channel_map for a present snapshot.
void SnapshotJson(const Platform& platform, uint64_t address, nlohmann::json& channelMap);

}  // namespace sim
