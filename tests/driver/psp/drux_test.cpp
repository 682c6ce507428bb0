// The DRUX block access: where the block is read from, how the walk starts and
// ends, the instance lookup, the guards against a broken block, and the
// start-up check with its messages.
#include <gtest/gtest.h>

#include <fstream>

#include "diag/debug_settings.h"
#include "platform/hw.h"
#include "tests/support/platform_fixture.h"
#include "psp/drux.h"
#include "sim/images/drux_block.h"

namespace {

using Codes = std::vector<uint32_t>;

// One die on root bus 0, a processor the flash serves, a PSP that booted
// normally, and an agent that lets a fatal trap return.
const std::string kPlatform =
    "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[agent]\npresent = true\n"
    "[cpuid]\n0x80000001 = [0x00800F00, 0, 0, 0]\n[psp]\nwindow_base = 0xFEA00000\nboot = \"normal\"\n";

std::string TomlBytes(const std::vector<uint8_t>& bytes) {
  std::string t = "[";
  for (size_t i = 0; i < bytes.size(); ++i) t += (i ? ", " : "") + std::to_string(bytes[i]);
  return t + "]";
}

// A flash whose BIOS directory holds the given entries.
std::string Flash(const std::string& entries) {
  return "[flash]\nsize = 0x100000\n[flash.entry_table]\npsp = \"psp\"\nbios = \"bios\"\n"
         "[[flash.directory]]\nname = \"psp\"\nkind = \"psp\"\n"
         "[[flash.directory]]\nname = \"bios\"\nkind = \"bios\"\nentries = [" + entries + "]\n";
}

std::string Entry(uint32_t group, uint32_t type, uint32_t instance, const std::string& more = "") {
  return "[[drux.entry]]\ngroup = " + std::to_string(group) + "\ntype = " + std::to_string(type) +
         "\ninstance = " + std::to_string(instance) + "\n" + more;
}

struct Lookup {
  EfiStatus status = 0;
  uint32_t count = 0;
  std::vector<uint64_t> entries;  // addresses
  size_t logFrom = 0;             // the first access of the lookup
};

// Boots, then lists the entries of the group and type as the driver does.
Lookup List(sim::Platform& p, uint32_t group, uint32_t type) {
  p.Boot();
  Lookup l;
  l.logFrom = p.hardware().Log().size();
  DruxEntry* list[kDruxEntryListLength + 1];
  list[kDruxEntryListLength] = reinterpret_cast<DruxEntry*>(0x5A5A);  // a write past the list would show here
  p.Run([&] { l.status = VyrPspGetDruxEntry(group, type, &l.count, list); });
  EXPECT_EQ(list[kDruxEntryListLength], reinterpret_cast<DruxEntry*>(0x5A5A)) << "written past the list";
  for (uint32_t i = 0; i < l.count && i < kDruxEntryListLength; ++i) l.entries.push_back(hw::PtrToPhys(list[i]));
  return l;
}

EfiStatus Instance(sim::Platform& p, uint32_t instance, uint64_t* at) {
  EfiStatus status = 0;
  DruxEntry* entry = reinterpret_cast<DruxEntry*>(1);
  p.Run([&] { status = VyrPspGetDruxEntryInstance(3, 1, instance, 0, &entry); });
  *at = hw::PtrToPhys(entry);
  return status;
}

std::string SerialText(sim::Platform& p) {
  const sim::Uart* uart = p.hardware().devices().UartAt(0x3F8);
  return std::string(uart->Transmitted().begin(), uart->Transmitted().end());
}

constexpr uint64_t kBlock = sim::kPlacedDataBase;

}  // namespace

// The first entry: offset 0x220 below version 5 whatever the fourth field holds,
// the header's offset from version 5 on. A block that ends exactly at its last
// entry's end is walked once through, each entry visited once.
TEST(Drux, WalkStartsByVersionAndEndsWithTheBlock) {
  struct Case {
    uint32_t version, offset, first;
  } cases[] = {{4, 0x40, 0x220}, {5, 0x40, 0x40}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    sim::Platform p(test::Scenario(kPlatform + "[drux]\nversion = " + std::to_string(c.version) + "\n" +
                                   (c.version >= 5 ? "entry_offset = " + std::to_string(c.offset) + "\n" : "") +
                                   Entry(3, 1, 0, "data = [1, 2, 3, 4]\n") + Entry(3, 2, 0) + Entry(4, 1, 0) +
                                   Entry(3, 1, 1)));
    if (c.version < 5) p.memory().Write<uint32_t>(kBlock + 12, c.offset);  // means nothing below version 5
    const Lookup l = List(p, 3, 1);
    EXPECT_EQ(l.status, EFI_SUCCESS);
    // Entries of 20, 16 and 16 bytes: the second match is the fourth entry.
    EXPECT_EQ(l.entries, (std::vector<uint64_t>{kBlock + c.first, kBlock + c.first + 52}));
    EXPECT_EQ(p.memory().Read<uint32_t>(kBlock + 8), c.first + 68) << "exact fit";
    std::vector<uint64_t> visited;  // reads of an entry's first field
    for (size_t i = l.logFrom; i < p.hardware().Log().size(); ++i)
      for (uint64_t at : {0, 20, 36, 52})
        if (p.hardware().Log()[i].address == kBlock + c.first + at) visited.push_back(at);
    EXPECT_EQ(visited, (std::vector<uint64_t>{0, 20, 36, 52})) << "each entry once, none after the last";
  }
}

// Instances 0x0000, 0x0001 and 0x0100 among entries of other types and groups.
TEST(Drux, InstanceLookupFindsTheOneEntry) {
  sim::Platform p(test::Scenario(kPlatform + "[drux]\n" + Entry(3, 1, 0) + Entry(3, 2, 0x100) + Entry(3, 1, 1) +
                                 Entry(1, 1, 0x100) + Entry(3, 1, 0x100)));
  p.Boot();
  const uint64_t first = kBlock + sizeof(DruxBlockHeader);
  uint64_t at = 0;
  EXPECT_EQ(Instance(p, 0x0100, &at), EFI_SUCCESS);
  EXPECT_EQ(at, first + 4 * sizeof(DruxEntry));
  EXPECT_EQ(Instance(p, 0x0000, &at), EFI_SUCCESS);
  EXPECT_EQ(at, first);
  EXPECT_EQ(Instance(p, 0x0001, &at), EFI_SUCCESS);
  EXPECT_EQ(at, first + 2 * sizeof(DruxEntry));
  const size_t before = SerialText(p).size();
  EXPECT_EQ(Instance(p, 0x0002, &at), EFI_NOT_FOUND);
  EXPECT_EQ(at, 0u);
  EXPECT_EQ(SerialText(p).find("No entry found", before), std::string::npos);
  EXPECT_TRUE(p.hardware().TrapCodes().empty());
}

TEST(Drux, DuplicatedInstanceTraps) {
  sim::Platform p(test::Scenario(kPlatform + "[drux]\n" + Entry(3, 1, 5) + Entry(3, 1, 1) + Entry(3, 1, 5)));
  p.Boot();
  uint64_t at = 0;
  EXPECT_EQ(Instance(p, 5, &at), EFI_UNSUPPORTED);
  EXPECT_EQ(at, 0u);
  EXPECT_EQ(p.hardware().TrapCodes(), Codes{kTrapDruxInstanceDuplicate});
}

// An S3 resume or a pending capsule reads the flash copy (entry 0x63), even with
// the information HOB present; without entry 0x63 there is nothing. A HOB that
// says the block is unusable keeps the walk off it.
TEST(Drux, BlockSourceFollowsTheBootPath) {
  sim::DruxBlockDesc copy;
  copy.entries.push_back({3, 1, 7, {}, {}});
  const std::string flashCopy = Flash("{ type = 0x63, data = " + TomlBytes(sim::BuildDruxBlock(copy)) + " }");
  const std::string memory = "[drux]\n" + Entry(3, 1, 0);
  copy.size = 0x10000000;  // from the flash's top megabyte past 4 GiB
  const std::string longCopy = Flash("{ type = 0x63, data = " + TomlBytes(sim::BuildDruxBlock(copy)) + " }");
  copy.size = 0x1000;  // the flash's last 4 KiB, up to 4 GiB exactly
  const std::string lastCopy =
      Flash("{ type = 0x63, source = 0xFFFFF000, data = " + TomlBytes(sim::BuildDruxBlock(copy)) + " }");
  struct Case {
    const char* name;
    std::string more;
    EfiStatus status;
    uint32_t instance;  // of the entry found
  } cases[] = {
      {"normal boot: memory", memory + flashCopy, EFI_SUCCESS, 0},
      {"S3 resume: the copy", memory + flashCopy + "[platform]\nsleep_type = 3\n", EFI_SUCCESS, 7},
      {"capsule pending: the copy", memory + flashCopy + "[firmware]\ncapsule_pending = true\n", EFI_SUCCESS, 7},
      {"S3 resume, no copy", memory + Flash("") + "[platform]\nsleep_type = 3\n", EFI_NOT_FOUND, 0},
      {"S3 resume, a copy whose size leaves the flash", memory + longCopy + "[platform]\nsleep_type = 3\n",
       EFI_NOT_FOUND, 0},
      {"S3 resume, a copy that ends at 4 GiB", memory + lastCopy + "[platform]\nsleep_type = 3\n", EFI_SUCCESS, 7},
      {"no HOB", "", EFI_UNSUPPORTED, 0},
      {"Supported 0", "[drux]\nsupported = 0\n" + Entry(3, 1, 0), EFI_UNSUPPORTED, 0},
      {"a HOB too short for its data",
       "[drux]\nhob = false\n" + Entry(3, 1, 0) +
           "[[hob]]\nguid = \"30B174F3-7712-4CCA-BD13-D0B8A8801997\"\ndata = [1, 0, 0, 0, 0, 0, 0, 0]\n",
       EFI_UNSUPPORTED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Platform p(test::Scenario(kPlatform + c.more));
    const Lookup l = List(p, 3, 1);
    EXPECT_EQ(l.status, c.status);
    if (c.status == EFI_SUCCESS) {
      ASSERT_EQ(l.entries.size(), 1u);
      EXPECT_EQ(p.hardware().MemRead(l.entries[0] + offsetof(DruxEntry, Instance), 4), c.instance);
    } else {
      EXPECT_TRUE(l.entries.empty());
      EXPECT_TRUE(test::Accesses(p.hardware(), sim::AccessKind::Memory).empty()) << "the block is not touched";
    }
  }
}

// A broken block is walked no further than its own bytes: an empty or erased
// size gives no entries, an entry of size 0 (or smaller than its header) or
// one that runs past the end stops the walk unlisted, and a first entry beyond
// the end gives none.
TEST(Drux, BrokenBlocksStayInsideTheirBytes) {
  struct Case {
    const char* name;
    std::string drux;
    uint32_t listed;
  } cases[] = {
      {"size 0", "size = 0\n" + Entry(3, 1, 0), 0},
      {"size erased", "size = 0xFFFFFFFF\n" + Entry(3, 1, 0), 0},
      {"entry size 0", Entry(3, 1, 0) + Entry(3, 1, 1, "size = 0\n") + Entry(3, 1, 2), 1},
      {"entry size 15", Entry(3, 1, 0) + Entry(3, 1, 1, "size = 15\n"), 1},
      {"entry past the end", Entry(3, 1, 0) + Entry(3, 1, 1, "size = 17\n"), 1},
      {"first entry past the end", "entry_offset = 0x1000\nsize = 0x20\n" + Entry(3, 1, 0), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Platform p(test::Scenario(kPlatform + "[drux]\n" + c.drux));
    const Lookup l = List(p, 3, 1);
    EXPECT_EQ(l.count, c.listed);
    EXPECT_EQ(l.status, c.listed ? EFI_SUCCESS : EFI_NOT_FOUND);
    const uint32_t size = p.memory().Read<uint32_t>(kBlock + 8);
    const uint64_t end = size == 0 || size == kDruxSizeErased ? kBlock + 16 : kBlock + size;
    for (const auto& a : test::Accesses(p.hardware(), sim::AccessKind::Memory))
      EXPECT_TRUE(a.address >= kBlock && a.address + a.width <= end) << sim::HexText(a.address);
  }
}

// More matches than the list holds: the first 256 are listed and nothing is
// written past the list; the instance lookup does not answer from a partial list.
TEST(Drux, MoreMatchesThanTheListHolds) {
  std::string drux = "[drux]\n";
  for (uint32_t i = 0; i <= kDruxEntryListLength; ++i) drux += Entry(3, 1, i);
  sim::Platform p(test::Scenario(kPlatform + drux));
  const Lookup l = List(p, 3, 1);
  EXPECT_EQ(l.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(l.count, kDruxEntryListLength);
  EXPECT_EQ(l.entries.back(), kBlock + 16 + 16 * (kDruxEntryListLength - 1));
  uint64_t at = 0;
  EXPECT_EQ(Instance(p, 0, &at), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(at, 0u);
}

// The start-up check of the block entry 0x61 names, run because no information
// HOB exists: each way it ends, its trap codes and (debug variant) its messages.
TEST(Drux, StartupCheckPaths) {
  const std::string hobless = "[drux]\nhob = false\n";
  const std::string block = Flash("{ type = 0x61, drux = true }");
  struct Case {
    const char* name;
    std::string more;
    Codes traps;
    const char* last;  // the last message
  } cases[] = {
      {"no entry 0x61", hobless + Flash(""), {}, "DRUX Entry not found\r"},
      {"bad signature", "[drux]\nhob = false\nsignature = 0x58555245\n" + block, {},
       "DRUX SIG Check fail, DRUX is not supported\r"},
      {"size 0", "[drux]\nhob = false\nsize = 0\n" + block, {kTrapDruxSizeZero}, "DRUX Size Check fail\r"},
      {"size erased", "[drux]\nhob = false\nsize = 0xFFFFFFFF\n" + block, {kTrapDruxSizeErased},
       "DRUX Size Check fail\r"},
      {"size 0x1000", "[drux]\nhob = false\nsize = 0x1000\n" + block, {}, "DRUX HOB Build fail\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Platform p(test::Scenario(kPlatform + c.more));
    EXPECT_EQ(p.Boot().entryStatus, EFI_SUCCESS);
    // The chip-select build's lookups come after and find no HOB: no trap of theirs.
    EXPECT_EQ(p.hardware().TrapCodes(), c.traps);
    if (kDebugSettings.DebugPrintEnabled == 0) continue;
    const std::string text = SerialText(p);
    const size_t init = text.find("Init DRUX HOB Info struct\r");
    ASSERT_NE(init, std::string::npos) << text;
    const size_t end = text.find("VyrPspGetDruxEntryInstance", init);
    const std::string step = text.substr(init, end - init);
    const bool found = std::string(c.name) != "no entry 0x61";
    EXPECT_EQ(step.find("DRUX Addr 43000000\r") != std::string::npos, found) << step;
    EXPECT_NE(step.find(c.last), std::string::npos) << step;
    // Nothing but the address and the last message after the start.
    for (const char* other : {"DRUX Entry not found", "SIG Check fail", "Size Check fail", "HOB Build fail"})
      if (std::string(c.last).find(other) == std::string::npos) EXPECT_EQ(step.find(other), std::string::npos) << step;
  }
}

// Bytes captured from a board, replayed from a file at a physical address in
// DRAM and at one outside it: the walk reads them there, byte for byte.
TEST(Drux, CapturedBlockReplayedFromAFile) {
  sim::DruxBlockDesc capture;
  capture.entries.push_back({3, 1, 0x0100, {}, {1, 2, 3}});
  const std::vector<uint8_t> bytes = sim::BuildDruxBlock(capture);
  const std::string dir = testing::TempDir();
  std::ofstream(dir + "drux-capture.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  for (uint64_t address : {kBlock + 0x100000, uint64_t(0x60000000)}) {
    SCOPED_TRACE(sim::HexText(address));
    const std::string at = std::to_string(address);
    sim::Platform p(sim::ParseScenario(kPlatform + "[drux]\nmemory = false\naddress = " + at + "\n[[memory]]\naddress = " +
                                           at + "\nfile = \"drux-capture.bin\"\n",
                                       dir + "replay.toml"));
    p.Boot();
    uint64_t entry = 0;
    EXPECT_EQ(Instance(p, 0x0100, &entry), EFI_SUCCESS);
    EXPECT_EQ(entry, address + sizeof(DruxBlockHeader));
    EXPECT_EQ(p.hardware().MemRead(entry + sizeof(DruxEntry) + 2, 1), 3u);
  }
}
