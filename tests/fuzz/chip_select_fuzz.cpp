// Fuzzes the chip-select build through a whole boot: a topology of up to four
// sockets of eight dies, arbitrary per-die counts from the channel information
// protocol, and arbitrary per-die DRUX entries (size, instance and the bytes the
// markers come from). The published table, when there is one, must hold exactly
// the chip selects the counts give, numbered in walk order, with every byte
// after them zero; the DRUX reads stay in the block.
//
// Input: the socket count (low 2 bits, plus one), then per socket its die count
// (low 3 bits, plus one), then per die: a flag byte (bit 0 the protocol call
// fails, bits 2:1 its entry: own, missing, doubled, another die's), the channel,
// DIMM and rank counts, the entry's size field (0xFF: its own size), and 60
// bytes of entry data.
#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "core/chip_select.h"
#include "core/meminfo.h"
#include "fuzz_support.h"
#include "psp/drux.h"
#include "sim/images/drux_block.h"
#include "sim/board/platform.h"

namespace {

constexpr uint64_t kBlock = sim::kPlacedDataBase;
constexpr size_t kEntryData = kDieMemoryCopySize - sizeof(DruxEntry);

sim::Scenario Base() {
  sim::Scenario s = sim::ParseScenario("[agent]\npresent = true\n", "chip-select-fuzz.toml");
  s.accessLimit = 2000000;
  return s;
}

// Whether every read of DRAM through the seam lay in the DRUX block. The
// checker's own branches teach the fuzzer nothing: not traced.
SIM_BOOKKEEPING bool ReadsStayInBlock(const std::vector<sim::Access>& log, uint64_t size) {
  for (const sim::Access& a : log)
    if (a.kind == sim::AccessKind::Memory && !a.write && (a.address < kBlock || a.address + a.width > kBlock + size))
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const sim::Scenario base = Base();
  // One description for the process, the parts an input sets put back to the
  // base's each time: copying the whole of it per input cost more than these.
  static const std::shared_ptr<sim::Scenario> shared = std::make_shared<sim::Scenario>(base);
  fuzz::Input in{data, size};
  sim::Scenario& s = *shared;
  s.sockets = base.sockets;
  s.placements = base.placements;
  s.hobs = base.hobs;
  sim::DruxBlockDesc block;
  const size_t sockets = 1 + (in.Byte() & 3);
  std::vector<size_t> dies(sockets);
  for (size_t& d : dies) d = 1 + (in.Byte() & 7);
  uint64_t expected = 0;  // chip selects, if every die's counts are used
  for (size_t socket = 0; socket < sockets; ++socket) {
    sim::SocketDesc desc;
    for (size_t die = 0; die < dies[socket]; ++die) {
      const uint8_t flags = in.Byte();
      sim::DieMemoryCounts counts{in.Byte(), in.Byte(), in.Byte(), flags & 1 ? EFI_DEVICE_ERROR : 0};
      expected += counts.channels * counts.dimms * (counts.ranks > 1 ? 2 : 1);
      sim::DieDesc d;
      d.rootBus = uint8_t(8 * socket + die);
      d.memoryInfo = counts;
      desc.dies.push_back(std::move(d));

      sim::DruxEntryDesc entry;
      entry.group = kDruxGroupMemory;
      entry.type = kDruxTypeDieMemory;
      entry.instance = DruxDieInstance(socket, die) ^ ((flags >> 1 & 3) == 3 ? 1 : 0);
      const uint8_t sizeField = in.Byte();
      if (sizeField != 0xFF) entry.size = sizeField;
      entry.data.resize(kEntryData);
      for (uint8_t& byte : entry.data) byte = in.Byte();
      if ((flags >> 1 & 3) == 2) block.entries.push_back(entry);
      if ((flags >> 1 & 3) != 1) block.entries.push_back(std::move(entry));
    }
    s.sockets.push_back(std::move(desc));
  }
  const std::vector<uint8_t> bytes = sim::BuildDruxBlock(block);
  s.placements.push_back({"fuzz", kBlock, bytes});
  s.hobs.push_back({kDruxInfoHobGuid, sim::DruxInfoData(1, uint32_t(bytes.size()), kBlock), {}});
  sim::Platform platform(shared);
  const sim::BootResult boot = platform.Boot();
  if (!boot.entryReturned || boot.halted || boot.runaway) std::abort();

  // Reads of DRAM through the seam: the DRUX block's.
  if (!ReadsStayInBlock(platform.hardware().Log(), bytes.size())) std::abort();

  const auto at = platform.Installed(MemInfoProtocolGuid);
  if (!at) return 0;
  const MemInfoRecord record = platform.memory().Read<MemInfoRecord>(*at);
  if (record.ChipSelectEntries == 0) {
    if (record.ChipSelectCount != 0) std::abort();
    return 0;
  }
  // Published: every die's counts were used.
  if (record.ChipSelectCount != expected || expected > kChipSelectTableEntries) std::abort();
  const ChipSelectTable table = platform.memory().Read<ChipSelectTable>(record.ChipSelectEntries);
  auto key = [](const ChipSelectEntry& e) { return std::make_tuple(e.Socket, e.Die, e.Channel, e.Dimm, e.Rank); };
  for (uint64_t i = 0; i < kChipSelectTableEntries; ++i) {
    const ChipSelectEntry& e = table.Entries[i];
    if (i >= expected) {
      const ChipSelectEntry zero{};
      if (std::memcmp(&e, &zero, sizeof e) != 0) std::abort();
      continue;
    }
    const sim::DieMemoryCounts& c = *platform.scenario().sockets.at(e.Socket).dies.at(e.Die).memoryInfo;
    // Channel and DIMM within the counts and within the records an entry holds.
    if (e.Sequence != i || e.Channel >= std::min<uint64_t>(c.channels, kDieMemoryChannelRecords) ||
        e.Dimm >= std::min<uint64_t>(c.dimms, kDieMemoryDimmRecords) || e.Rank > (c.ranks > 1 ? 1 : 0) ||
        e.Reserved[0] != 0 || e.Reserved[1] != 0 || e.Reserved[2] != 0)
      std::abort();
    if (i != 0 && !(key(table.Entries[i - 1]) < key(e))) std::abort();  // walk order, each once
  }
  return 0;
}
