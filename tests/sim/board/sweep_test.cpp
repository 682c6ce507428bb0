// Several drivers of the package in one boot, the fault sweep, and what each
// bundled scenario is there to show.
#include <gtest/gtest.h>

#include "core/meminfo.h"
#include "services/heap.h"
#include "sim/board/platform.h"
#include "sim/report/report.h"
#include "sim/board/sweep.h"
#include "tests/support/platform_fixture.h"
#include "tests/support/pool_guard.h"

namespace {

sim::Scenario Bundled(const std::string& name) {
  return sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/" + name + ".toml");
}

size_t Installed(const sim::Platform& p, const Guid& protocol) {
  size_t n = 0;
  for (const auto& i : p.firmware().Interfaces()) n += GuidEqual(i.protocol, protocol);
  return n;
}

TEST(TwoDrivers, TheSecondJoinsTheSharedStateAndTheTableClosesOnce) {
  size_t singleWrites = 0;
  {
    sim::Platform one(Bundled("default"));
    singleWrites = one.Boot().signals.back().writes.size();
  }
  sim::Platform p(Bundled("two-drivers"));
  const sim::BootResult r = p.Boot();
  ASSERT_EQ(r.drivers.size(), 2u);
  EXPECT_NE(r.drivers[0].imageHandle, r.drivers[1].imageHandle);
  for (const auto& d : r.drivers) EXPECT_TRUE(d.returned && d.status == 0) << d.image;
  // Each publishes its record on its own handle; the heap list is published once.
  EXPECT_EQ(Installed(p, MemInfoProtocolGuid), 2u);
  EXPECT_EQ(Installed(p, HeapListProtocolGuid), 1u);
  // The second creates only its ReadyToBoot programming event, no S3 event.
  for (const auto& e : p.firmware().Events())
    if (e.image == 1) EXPECT_EQ(e.tpl, uint64_t(TPL_NOTIFY));
  EXPECT_EQ(p.firmware().SmmMessages().size(), 1u) << "the table is handed over once";
  // Both program every root at ReadyToBoot.
  EXPECT_EQ(r.signals.back().writes.size(), 2 * singleWrites);
}

TEST(FaultSweep, PassesOnTheDefaultAndTheTwoDriverScenarios) {
  for (const char* name : {"default", "two-drivers"}) {
    const sim::SweepResult r = sim::RunSweep(Bundled(name));
    EXPECT_TRUE(r.Passed()) << sim::SweepText(r);
    std::set<std::string> kinds;
    for (const auto& point : r.points) kinds.insert(point.kind);
    EXPECT_EQ(kinds.size(), 5u) << name << ": every kind of failure point is met";
  }
}

TEST(FaultSweep, CatchesAWriteOutsideAPoolBlockAndAnUnloadedDriversEvent) {
  sim::Platform p(test::Scenario(""));
  sim::Firmware& fw = p.firmware();
  uint64_t block = 0;
  ASSERT_EQ(fw.AllocatePool(EfiBootServicesData, 24, &block), 0u);
  p.memory().Write<uint8_t>(block + 24, 0);
  p.memory().Write<uint8_t>(block - 1, 0);
  fw.CheckPool();
  ASSERT_EQ(fw.PoolFaults().size(), 1u);
  EXPECT_EQ(fw.PoolFaults()[0].kind, sim::PoolFault::Overrun);
  EXPECT_EQ(int64_t(fw.PoolFaults()[0].offset), -1);
  EXPECT_EQ(fw.PoolFaults()[0].bytes, 2u);
  fw.ClearPoolFaults();

  // An event of a driver whose entry failed stays open: caught, and never run.
  const unsigned image = fw.LoadImage();
  fw.EnterImage(image);
  uint64_t event = 0;
  ASSERT_EQ(fw.CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, 0x1234, 0, nullptr, &event), 0u);
  fw.EnterImage(0);
  fw.UnloadImage(image);
  EXPECT_EQ(fw.StaleEvents().size(), 1u);
  fw.SignalEvent(event);
  EXPECT_EQ(fw.StaleNotifies(), 1u);
}

// What each bundled scenario is there to show.
TEST(BundledScenarios, ShowWhatTheyAreFor) {
  auto boot = [](const std::string& name) {
    sim::Platform p(Bundled(name));
    const sim::BootResult r = p.Boot();
    return std::pair{r, sim::JsonReport(p, r)};
  };
  {
    auto [r, j] = boot("single-die");
    EXPECT_EQ(r.entryStatus, 0u);
    EXPECT_EQ(r.signals.back().writes.size(), 1u) << "one root";
  }
  {
    auto [r, j] = boot("s3-resume");
    EXPECT_EQ(r.entryStatus, 0u);
    EXPECT_GT(j["drux"]["directory_checks"].get<int>(), 0) << "the block is sought through the flash";
  }
  {
    auto [r, j] = boot("capsule-pending");
    EXPECT_EQ(r.entryStatus, 0u);
    EXPECT_GT(j["drux"]["directory_checks"].get<int>(), 0) << "the block is sought through the flash";
  }
  {
    auto [r, j] = boot("psp-recovery");
    ASSERT_FALSE(j["drux"]["entries_returned"].empty());
    for (const auto& e : j["drux"]["entries_returned"])
      EXPECT_LT(e["entry"].get<uint64_t>(), 0xFF023000u) << "level 1 only";
  }
  {
    auto [r, j] = boot("corrupt-bios-directory");
    EXPECT_EQ(r.entryStatus, 0u) << "the agent takes the traps over and the boot goes on";
    EXPECT_EQ(j["traps"]["queries"][0]["code"], 0x20300267u);
    EXPECT_TRUE(j["drux"]["entries_returned"].empty());
  }
  {
    sim::Platform p(Bundled("install-failure"));
    const sim::BootResult r = p.Boot();
    EXPECT_EQ(r.entryStatus, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(Installed(p, MemInfoProtocolGuid), 0u);
    EXPECT_EQ(p.firmware().OpenEventCount(), 0u) << "the tear-down closed the S3 events";
    EXPECT_TRUE(p.firmware().SmmMessages().empty());
    EXPECT_TRUE(r.signals.back().writes.empty());
  }
}

}  // namespace
