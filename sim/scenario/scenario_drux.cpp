// The scenario's [drux] table (the DRUX block: built from entries or read from a
// file, placed in memory and named by the DRUX information HOB), its [[memory]]
// tables (raw bytes at a physical address, e.g. data captured from a board), and
// a die's memory_info (what the channel information protocol reports).
#include "core/channel_registers.h"
#include "sim/common/text.h"
#include "sim/images/drux_block.h"
#include "sim/scenario/scenario_reader.h"

namespace sim {

namespace {

// Where [drux] puts the block by default: the start of the DRAM kept for placed data.
constexpr uint64_t kDruxDefaultAddress = kPlacedDataBase;
// Outside DRAM, placed data stays below the platform's MMIO (configuration
// space, chipset registers, the PSP window, the boot flash).
constexpr uint64_t kPlacedMmioLimit = 0xE0000000;
constexpr uint64_t kPlacedDataLimit = kPlacedDataEnd - kPlacedDataBase;

std::vector<uint8_t> Bytes(const ScenarioReader& r, const toml::node& n, const std::string& key) {
  std::vector<uint8_t> out;
  const auto& list = r.Array(n, key);
  if (list.size() > kDruxBlockBuildLimit) r.Fail(n.source(), key, "at most 1 MiB of data; use 'file'");
  for (auto& b : list) out.push_back(uint8_t(r.Unsigned(b, key, 0xFF)));
  return out;
}

void CheckPlacement(const ScenarioReader& r, const toml::node& at, const std::string& key, uint64_t address,
                    uint64_t length) {
  const bool inDram = address >= kPlacedDataBase && address < kPlacedDataEnd && length <= kPlacedDataEnd - address;
  const bool belowMmio = address + length <= kPlacedMmioLimit && address + length >= address &&
                         (address + length <= kDramBase || address >= kDramBase + kDramSize);
  if (!inDram && !belowMmio)
    r.Fail(at.source(), key,
 "placed data lies in DRAM from " + HexText(kPlacedDataBase) + " to " + HexText(kPlacedDataEnd) +
               ", or outside DRAM below " + HexText(kPlacedMmioLimit));
}

DruxEntryDesc ReadEntry(const ScenarioReader& r, const toml::table& t, const std::string& p) {
  r.Keys(t, p, {"group", "type", "instance", "size", "data", "channels"});
  DruxEntryDesc e;
  if (auto v = t.get("group")) e.group = uint32_t(r.Unsigned(*v, p + ".group", 0xFFFFFFFF));
  else r.Fail(t.source(), p + ".group", "missing: the entry's group");
  if (auto v = t.get("type")) e.type = uint32_t(r.Unsigned(*v, p + ".type", 0xFFFFFFFF));
  else r.Fail(t.source(), p + ".type", "missing: the entry's type");
  if (auto v = t.get("instance")) e.instance = uint32_t(r.Unsigned(*v, p + ".instance", 0xFFFFFFFF));
  if (auto v = t.get("size")) e.size = uint32_t(r.Unsigned(*v, p + ".size", 0xFFFFFFFF));
  if (t.contains("data") && t.contains("channels")) r.Fail(t.source(), p, "give 'data' or 'channels', not both");
  if (auto v = t.get("data")) e.data = Bytes(r, *v, p + ".data");
  if (auto v = t.get("channels")) {
    const std::string key = p + ".channels";
    const auto& list = r.Array(*v, key);
    if (list.size() > kDieMemoryChannelRecords) r.Fail(v->source(), key, "an entry holds two channel records");
    std::vector<std::vector<uint8_t>> channels;
    for (auto& c : list) {
      channels.push_back(Bytes(r, c, key));
      if (channels.back().size() > 1 + kDieMemoryDimmRecords)
        r.Fail(c.source(), key, "a channel record is its marker and at most four DIMM markers");
    }
    e.data = DieMemoryData(channels);
  }
  return e;
}

void ReadDruxTable(const ScenarioReader& r, const toml::table& t, Scenario& s) {
  r.Keys(t, "drux", {"version", "entry_offset", "size", "signature", "file", "entry", "address", "memory", "hob",
                     "supported", "hob_size"});
  std::vector<uint8_t> block;
  if (auto v = t.get("file")) {
    for (const char* other : {"version", "entry_offset", "size", "signature", "entry"})
      if (t.contains(other))
        r.Fail(v->source(), "drux.file", std::string("a block read from a file stands alone; 'drux.") + other +
                                             "' cannot be given with it");
    block = r.File(*v, "drux.file", kPlacedDataLimit);
    if (block.empty()) r.Fail(v->source(), "drux.file", "the file is empty");
  } else {
    DruxBlockDesc desc;
    if (auto v = t.get("version")) desc.version = uint32_t(r.Unsigned(*v, "drux.version", 0xFFFFFFFF));
    if (auto v = t.get("entry_offset")) {
      if (desc.version < kDruxVersionWithEntryOffset)
        r.Fail(v->source(), "drux.entry_offset", "only a block of version 5 or later has an entry offset");
      desc.entryOffset = uint32_t(r.Unsigned(*v, "drux.entry_offset", kDruxBlockBuildLimit));
    }
    if (auto v = t.get("size")) desc.size = uint32_t(r.Unsigned(*v, "drux.size", 0xFFFFFFFF));
    if (auto v = t.get("signature")) desc.signature = uint32_t(r.Unsigned(*v, "drux.signature", 0xFFFFFFFF));
    if (auto v = t.get("entry")) {
      const auto& list = r.Array(*v, "drux.entry");
      for (size_t i = 0; i < list.size(); ++i) {
        const std::string p = "drux.entry[" + std::to_string(i) + "]";
        desc.entries.push_back(ReadEntry(r, r.Table(list[i], p), p));
      }
    }
    block = BuildDruxBlock(desc);
    if (block.size() > kPlacedDataLimit) r.Fail(t.source(), "drux.entry", "the block is larger than 12 MiB");
  }

  const uint64_t address = t.get("address") ? r.Value64(*t.get("address"), "drux.address") : kDruxDefaultAddress;
  const bool inMemory = t.get("memory") ? r.Bool(*t.get("memory"), "drux.memory") : true;
  const bool hob = t.get("hob") ? r.Bool(*t.get("hob"), "drux.hob") : true;
  if (inMemory) {
    CheckPlacement(r, t.get("address") ? *t.get("address") : static_cast<const toml::node&>(t), "drux.address",
                   address, block.size());
    s.placements.push_back({"drux", address, block});
  }
  if (hob) {
    const uint8_t supported = t.get("supported") ? r.Switch(*t.get("supported"), "drux.supported") : 1;
    const uint32_t size = t.get("hob_size") ? uint32_t(r.Unsigned(*t.get("hob_size"), "drux.hob_size", 0xFFFFFFFF))
                                            : uint32_t(block.size());
    s.hobs.push_back({kDruxInfoHobGuid, DruxInfoData(supported, size, address), {}});
  }
  s.druxBlock = std::move(block);
  s.druxAddress = address;
}

void ReadMemory(const ScenarioReader& r, const toml::node& n, Scenario& s) {
  const auto& list = r.Array(n, "memory");
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string p = "memory[" + std::to_string(i) + "]";
    const auto& t = r.Table(list[i], p);
    r.Keys(t, p, {"address", "data", "file"});
    MemoryPlacement m;
    m.what = p;
    if (auto v = t.get("address")) m.address = r.Value64(*v, p + ".address");
    else r.Fail(t.source(), p + ".address", "missing: where the bytes go");
    if (t.contains("data") == t.contains("file")) r.Fail(t.source(), p, "give 'data' or 'file'");
    if (auto v = t.get("data")) m.bytes = Bytes(r, *v, p + ".data");
    if (auto v = t.get("file")) m.bytes = r.File(*v, p + ".file", kPlacedDataLimit);
    CheckPlacement(r, *t.get("address"), p + ".address", m.address, m.bytes.size());
    s.placements.push_back(std::move(m));
  }
}

}  // namespace

void ReadDrux(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  if (auto n = root.get("drux")) ReadDruxTable(r, r.Table(*n, "drux"), s);
  if (auto n = root.get("memory")) ReadMemory(r, *n, s);
}

void ReadDieMemoryInfo(const ScenarioReader& r, const toml::node& n, const std::string& path, DieDesc& die) {
  const auto& t = r.Table(n, path);
  r.Keys(t, path, {"channels", "dimms", "ranks", "status"});
  DieMemoryCounts c;
  if (auto v = t.get("channels")) c.channels = r.Value64(*v, path + ".channels");
  if (auto v = t.get("dimms")) c.dimms = r.Value64(*v, path + ".dimms");
  if (auto v = t.get("ranks")) c.ranks = r.Value64(*v, path + ".ranks");
  if (auto v = t.get("status")) c.status = r.Value64(*v, path + ".status");
  die.memoryInfo = c;
}

DieMemoryCounts DerivedMemoryCounts(const DieDesc& die) {
  DieMemoryCounts c;
  for (size_t ch = 0; ch < die.channels.size(); ++ch) {
    auto enabled = [&](uint32_t cs) {
      auto it = die.channels[ch].find(channel::BaseAddr::Offset(cs));
      return it != die.channels[ch].end() && channel::BaseAddr::CsEnable::IsSet(it->second);
    };
    for (uint32_t d = 0; d < 2; ++d) {
      if (!enabled(2 * d) && !enabled(2 * d + 1)) continue;
      c.channels = ch + 1;
      c.dimms = std::max<uint64_t>(c.dimms, d + 1);
      c.ranks = std::max<uint64_t>(c.ranks, enabled(2 * d + 1) ? 2 : 1);
    }
  }
  return c;
}

}  // namespace sim
