#include "sim/scenario_channels.h"

namespace sim {

const std::vector<ChannelRegisterKey>& ChannelRegisterKeys() {
  static const std::vector<ChannelRegisterKey> keys = {
      {"base_addr", {0x00, 0x04, 0x08, 0x0C}},         // chip selects 0 to 3
      {"base_addr_sec", {0x10, 0x14, 0x18, 0x1C}},     // chip selects 0 to 3
      {"addr_mask", {0x20, 0x24}},                     // DIMMs 0 and 1, likewise below
      {"addr_mask_sec", {0x28, 0x2C}},
      {"addr_cfg", {0x30, 0x34}},
      {"addr_sel", {0x40, 0x44}},
      {"col_sel_lo", {0x50, 0x58}},
      {"col_sel_hi", {0x54, 0x5C}},
      {"rm_sel", {0x70, 0x74}},
      {"rm_sel_sec", {0x78, 0x7C}},
      {"dimm_cfg", {0x80, 0x84}},
      {"addr_hash_bank", {0xC8, 0xCC, 0xD0, 0xD4, 0xD8}},  // n = 0 to 4
      {"addr_hash_cs", {0xE8, 0xEC}},                      // n = 0 and 1
  };
  return keys;
}

const ChannelRegisterKey* FindChannelRegisterKey(std::string_view name) {
  for (const ChannelRegisterKey& k : ChannelRegisterKeys())
    if (k.name == name) return &k;
  return nullptr;
}

}  // namespace sim
