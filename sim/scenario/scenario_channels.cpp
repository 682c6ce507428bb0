#include "sim/scenario/scenario_channels.h"

#include <vector>

namespace sim {

namespace {

// A key that names registers: its array's values go to the registers at these
// offsets of the channel's block, in order.
struct RegisterKey {
  std::string_view name;
  std::vector<uint32_t> offsets;
};

const std::vector<RegisterKey>& RegisterKeys() {
  static const std::vector<RegisterKey> keys = {
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

// Offsets `registers` may use: inside the channel's block, 32-bit aligned.
constexpr uint32_t kBlockLastOffset = 0xFFFFC;

// One channel's table: named register groups, each an array with one value per
// register, and `registers` for any register by offset.
void ReadChannel(const ScenarioReader& r, const toml::table& t, const std::string& path,
                 std::map<uint32_t, uint32_t>& regs) {
  for (auto&& [k, v] : t) {
    const std::string key = ScenarioReader::Join(path, k.str());
    if (k.str() == "registers") {
      for (auto&& [offsetKey, value] : r.Table(v, key)) {
        const std::string at = ScenarioReader::Join(key, offsetKey.str());
        const uint64_t offset = r.KeyNumber(std::string(offsetKey.str()), offsetKey.source(), at, kBlockLastOffset);
        if (offset % 4) r.Fail(offsetKey.source(), at, "register offsets are multiples of 4");
        regs[uint32_t(offset)] = uint32_t(r.Unsigned(value, at, 0xFFFFFFFF));
      }
      continue;
    }
    const RegisterKey* named = nullptr;
    for (const RegisterKey& candidate : RegisterKeys())
      if (candidate.name == k.str()) named = &candidate;
    if (named == nullptr) r.Fail(k.source(), key, "unknown key");
    const auto& values = r.Array(v, key);
    if (values.size() != named->offsets.size())
      r.Fail(v.source(), key, "expected " + std::to_string(named->offsets.size()) + " values, one per register");
    for (size_t i = 0; i < values.size(); ++i) regs[named->offsets[i]] = uint32_t(r.Unsigned(values[i], key, 0xFFFFFFFF));
  }
}

}  // namespace

void ReadDieChannels(const ScenarioReader& r, const toml::node& channels, const std::string& path, DieDesc& die) {
  const auto& list = r.Array(channels, path);
  if (list.size() > 2) r.Fail(channels.source(), path, "a die has two channels");
  for (size_t c = 0; c < list.size(); ++c) {
    const std::string cp = path + "[" + std::to_string(c) + "]";
    ReadChannel(r, r.Table(list[c], cp), cp, die.channels.emplace_back());
  }
}

}  // namespace sim
