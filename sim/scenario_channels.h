// The memory controller of a die as a scenario describes it: the registers of
// each channel's block behind the die's root index/data window.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

namespace sim {

// A key of a [[socket.die.channel]] table that names registers: its array's
// values go to the registers at these offsets of the channel's block, in order.
struct ChannelRegisterKey {
  std::string_view name;
  std::vector<uint32_t> offsets;
};
const std::vector<ChannelRegisterKey>& ChannelRegisterKeys();
const ChannelRegisterKey* FindChannelRegisterKey(std::string_view name);

// Offsets a `registers` table may use: inside the channel's block, 32-bit aligned.
constexpr uint32_t kChannelBlockLastOffset = 0xFFFFC;

}  // namespace sim
