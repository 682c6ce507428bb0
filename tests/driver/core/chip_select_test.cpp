// The chip-select table: the walk over sockets and dies with the channel
// information protocol's counts and the markers of each die's DRUX entry, the
// room for 128 entries, and every way the build stops without a table.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/chip_select.h"
#include "platform/hw.h"
#include "tests/support/platform_fixture.h"
#include "psp/drux.h"

namespace {

struct Die {
  uint64_t channels, dimms, ranks;
  std::string markers = "";  // the entry's channels key; empty: every record present; "-": no entry
};

// One socket per list of dies, each die with its counts and DRUX entry.
std::string Platform(const std::vector<std::vector<Die>>& sockets) {
  std::string t, drux = "[drux]\n";
  for (size_t s = 0; s < sockets.size(); ++s) {
    t += "[[socket]]\n";
    for (size_t d = 0; d < sockets[s].size(); ++d) {
      const Die& die = sockets[s][d];
      t += "[[socket.die]]\nroot_bus = " + std::to_string(0x20 * (4 * s + d)) + "\nmemory_info = { channels = " +
           std::to_string(die.channels) + ", dimms = " + std::to_string(die.dimms) +
           ", ranks = " + std::to_string(die.ranks) + " }\n";
      if (die.markers == "-") continue;
      drux += "[[drux.entry]]\ngroup = 3\ntype = 1\ninstance = " + std::to_string((s << 8) | d) + "\nchannels = " +
              (die.markers.empty() ? "[[0, 0, 1, 2, 3], [1, 0, 1, 2, 3]]" : die.markers) + "\n";
    }
  }
  return t + drux + "[agent]\npresent = true\n";
}

std::vector<ChipSelectEntry> Table(sim::Platform& p, MemInfoRecord* r) {
  EXPECT_TRUE(test::PublishedRecord(p, r));
  std::vector<ChipSelectEntry> out;
  for (uint64_t i = 0; i < r->ChipSelectCount && i < kChipSelectTableEntries; ++i)
    out.push_back(p.memory().Read<ChipSelectEntry>(r->ChipSelectEntries + i * sizeof(ChipSelectEntry)));
  return out;
}

// Socket, channel, die, DIMM, rank.
using Cs = std::array<int, 5>;
std::vector<Cs> Fields(const std::vector<ChipSelectEntry>& t) {
  std::vector<Cs> out;
  for (size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i].Sequence, i);
    out.push_back({t[i].Socket, t[i].Channel, t[i].Die, t[i].Dimm, t[i].Rank});
  }
  return out;
}

// The table's block: the allocation of 2048 bytes.
uint64_t TableBlock(sim::Platform& p) {
  for (const auto& b : p.firmware().Pool())
    if (b.size == sizeof(ChipSelectTable)) return b.address;
  return 0;
}

void ExpectNoTable(sim::Platform& p) {
  MemInfoRecord r{};
  ASSERT_TRUE(test::PublishedRecord(p, &r));
  EXPECT_EQ(r.ChipSelectCount, 0u);
  EXPECT_EQ(r.ChipSelectEntries, 0u);
}

}  // namespace

// Two channels of one DIMM with two ranks: four entries in walk order; rank
// counts of 1 and 4 give one and two entries per DIMM. Reserved bytes and the
// rest of the buffer are zero.
TEST(ChipSelect, EntriesInWalkOrder) {
  struct Case {
    uint64_t ranks;
    std::vector<Cs> expected;
  } cases[] = {
      {2, {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 1}, {0, 1, 0, 0, 0}, {0, 1, 0, 0, 1}}},
      {1, {{0, 0, 0, 0, 0}, {0, 1, 0, 0, 0}}},
      {4, {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 1}, {0, 1, 0, 0, 0}, {0, 1, 0, 0, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ranks);
    sim::Platform p(test::Scenario(Platform({{{2, 1, c.ranks}}})));
    EXPECT_EQ(p.Boot().entryStatus, EFI_SUCCESS);
    MemInfoRecord r{};
    EXPECT_EQ(Fields(Table(p, &r)), c.expected);
    EXPECT_EQ(r.ChipSelectEntries, TableBlock(p));
    const auto bytes = p.memory().ReadBytes(r.ChipSelectEntries, sizeof(ChipSelectTable));
    for (size_t i = 0; i < bytes.size(); ++i)
      if (i >= 16 * c.expected.size() || i % 16 >= 13) EXPECT_EQ(bytes[i], 0) << "byte " << i;
  }
}

// A die without channels adds nothing but still has its entry looked up, so a
// missing entry stops the build; dies are walked socket by socket.
TEST(ChipSelect, DieWithoutChannelsStillLooksItsEntryUp) {
  {
    sim::Platform p(test::Scenario(Platform({{{0, 0, 0}, {1, 1, 1}}, {{1, 2, 1}}})));
    p.Boot();
    MemInfoRecord r{};
    EXPECT_EQ(Fields(Table(p, &r)), (std::vector<Cs>{{0, 0, 1, 0, 0}, {1, 0, 0, 0, 0}, {1, 0, 0, 1, 0}}));
    size_t infos = 0;
    for (const auto& c : p.firmware().Calls()) infos += c.service == "DieMemoryInfo";
    EXPECT_EQ(infos, 3u);
  }
  sim::Platform p(test::Scenario(Platform({{{0, 0, 0, "-"}, {1, 1, 1}}})));
  p.Boot();
  ExpectNoTable(p);
}

// Exactly 128 chip selects fit; one more returns EFI_BUFFER_TOO_SMALL and
// leaves the record without a table.
TEST(ChipSelect, RoomForExactly128) {
  std::vector<Die> eight(8, Die{2, 4, 2});  // 16 chip selects each
  {
    sim::Platform p(test::Scenario(Platform({eight})));
    p.Boot();
    MemInfoRecord r{};
    EXPECT_EQ(Table(p, &r).size(), 128u);
    EXPECT_EQ(r.ChipSelectCount, 128u);
  }
  sim::Platform p(test::Scenario(Platform({eight, {{1, 1, 1}}})));
  p.Boot();
  ExpectNoTable(p);
  EfiStatus status = 0;
  p.Run([&] { status = ChipSelectTableBuild(*mMemInfoRecord); });
  EXPECT_EQ(status, EFI_BUFFER_TOO_SMALL);
}

// Markers of 0xFF, counts beyond the entry's records, an entry shorter than the
// copy, a count query that answers anything but success (a warning too) and a
// missing protocol: no table, and nothing
// read outside the entry.
TEST(ChipSelect, StopsWithoutATable) {
  struct Case {
    const char* name;
    std::string scenario;
  } cases[] = {
      {"DIMM marker 0xFF in channel 1 after channel 0's entries", Platform({{{2, 2, 2, "[[0, 0, 1], [1, 0, 255]]"}}})},
      {"channel marker 0xFF", Platform({{{2, 1, 1, "[[0, 0], [255, 0]]"}}})},
      {"three channels", Platform({{{3, 1, 1}}})},
      {"five DIMMs", Platform({{{1, 5, 1}}})},
      {"a marker beyond the entry",
       "[[socket]]\n[[socket.die]]\nroot_bus = 0\nmemory_info = { channels = 1, dimms = 1, ranks = 1 }\n"
       "[drux]\n[[drux.entry]]\ngroup = 3\ntype = 1\ndata = [0, 0, 0, 0]\n"},
      {"count query fails", "[[socket]]\n[[socket.die]]\nroot_bus = 0\nmemory_info = { status = \"0x8000000000000007\" }\n"
                            "[drux]\n[[drux.entry]]\ngroup = 3\ntype = 1\nchannels = [[0, 0]]\n"},
      {"count query answers a warning",
       "[[socket]]\n[[socket.die]]\nroot_bus = 0\nmemory_info = { channels = 1, dimms = 1, ranks = 1, status = 1 }\n"
       "[drux]\n[[drux.entry]]\ngroup = 3\ntype = 1\nchannels = [[0, 0]]\n"},
      {"no channel information protocol", Platform({{{1, 1, 1}}}) + "[protocols]\nchannel_info = false\n"},
      {"no topology protocol", Platform({{{1, 1, 1}}}) + "[protocols]\nfabric_topology = false\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Platform p(test::Scenario(c.scenario));
    EXPECT_EQ(p.Boot().entryStatus, EFI_SUCCESS);
    ExpectNoTable(p);
    EXPECT_NE(TableBlock(p), 0u) << "the table stays allocated";
    const uint64_t entry = sim::kPlacedDataBase + sizeof(DruxBlockHeader);
    const uint32_t size = p.memory().Read<uint32_t>(entry + offsetof(DruxEntry, EntrySize));
    for (const auto& a : test::Accesses(p.hardware(), sim::AccessKind::Memory))
      if (a.address >= entry) EXPECT_LE(a.address + a.width, entry + size) << sim::HexText(a.address);
  }
}

// The platform's channel information protocol, without memory_info, counts
// what the registers enable: the default platform lists 43 chip selects, and
// its die 3 of socket 0 (one DIMM of one rank on channel 0) has one.
TEST(ChipSelect, DefaultPlatformCountsFromItsRegisters) {
  sim::Platform p(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml"));
  p.Boot();
  MemInfoRecord r{};
  const auto t = Fields(Table(p, &r));
  EXPECT_EQ(t.size(), 43u);
  EXPECT_EQ(std::count_if(t.begin(), t.end(), [](const Cs& c) { return c[0] == 0 && c[2] == 3; }), 1);
}
