// What each step of a boot costs in hardware accesses, pinned to what the
// driver's design implies, so that one access more or less fails here naming the
// step and the kind.
#include <map>
#include <utility>

#include "diag/debug_settings.h"
#include "tests/support/platform_fixture.h"
#include "sim/report/report.h"

namespace {

using sim::AccessKind;
using sim::BootStep;

struct Cost {
  uint64_t count;
  const char* why;
};
using Costs = std::map<std::pair<BootStep, AccessKind>, Cost>;

// With debug print on, every printed line adds serial-port and mailbox (DR2)
// accesses; those two kinds are then not the design's cost and are not held.
bool PrintCosts(AccessKind k) {
  return kDebugSettings.DebugPrintEnabled && (k == AccessKind::Port || k == AccessKind::DebugRegister);
}

// Every (step, kind) not listed must be 0.
void ExpectCosts(const sim::Platform& p, const Costs& expected) {
  uint64_t total = 0;
  for (int s = 0; s < sim::kBootStepCount; ++s) {
    for (int k = 0; k < sim::kAccessKindCount; ++k) {
      const auto key = std::make_pair(BootStep(s), AccessKind(k));
      if (PrintCosts(AccessKind(k))) {
        total += p.hardware().StepCounts(BootStep(s))[size_t(k)];
        continue;
      }
      const auto it = expected.find(key);
      const uint64_t want = it == expected.end() ? 0 : it->second.count;
      const uint64_t got = p.hardware().StepCounts(BootStep(s))[size_t(k)];
      total += got;
      EXPECT_EQ(got, want) << "step " << sim::BootStepName(BootStep(s)) << ", kind " << sim::AccessKindName(AccessKind(k))
                           << ": " << got << " accesses, the design makes " << want
                           << (it == expected.end() ? " (none of this kind in this step)" : std::string(": ") + it->second.why);
    }
  }
  EXPECT_EQ(total, p.hardware().TotalAccesses()) << "every access belongs to one step";
}

TEST(BootSteps, DefaultPlatformCostsWhatTheDesignImplies) {
  sim::Platform p(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml"));
  ASSERT_EQ(p.Boot().entryStatus, EFI_SUCCESS);
  constexpr uint64_t kFabricDevices = 8;  // devices 0x18 to 0x1F all answer
  constexpr uint64_t kChannels = 2 * 8;   // the snapshot walks both channels of each of the 8 dies
  constexpr uint64_t kChannelRegisters = 34;
  constexpr uint64_t kDies = 8;
  constexpr uint64_t kDruxReadsPerWalk = 115;  // the default block's header and entries, as its DRUX report lists
  ExpectCosts(p, {
      {{BootStep::Startup, AccessKind::DebugRegister},
       {2, "the mailbox channel's set-up reads DR2 to see whether it is enabled, and again in its Init"}},
      {{BootStep::Startup, AccessKind::Cpuid}, {1, "the processor signature the DRUX step's first guard compares"}},
      {{BootStep::Startup, AccessKind::Port},
       {5, "the sleep type: PM registers 0x62 and 0x63 (an index write and a data read each), then the PM1 control register"}},
      {{BootStep::Startup, AccessKind::Msr}, {1, "the S3 library's check of MSR 0xC0010058 bit 0"}},
      {{BootStep::Record, AccessKind::Mmio}, {1, "the SMI command port register"}},
      {{BootStep::ChipSelectTable, AccessKind::Port},
       {kDies * 5, "per die's DRUX look-up, the sleep type: two PM index/data pairs and the PM1 control register"}},
      {{BootStep::ChipSelectTable, AccessKind::Memory},
       {kDies * kDruxReadsPerWalk, "per die, one walk of the DRUX block in memory"}},
      {{BootStep::Snapshot, AccessKind::Mmio},
       {kChannels * kChannelRegisters * 2,
        "per channel, 34 registers read once each through the root's window: an index write and a data read"}},
      {{BootStep::ReadyToBoot, AccessKind::Mmio},
       {4 * kFabricDevices, "per answering fabric device: vendor, root bus number, index write, data write"}},
  });
}

TEST(BootSteps, EachReadyToBootSignalCountsOnceMoreAndAbsentDevicesCostOneRead) {
  // Two of eight devices answer; ReadyToBoot is signalled twice.
  sim::Platform p(test::Scenario(test::Dies({0x00, 0x40}) + "[boot]\nevents = [\"ready_to_boot\", \"ready_to_boot\"]\n"));
  p.Boot();
  EXPECT_EQ(p.hardware().StepCounts(BootStep::ReadyToBoot)[size_t(AccessKind::Mmio)], 2 * (2 * 4 + 6 * 1));
  EXPECT_EQ(p.hardware().StepCounts(BootStep::Other)[size_t(AccessKind::Mmio)], 0u);
}

TEST(BootSteps, ReportShowsEveryStepInTextAndJson) {
  sim::Platform p(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml"));
  const sim::BootResult r = p.Boot();
  const auto steps = sim::JsonReport(p, r)["accesses"]["steps"];
  EXPECT_EQ(steps.size(), size_t(sim::kBootStepCount));
  EXPECT_EQ(steps["ready_to_boot"]["counts"]["mmio"], 32);
  EXPECT_EQ(steps["record"]["total"], 1);
  if (kDebugSettings.DebugPrintEnabled) return;  // the text's totals include what was printed
  const std::string text = sim::TextReport(p, r);
  EXPECT_NE(text.find("Hardware accesses by step\n  Step               port  memory  mmio  msr  cpuid  debug_register  total\n"
                      "  startup               5       0     0    1      1               2      9\n"),
            std::string::npos)
      << text;
}

}  // namespace
