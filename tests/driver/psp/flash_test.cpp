// The boot-flash directory lookup and the PSP recovery check, on flash images the
// platform builds from scenario text.
#include <random>

#include "tests/support/platform_fixture.h"
#include "psp/flash.h"

namespace {

using Codes = std::vector<uint32_t>;

const std::string kBase = "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[agent]\npresent = true\n";
constexpr uint64_t kWindow = 0xFEA00000;

std::string Cpu(uint32_t eax) { return "[cpuid]\n0x80000001 = [" + std::to_string(eax) + ", 0, 0, 0]\n"; }
std::string Psp(const std::string& answer = "boot = \"normal\"") {
  return "[psp]\nwindow_base = " + std::to_string(kWindow) + "\n" + answer + "\n";
}
std::string Dir(const std::string& name, const std::string& kind, const std::string& entries, const std::string& extra = "") {
  return "[[flash.directory]]\nname = \"" + name + "\"\nkind = \"" + kind + "\"\n" + extra + "entries = [" + entries + "]\n";
}
// A 1 MiB flash (0xFFF00000 up); its table sits at 0xFFF20000 unless `table` moves it.
std::string Head(const std::string& table = "psp = \"psp\"\nbios = \"bios\"\n") {
  return "[flash]\nsize = 0x100000\n[flash.entry_table]\n" + table;
}
const std::string kPspDir = Dir("psp", "psp", "{ type = 1, size = 0x10, source = 0xFFF80000 }");
// Level 1 holds 0x61, 0x63 and the level-2 entry; level 2 holds 0x61 only.
std::string Standard(const std::string& biosExtra = "", const std::string& l2Extra = "", const std::string& psp = kPspDir) {
  return Head() + psp +
         Dir("bios", "bios",
             "{ type = 0x61, size = 0x100, source = 0xFFF81000, destination = 0x1000 },"
             "{ type = 0x63, size = 0x100, source = 0xFFF82000 }, { type = 0x70, source = \"l2\" }",
             biosExtra) +
         Dir("l2", "bios_l2", "{ type = 0x61, flags = 0x12, size = 0x200, source = 0xFFF83000, destination = 0x2000 }",
             l2Extra);
}

struct Found {
  bool found = false;
  uint32_t typeWord = 0xEEEEEEEE, size = 0xEEEEEEEE;
  uint64_t source = 0xEEEEEEEE, destination = 0xEEEEEEEE;
};
Found Find(sim::Platform& p, uint8_t type) {
  Found f;
  p.Run([&] { f.found = BiosDirectoryEntryFind(type, &f.typeWord, &f.source, &f.size, &f.destination); });
  return f;
}

struct Located {
  bool ok = false;
  uint32_t psp = 0xEEEEEEEE, bios = 0xEEEEEEEE;
};
Located Locate(sim::Platform& p) {
  Located l;
  p.Run([&] { l.ok = FlashDirectoryLocate(&l.psp, &l.bios); });
  return l;
}

std::vector<uint64_t> MmioReads(const sim::Platform& p) {
  std::vector<uint64_t> out;
  for (const auto& a : p.hardware().Log())
    if (a.kind == sim::AccessKind::Mmio && !a.write) out.push_back(a.address);
  return out;
}
size_t StatusReads(const sim::Platform& p) {
  const auto reads = MmioReads(p);
  return size_t(std::count(reads.begin(), reads.end(), kWindow + PspMailboxStatus::kAt));
}
// The directory addresses the builder gives: 4 KiB steps above the table.
constexpr uint32_t kTable = 0xFFF20000, kPsp = kTable + 0x1000, kBios = kTable + 0x2000, kLevel2 = kTable + 0x3000;

// Exact sums reduced once at the end: the same value, computed another way.
uint32_t Fletcher32Reference(const std::vector<uint16_t>& words) {
  uint64_t sum1 = 0xFFFF, sum2 = 0xFFFF;
  for (uint16_t w : words) {
    sum1 += w;
    sum2 += sum1;
  }
  auto fold = [](uint64_t s) { return uint32_t((s - 1) % 0xFFFF + 1); };
  return (fold(sum2) << 16) | fold(sum1);
}

TEST(Fletcher32, AgreesWithTheSumsItStandsFor) {
  sim::Platform p(test::Scenario(""));
  const uint64_t at = p.memory().PoolAlloc(2 * 2000);
  std::mt19937 random(7);
  for (int fill : {0, 1, 2}) {
    for (size_t n : {0u, 1u, 2u, 358u, 359u, 360u, 718u, 719u, 2000u}) {
      std::vector<uint16_t> words(n);
      for (auto& w : words) w = fill == 0 ? 0xFFFF : fill == 1 ? 0 : uint16_t(random());
      p.memory().WriteBytes(at, words.data(), 2 * n);
      uint32_t sum = 0;
      p.Run([&] { sum = Fletcher32(at, n); });
      EXPECT_EQ(sum, Fletcher32Reference(words)) << n << " words, fill " << fill;
    }
  }
  uint32_t empty = 0;
  p.Run([&] { empty = Fletcher32(at, 0); });
  EXPECT_EQ(empty, 0xFFFFFFFFu);
  // Published values of the checksum (odd lengths padded with a zero byte).
  const std::pair<const char*, uint32_t> published[] = {
      {"abcde\0", 0xF04FC729}, {"abcdef", 0x56502D2A}, {"abcdefgh", 0xEBE19591}};
  for (const auto& [text, value] : published) {
    const size_t n = (std::strlen(text) + 1) / 2;
    p.memory().WriteBytes(at, text, 2 * n);
    uint32_t sum = 0;
    p.Run([&] { sum = Fletcher32(at, n); });
    EXPECT_EQ(sum, value) << text;
  }
}

TEST(FlashLocate, SearchesTheSixPositionsInOrderAndTheFirstWins) {
  {
    sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Psp() + Standard()));
    const Located l = Locate(p);
    EXPECT_TRUE(l.ok);
    EXPECT_EQ(l.psp, kPsp);
    EXPECT_EQ(l.bios, kBios);
    const auto reads = MmioReads(p);
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[0], 0xFFFA0000u) << "read, and passed over";
    EXPECT_EQ(reads[1], 0xFFF20000u);
    EXPECT_TRUE(p.hardware().TrapCodes().empty());
  }
  {
    // A table at 0xFFFA0000 wins over the (decoy) one at 0xFFF20000, whose BIOS pointer names nothing.
    const std::string decoy =
        Dir("decoy", "psp", "{ type = 2, source = 0xFFF20000, data = [0xAA, 0x55, 0xAA, 0x55,"
                            " 0,0,0,0, 0,0,0,0, 0,0,0,0, 0,0,0,0, 0,0,0,0, 0x78, 0x56, 0x34, 0x12] }");
    sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Psp() +
                                   Head("address = 0xFFFA0000\npsp = \"psp\"\nbios = \"bios\"\n") + kPspDir +
                                   Dir("bios", "bios", "") + decoy));
    const Located l = Locate(p);
    EXPECT_TRUE(l.ok);
    EXPECT_EQ(l.bios, 0xFFFA2000u);
    EXPECT_EQ(MmioReads(p).front(), 0xFFFA0000u);
  }
  // No table anywhere: FALSE after the six reads, in order, and no trap.
  sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Head("signature = 0x55AA55AB\n") + kPspDir));
  EXPECT_FALSE(Locate(p).ok);
  EXPECT_EQ(MmioReads(p), (std::vector<uint64_t>{0xFFFA0000, 0xFFF20000, 0xFFE20000, 0xFFC20000, 0xFF820000, 0xFF020000}));
  EXPECT_TRUE(p.hardware().TrapCodes().empty());
}

TEST(FlashLocate, TheProcessorPicksItsBiosDirectoryAndComboEntry) {
  // Two BIOS directories and a combo directory whose second entry serves the second processor kind.
  const std::string flash = Head("psp = \"combo\"\nbios = [\"bios-a\", \"bios-b\"]\n") +
                            Dir("combo", "combo", "{ id = 0xBC090000, psp = \"psp-a\" }, { id = 0xBC0A0000, psp = \"psp-b\" }") +
                            Dir("psp-a", "psp", "") + Dir("psp-b", "psp", "") + Dir("bios-a", "bios", "") +
                            Dir("bios-b", "bios", "");
  struct Case {
    uint32_t cpuid, psp, bios;
  } cases[] = {{0x00800F12, kTable + 0x2000, kTable + 0x4000}, {0x00810F00, kTable + 0x3000, kTable + 0x5000}};
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(kBase + Cpu(c.cpuid) + flash));
    const Located l = Locate(p);
    EXPECT_TRUE(l.ok) << std::hex << c.cpuid;
    EXPECT_EQ(l.psp, c.psp);
    EXPECT_EQ(l.bios, c.bios);
  }
  {
    // Neither signature: FALSE without touching the flash.
    sim::Platform p(test::Scenario(kBase + Cpu(0x0FF00F00) + flash));
    EXPECT_FALSE(Locate(p).ok);
    EXPECT_TRUE(MmioReads(p).empty());
  }
  // A combo directory without an entry for the processor stands as its PSP directory, and fails.
  sim::Platform p(test::Scenario(kBase + Cpu(0x00810F00) + Head("psp = \"combo\"\n") +
                                 Dir("combo", "combo", "{ id = 0xBC090000, psp = \"psp-a\" }") + Dir("psp-a", "psp", "") +
                                 Dir("bios", "bios", "")));
  const Located l = Locate(p);
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.psp, kTable + 0x1000) << "the combo directory's own address";
  EXPECT_EQ(p.hardware().TrapCodes(), Codes{kTrapPspDirectoryInvalid});
}

// Of two combo entries for the processor, or two BIOS entries of a type, the first wins.
TEST(FlashLocate, TheFirstMatchingEntryWins) {
  sim::Platform p(test::Scenario(
      kBase + Cpu(0x00800F12) + Head("psp = \"combo\"\n") +
      Dir("combo", "combo", "{ id = 0xBC090000, psp = \"psp-a\" }, { id = 0xBC090000, psp = \"psp-b\" }") +
      Dir("psp-a", "psp", "") + Dir("psp-b", "psp", "") +
      Dir("bios", "bios", "{ type = 0x63, source = 0xFFF81000 }, { type = 0x63, source = 0xFFF82000 }")));
  EXPECT_EQ(Locate(p).psp, kTable + 0x2000);
  EXPECT_EQ(Find(p, kBiosEntryDruxCopy).source, 0xFFF81000u);
}

TEST(FlashLocate, BadDirectoriesTrapPspFirstAndLookupsFail) {
  const std::string badPsp = Dir("psp", "psp", "{ type = 1 }", "corrupt = [\"checksum\"]\n");
  struct Case {
    std::string bios, psp;
    Codes traps;
  } cases[] = {
      {"", badPsp, {kTrapPspDirectoryInvalid}},
      {"corrupt = [\"magic\"]\n", kPspDir, {kTrapBiosDirectoryInvalid}},
      {"corrupt = [\"checksum\"]\n", badPsp, {kTrapPspDirectoryInvalid, kTrapBiosDirectoryInvalid}},
  };
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Psp() + Standard(c.bios, "", c.psp)));
    const Found f = Find(p, kBiosEntryDrux);
    EXPECT_FALSE(f.found);
    EXPECT_EQ(f.source, 0xEEEEEEEEu) << "outputs untouched";
    EXPECT_EQ(p.hardware().TrapCodes(), c.traps);
  }
  // An empty BIOS directory holds its checksum over the four header words; it has no entries.
  sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Head() + kPspDir + Dir("bios", "bios", "")));
  EXPECT_TRUE(Locate(p).ok);
  EXPECT_FALSE(Find(p, kBiosEntryDrux).found);
  EXPECT_TRUE(p.hardware().TrapCodes().empty());
}

TEST(FlashLookup, LevelTwoWinsUnlessItIsBadOrThePspIsInRecovery) {
  {
    sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Psp() + Standard()));
    const Found drux = Find(p, kBiosEntryDrux);
    EXPECT_TRUE(drux.found);
    EXPECT_EQ(drux.typeWord, 0x1261u) << "bits 31:8 come through as they are";
    EXPECT_EQ(drux.source, 0xFFF83000u);
    EXPECT_EQ(drux.size, 0x200u);
    EXPECT_EQ(drux.destination, 0x2000u);
    EXPECT_EQ(Find(p, kBiosEntryDruxCopy).source, 0xFFF82000u) << "missing from level 2: level 1's";
    const size_t asked = StatusReads(p);
    EXPECT_EQ(asked, 4u) << "two lookups, each waits once and reads once more";
    const Found level2 = Find(p, kBiosEntryLevel2);
    EXPECT_EQ(level2.source, kLevel2);
    EXPECT_EQ(StatusReads(p), asked) << "a lookup of 0x70 never asks the PSP";
    EXPECT_TRUE(p.hardware().TrapCodes().empty());
  }
  struct Case {
    const char* name;
    std::string toml;
  } level1[] = {
      {"PSP in recovery", kBase + Cpu(0x00800F12) + Psp("boot = \"recovery\"") + Standard()},
      {"PSP ready for the wait, in recovery for the final read",
       kBase + Cpu(0x00800F12) + Psp("status_sequence = [{ boot = \"normal\", reads = 1 }, { boot = \"recovery\" }]") +
           Standard()},
      {"level 2 checksum bad", kBase + Cpu(0x00800F12) + Psp() + Standard("", "corrupt = [\"checksum\"]\n")},
      {"level 2 magic bad", kBase + Cpu(0x00800F12) + Psp() + Standard("", "corrupt = [\"magic\"]\n")},
  };
  for (const Case& c : level1) {
    sim::Platform p(test::Scenario(c.toml));
    const Found f = Find(p, kBiosEntryDrux);
    EXPECT_TRUE(f.found) << c.name;
    EXPECT_EQ(f.source, 0xFFF81000u) << c.name;
    EXPECT_EQ(f.destination, 0x1000u) << c.name;
    EXPECT_EQ(StatusReads(p), 2u) << c.name << ": the PSP is asked whatever level 2 holds";
    EXPECT_TRUE(p.hardware().TrapCodes().empty()) << c.name;
  }
}

TEST(PspRecoveryCheck, AnswersFromBitsThirtyAndTwentyNine) {
  struct Case {
    std::string answer;
    bool recovery;
    size_t statusReads;
  } cases[] = {
      {"status = 0x60000000", false, 2}, {"status = 0x40000000", true, 2}, {"status = 0x20000000", false, 2},
      {"status = 0x40000000\nready_after = 3", true, 5},
      // A word that changes: the wait ends on the first read with either bit,
      // and the answer comes from the read after it.
      {"status_sequence = [{ status = 0, reads = 2 }, { boot = \"normal\", reads = 1 }, { boot = \"recovery\" }]", true, 4},
      {"status_sequence = [{ boot = \"recovery\", reads = 1 }, { status = 0x60000000 }]", false, 2},
  };
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(kBase + Psp(c.answer)));
    bool recovery = !c.recovery;
    p.Run([&] { recovery = PspRecoveryCheck(); });
    EXPECT_EQ(recovery, c.recovery) << c.answer;
    EXPECT_EQ(StatusReads(p), c.statusReads) << c.answer;
    // The window's base comes through root bus 0's index/data pair, after the
    // placement's own check (MSR 0x1B and the same pair) found it placed.
    const auto& log = p.hardware().Log();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[0].kind, sim::AccessKind::Msr);
    for (size_t i : {1, 3}) {
      EXPECT_TRUE(log[i].write && log[i].address == 0xF00000B8u && log[i].value == 0x13B102E0u);
      EXPECT_TRUE(!log[i + 1].write && log[i + 1].address == 0xF00000BCu);
    }
  }
}

TEST(PspRecoveryCheck, NoWindowOrNoAnswerMeansRecovery) {
  {
    // The PSP never sets either bit: the wait ends after its bound, spinning meanwhile.
    sim::Platform p(test::Scenario(kBase + Psp("boot = \"never_ready\"") + "[cpu]\ntsc_per_read = 1\npause_ticks = 100000000\n"));
    bool recovery = false;
    ASSERT_TRUE(p.Run([&] { recovery = PspRecoveryCheck(); }));
    EXPECT_TRUE(recovery);
    const size_t pauses = test::Accesses(p.hardware(), sim::AccessKind::Pause).size();
    // The first counter reading at least 2^32 ticks after the start ends it:
    // 43 rounds of one pause (10^8 ticks) and one reading (1 tick).
    EXPECT_EQ(pauses, 43u);
    EXPECT_EQ(kPspStatusWaitTicks, 1ull << 32);
    EXPECT_TRUE(p.hardware().TrapCodes().empty());
  }
  // No base in the window registers (and not the boot processor, so none is
  // placed): the unusable mailbox traps, and the answer keeps level 2 out.
  sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Standard() + "[msr]\n0x1B = 0\n"));
  bool recovery = false;
  p.Run([&] { recovery = PspRecoveryCheck(); });
  EXPECT_TRUE(recovery);
  EXPECT_EQ(p.hardware().TrapCodes(), Codes{kTrapPspMailboxUnusable});
  EXPECT_EQ(MmioReads(p).size(), 1u) << "only the window register";
  EXPECT_EQ(Find(p, kBiosEntryDrux).source, 0xFFF81000u) << "level 1 serves";
}

TEST(FlashLocate, CountsThatLeaveTheFlashWindowMakeADirectoryInvalid) {
  // Directories at the very top of the flash, whose counts carry them past 4 GiB.
  const std::string top = "address = 0xFFFFF000\ncount = 0x1000\n", huge = "address = 0xFFFFF000\ncount = 0xFFFFFFFF\n";
  struct Case {
    const char* name;
    std::string toml;
    Codes traps;
    uint64_t drux;  // 0: not found
  } cases[] = {
      {"BIOS directory", Standard(top), {kTrapBiosDirectoryInvalid}, 0},
      {"BIOS directory, count 2^32 - 1", Standard(huge), {kTrapBiosDirectoryInvalid}, 0},
      {"PSP directory", Standard("", "", Dir("psp", "psp", "", top)), {kTrapPspDirectoryInvalid}, 0},
      {"level-2 directory", Standard("", huge), {}, 0xFFF81000},
      {"combo directory", Head("psp = \"combo\"\n") + Dir("combo", "combo", "{ id = 0xBC090000, psp = \"psp\" }", huge) +
                              kPspDir + Dir("bios", "bios", ""),
       {kTrapPspDirectoryInvalid}, 0},
      // A pointer into the last bytes below 4 GiB: its magic would straddle 4 GiB.
      {"PSP pointer 0xFFFFFFFE", Head("psp = 0xFFFFFFFE\nbios = \"bios\"\n") + Dir("bios", "bios", ""),
       {kTrapPspDirectoryInvalid}, 0},
  };
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(kBase + Cpu(0x00800F12) + Psp() + c.toml));
    EXPECT_EQ(Find(p, kBiosEntryDrux).source, c.drux ? c.drux : 0xEEEEEEEEu) << c.name;
    EXPECT_EQ(p.hardware().TrapCodes(), c.traps) << c.name;
    for (const auto& a : p.hardware().Log())
      if (a.kind == sim::AccessKind::Mmio) EXPECT_LE(a.address + a.width, 1ull << 32) << c.name << ": read past 4 GiB";
  }
}

}  // namespace
