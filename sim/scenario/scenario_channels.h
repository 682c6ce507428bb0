// The memory controller of a die as a scenario describes it: the registers of
// its channels' blocks behind the die's root index/data window
// ([[socket.die.channel]]). Private to the scenario readers.
#pragma once
#include <string>

#include "sim/scenario/scenario_reader.h"

namespace sim {

// Reads a die's `channel` array (channel 0, then channel 1) into die.channels.
void ReadDieChannels(const ScenarioReader& r, const toml::node& channels, const std::string& path, DieDesc& die);

}  // namespace sim
