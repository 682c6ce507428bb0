#include "sim/scenario/scenario_channels.h"

#include <vector>

#include "core/channel_registers.h"

namespace sim {

namespace {

// A key that names registers: its array's values go to the registers at these
// offsets of the channel's block, in order.
struct RegisterKey {
  std::string_view name;
  std::vector<uint32_t> offsets;
};

// Every register of R's kind: chip selects 0 to 3, DIMMs 0 and 1, or n = 0 to 4.
template <typename R>
RegisterKey Key(std::string_view name) {
  RegisterKey key{name, {}};
  for (uint32_t i = 0; i < R::kCount; ++i) key.offsets.push_back(R::Offset(i));
  return key;
}

const std::vector<RegisterKey>& RegisterKeys() {
  using namespace channel;
  static const std::vector<RegisterKey> keys = {
      Key<BaseAddr>("base_addr"),         Key<BaseAddrSec>("base_addr_sec"), Key<AddrMask>("addr_mask"),
      Key<AddrMaskSec>("addr_mask_sec"),  Key<AddrCfg>("addr_cfg"),          Key<AddrSel>("addr_sel"),
      Key<ColSelLo>("col_sel_lo"),        Key<ColSelHi>("col_sel_hi"),       Key<RmSel>("rm_sel"),
      Key<RmSelSec>("rm_sel_sec"),        Key<DimmCfg>("dimm_cfg"),          Key<AddrHashBank>("addr_hash_bank"),
      Key<AddrHashCS>("addr_hash_cs"),
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
