// Helpers the benchmarks share.
#pragma once
#include <cstring>
#include <stdexcept>
#include <string>

#include "sim/images/drux_block.h"
#include "sim/scenario/scenario.h"

namespace bench {

inline std::string SourcePath(const std::string& relative) { return std::string(MEMINFO_SOURCE_DIR) + "/" + relative; }

// The default platform cut or grown to `dies` dies, four to a socket, each
// with its own root bus; ReadyToBoot signalled once.
inline sim::Scenario GrownPlatform(int dies) {
  std::string text = "name = \"grown\"\n";
  for (int d = 0; d < dies; ++d) {
    if (d % 4 == 0) text += "[[socket]]\n";
    text += "[[socket.die]]\nroot_bus = " + std::to_string(d * 0x20) + "\n";
  }
  text += "[pcd]\n16 = true\n243 = 0xFFFF\n[boot]\nevents = [\"ready_to_boot\"]\n";
  return sim::ParseScenario(text, "grown.toml");
}

// The scenario with its DRUX block grown to `entries` entries: its own entries
// first, then entries of group 1, type 1 (16 bytes of data each, instances
// counting up) that no die's look-up matches but every walk passes. The block
// stays where it was, and the information HOB gives its new size.
inline sim::Scenario WithDruxEntries(sim::Scenario s, size_t entries) {
  if (!s.druxBlock || !s.druxAddress) throw std::runtime_error(s.name + ": no DRUX block to grow");
  const std::vector<uint8_t>& old = *s.druxBlock;
  auto read = [&](uint64_t at, int bytes) {
    uint64_t v = 0;
    if (at + uint64_t(bytes) <= old.size()) std::memcpy(&v, old.data() + at, size_t(bytes));
    return v;
  };
  const sim::DruxWalk walk = sim::WalkDruxBlock(read, entries);
  sim::DruxBlockDesc desc;
  desc.signature = walk.signature;
  desc.version = walk.version;
  desc.entryOffset = walk.firstOffset;
  for (const sim::DruxWalkedEntry& e : walk.entries) {
    if (!e.listed) break;
    const auto data = old.begin() + long(e.offset + sizeof(DruxEntry));
    desc.entries.push_back({e.header.GroupID, e.header.TypeId, e.header.Instance, std::nullopt,
                            std::vector<uint8_t>(data, data + long(e.header.EntrySize - sizeof(DruxEntry)))});
  }
  for (uint32_t i = 0; desc.entries.size() < entries; ++i)
    desc.entries.push_back({1, 1, i, std::nullopt, std::vector<uint8_t>(16, uint8_t(i))});
  std::vector<uint8_t> block = sim::BuildDruxBlock(desc);
  for (sim::MemoryPlacement& m : s.placements)
    if (m.what == "drux") m.bytes = block;
  for (sim::HobDesc& h : s.hobs)
    if (GuidEqual(h.name, kDruxInfoHobGuid)) h.data = sim::DruxInfoData(1, uint32_t(block.size()), *s.druxAddress);
  s.druxBlock = std::move(block);
  return s;
}

}  // namespace bench
