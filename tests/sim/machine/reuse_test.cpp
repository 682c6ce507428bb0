// What the platform keeps from one boot or image for the next, so that boots
// and builds again and again stay cheap, must never show through: a root's
// registers read right in any order, a flash image built into the bytes of
// one that went holds nothing of it, and a new platform's access log starts
// empty.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "sim/board/platform.h"
#include "sim/images/flash_image.h"
#include "sim/machine/hardware.h"
#include "sim/machine/memory.h"
#include "sim/report/report.h"

namespace {

constexpr uint64_t kConfig = 0xF0000000;

TEST(Reuse, RootRegistersReadRightInAnyOrder) {
  sim::Hardware hw(sim::PhysicalMemory::Instance());
  hw.AddRoot(3);
  std::map<uint32_t, uint32_t> set;
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {  // ascending, then scattered
    const uint32_t index = i < 150 ? uint32_t(i * 8) : uint32_t(random() % 4000);
    set[index] = uint32_t(random());
    hw.SetInternal(3, index, set[index]);
  }
  const uint64_t window = kConfig + (uint64_t{3} << 20);
  auto read = [&](uint32_t index) {
    hw.MemWrite(window + 0xB8, 4, index);
    return uint32_t(hw.MemRead(window + 0xBC, 4));
  };
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < 4100; ++i) order.push_back(i);  // up, down, then shuffled
  for (uint32_t i = 4100; i-- > 0;) order.push_back(i);
  std::vector<uint32_t> shuffled(order.begin(), order.begin() + 4100);
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  order.insert(order.end(), shuffled.begin(), shuffled.end());
  for (uint32_t index : order) {
    auto it = set.find(index);
    ASSERT_EQ(read(index), it == set.end() ? 0u : it->second) << "register " << index;
  }
}

TEST(Reuse, AFlashImageBuiltIntoAnotherOnesBytesHoldsNothingOfIt) {
  sim::FlashLayout big;
  big.size = 0x200000;
  big.erased = 0x00;
  sim::FlashDirectoryDesc bios;
  bios.name = "bios";
  sim::FlashEntryDesc entry;
  entry.type = 0x62;
  entry.data = std::vector<uint8_t>(0x3000, 0x5A);
  bios.entries = {entry};
  big.directories = {bios};
  { const sim::FlashImage first = sim::BuildFlashImage(big); }

  sim::FlashLayout small;
  small.size = 0x100000;
  const sim::FlashImage second = sim::BuildFlashImage(small);
  ASSERT_EQ(second.Size(), 0x100000u);
  EXPECT_EQ(second.base, sim::kFlashEnd - 0x100000);
  size_t table = 0x20000, erased = 0;
  for (size_t i = 0; i < second.bytes.size(); ++i)
    if (i < table || i >= table + 0x1000) erased += second.bytes[i] == 0xFF;
  EXPECT_EQ(erased, second.bytes.size() - 0x1000) << "everything but the entry table reads erased";
}

// A flash built again into one image: the same bytes as one built fresh, after
// a build that wrote elsewhere and more.
TEST(Reuse, AFlashBuiltAgainIntoOneImageHoldsWhatAFreshBuildHolds) {
  auto layout = [](size_t dataSize, std::optional<uint64_t> at) {
    sim::FlashLayout l;
    l.size = 0x100000;
    sim::FlashDirectoryDesc bios;
    bios.name = "bios";
    sim::FlashEntryDesc entry;
    entry.type = 0x62;
    entry.data = std::vector<uint8_t>(dataSize, uint8_t(dataSize));
    sim::FlashEntryDesc placed = entry;  // the second where the builder puts it
    if (at) entry.source = sim::FlashRef{"", *at};
    bios.entries = {entry, placed};
    l.directories = {bios};
    return l;
  };
  sim::FlashImage reused;
  sim::BuildFlashImageInto(layout(0x5000, 0xFFF80000), reused);
  sim::BuildFlashImageInto(layout(0x30, std::nullopt), reused);
  EXPECT_EQ(reused.bytes, sim::BuildFlashImage(layout(0x30, std::nullopt)).bytes);
  sim::FlashLayout bad = layout(0x30, 0x1000);  // outside the flash
  EXPECT_THROW(sim::BuildFlashImageInto(bad, reused), sim::FlashBuildError);
  sim::BuildFlashImageInto(layout(0x40, 0xFFF80000), reused);
  EXPECT_EQ(reused.bytes, sim::BuildFlashImage(layout(0x40, 0xFFF80000)).bytes);
}

// A platform built after another boot: the same report and the same accesses
// as the first platform of the process would give.
TEST(Reuse, APlatformAfterAnotherBootBootsAsAFreshOne) {
  const std::string dir = std::string(MEMINFO_SOURCE_DIR) + "/scenarios/";
  const sim::Scenario first = sim::LoadScenario(dir + "default.toml");
  const sim::Scenario other = sim::LoadScenario(dir + "oversized-topology.toml");
  auto boot = [](const sim::Scenario& s, std::vector<sim::Access>* log) {
    sim::Platform p(s);
    const std::string report = sim::JsonReport(p, p.Boot(), {}, true).dump();
    if (log) *log = p.hardware().Log();
    return report;
  };
  std::vector<sim::Access> freshLog, againLog;
  const std::string fresh = boot(first, &freshLog);
  boot(other, nullptr);
  const std::string again = boot(first, &againLog);
  EXPECT_EQ(fresh, again);
  ASSERT_EQ(freshLog.size(), againLog.size());
  for (size_t i = 0; i < freshLog.size(); ++i) {
    const sim::Access &a = freshLog[i], &b = againLog[i];
    ASSERT_TRUE(a.kind == b.kind && a.write == b.write && a.width == b.width && a.address == b.address &&
                a.value == b.value)
        << "access " << i;
  }
}

TEST(Reuse, ANewPlatformsLogStartsEmpty) {
  auto& memory = sim::PhysicalMemory::Instance();
  { sim::Hardware first(memory); first.PortIn(0x80, 1); first.Rdtsc(); }
  sim::Hardware second(memory);
  EXPECT_TRUE(second.Log().empty());
  EXPECT_EQ(second.TotalAccesses(), 0u);
  second.Pause();
  ASSERT_EQ(second.Log().size(), 1u);
  EXPECT_EQ(second.Log()[0].kind, sim::AccessKind::Pause);
}

}  // namespace
