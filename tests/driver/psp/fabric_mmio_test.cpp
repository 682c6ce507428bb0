// The fabric MMIO allocator and the PSP window's placement, on platforms whose
// fabric registers and MSRs the scenario sets.
#include <memory>

#include "diag/debug_settings.h"
#include "platform/firmware_services.h"
#include "platform/probes.h"
#include "tests/support/platform_fixture.h"
#include "psp/fabric_mmio.h"
#include "psp/flash.h"
#include "psp/psp_window.h"
#include "services/heap.h"

namespace {

using Codes = std::vector<uint32_t>;

// Sockets of `dies` dies each, root buses 0x20 apart, and the two tops of memory.
std::string Fabric(int sockets, int dies, uint64_t topMem = 0x80000000, uint64_t topMem2 = 0x880000000) {
  std::string t;
  for (int s = 0; s < sockets; ++s) {
    t += "[[socket]]\n";
    for (int d = 0; d < dies; ++d) t += "[[socket.die]]\nroot_bus = " + std::to_string(0x20 * (4 * s + d)) + "\n";
  }
  return t + "[msr]\n0xC001001A = " + std::to_string(topMem) + "\n0xC001001D = " + std::to_string(topMem2) + "\n";
}

struct Region {
  uint64_t base, size;
  bool operator==(const Region&) const = default;
};
Region Of(const MmioRegion& r) { return {r.Base, r.Size}; }

struct Answer {
  EfiStatus status;
  uint64_t base, length;
  uint8_t attribute;
};

class FabricMmio : public ::testing::Test {
 protected:
  // The platform, and the driver's start-up as far as the heap list.
  void Start(const std::string& toml) {
    p.reset();
    p = std::make_unique<sim::Platform>(test::Scenario(toml));
    p->Run([&] {
      FirmwareServicesStore(reinterpret_cast<EfiHandle>(p->firmware().ImageHandle()),
                            reinterpret_cast<EfiSystemTable*>(p->firmware().SystemTable()));
      HobListLocate();
      HeapListInit();
    });
  }
  Answer Map(uint64_t length, uint16_t target = FabricTargetSocketDie(0, 0), uint8_t attribute = 0x03) {
    Answer a = {0xEE, 0x5EED, length, attribute};
    p->Run([&] { a.status = FabricAddMmioMap(&a.base, &a.length, target, &a.attribute); });
    return a;
  }
  std::optional<FabricMmioState> State() {
    auto node = sim::FindHeapBuffer(sim::ReadHeapList(p->memory(), p->firmware()), kHeapHandleFabricMmioState);
    if (!node) return std::nullopt;
    FabricMmioState s;
    const auto bytes = p->memory().ReadBytes(node->node + sizeof(HeapBufferNode), sizeof s);
    std::memcpy(&s, bytes.data(), sizeof s);
    return s;
  }
  std::vector<sim::InternalWrite> WindowWrites() {
    std::vector<sim::InternalWrite> out;
    for (const auto& w : p->hardware().InternalWrites())
      if (w.bus == 0 && (w.index == PspWindowBaseLow::kAt || w.index == PspWindowBaseHigh::kAt)) out.push_back(w);
    return out;
  }
  // What the allocator printed (debug variant; nothing in the release one).
  std::string Printed() {
    const auto& t = p->hardware().devices().UartAt(0x3F8)->Transmitted();
    return std::string(t.begin(), t.end());
  }
  std::unique_ptr<sim::Platform> p;
};

// Another driver of the package asks through the boot's mmio_request events.
TEST_F(FabricMmio, AnotherDriversRequestsContinueTheSharedSplit) {
  p = std::make_unique<sim::Platform>(
      sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/mmio-requests.toml"));
  sim::BootResult r = p->Boot();
  ASSERT_EQ(r.mmioRequests.size(), 7u);
  const FabricMmioState s = *State();
  const struct {
    EfiStatus status;
    uint64_t base, length;
    uint8_t attribute;
  } expect[] = {
      {EFI_SUCCESS, s.AboveRegion[4].Base, 0x1000000, 0x43},  // socket 1, die 0: its bottom above 4 GiB
      {EFI_SUCCESS, s.BelowRegion[4].Base + s.BelowRegion[4].Size - 0x200000, 0x200000, 0x03},  // bus 0x90: (1, 0)
      {EFI_SUCCESS, 0xFEB00000 - 0x10000, 0x10000, 0x03},  // raised to 64 KiB, at the top of (0, 0)'s 11 MiB
      {EFI_SUCCESS, 0, 0, 0x00},                           // length 0: nothing written back
      {EFI_SUCCESS, 0, 0x100000, 0x83},                    // type 2: Base as the caller had it
      {EFI_SUCCESS, 0xFD000000, 0x100000, 0xC3},           // type 3 likewise
      {EFI_OUT_OF_RESOURCES, 0, 0xB00000 - 0x10000, 0x00},  // no room, and four dies leave no spare below
  };
  for (size_t i = 0; i < r.mmioRequests.size(); ++i) {
    const sim::MmioRequestRun& q = r.mmioRequests[i];
    EXPECT_TRUE(q.returned && q.status == expect[i].status) << i << ": " << sim::StatusName(q.status);
    EXPECT_EQ(q.base, expect[i].base) << i;
    EXPECT_EQ(q.length, expect[i].length) << i;
    EXPECT_EQ(q.attribute, expect[i].attribute) << i;
  }
  // Only the three ranges handed out were taken from the split.
  uint64_t used = 0;
  for (const MmioRegion& region : s.BelowRegion) used += region.UsedFromTop + region.UsedFromBottom;
  for (const MmioRegion& region : s.AboveRegion) used += region.UsedFromTop + region.UsedFromBottom;
  EXPECT_EQ(used, 0x1000000u + 0x200000 + 0x10000);
  EXPECT_EQ(s.BelowRegion[0].UsedFromTop, 0x10000u);

  // Resuming from S3, the driver asks the PSP and so places its window first:
  // the requester joins the published heap list and continues below the window.
  sim::Scenario platform = sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/s3-resume.toml");
  platform.events.push_back(sim::kEventMmioRequest);
  platform.mmioRequests.push_back({.length = 0x100000});
  p.reset();
  p = std::make_unique<sim::Platform>(platform);
  r = p->Boot();
  ASSERT_EQ(r.mmioRequests.size(), 1u);
  EXPECT_EQ(p->hardware().PspWindowBase(), 0xFEA00000u);
  EXPECT_EQ(r.mmioRequests[0].base, 0xFE900000u);
  size_t lists = 0;
  for (const auto& i : p->firmware().Interfaces()) lists += GuidEqual(i.protocol, HeapListProtocolGuid);
  EXPECT_EQ(lists, 1u);
}

TEST_F(FabricMmio, OneDieSplitsWithBothSparesAndSocketZeroDieZeroSpills) {
  Start(Fabric(1, 1));
  // Too big for everything: nothing changes, and the biggest space is the spare's.
  Answer a = Map(0x80000000);
  EXPECT_EQ(a.status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(a.base, 0u);
  EXPECT_EQ(a.length, 0x70000000u);
  EXPECT_EQ(a.attribute, 0x03);
  if (kDebugSettings.DebugPrintEnabled)
    EXPECT_NE(Printed().find("  No enough space, the biggest MMIO size is 0x70000000\r\n"), std::string::npos);
  const FabricMmioState s = *State();
  EXPECT_EQ(Of(s.BelowRegion[0]), (Region{0xFE000000, 0xB00000}));
  EXPECT_EQ(Of(s.BelowRegion[1]), (Region{0x80000000, 0x70000000}));
  EXPECT_EQ(s.BelowSparePresent, 1);
  EXPECT_EQ(s.BelowSpareSlot, 0x01);
  EXPECT_EQ((std::vector<uint8_t>(s.BelowEnabled, s.BelowEnabled + 8)), (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Of(s.AboveRegion[0]), (Region{0x10000000000, 0xFEFD00000000}));
  EXPECT_EQ(Of(s.AboveRegion[1]), (Region{0x880000000, 0xF480000000}));
  EXPECT_EQ(s.AboveSparePresent, 1);
  EXPECT_EQ(s.AboveSpareSlot, 0x01);

  // Small requests from the top of the 11 MiB region; 16 MiB ones from the spare's bottom.
  p->Run([] { PspBarInitEarlyV2(); });
  EXPECT_EQ(p->hardware().PspWindowBase(), 0xFEA00000u);
  EXPECT_EQ(WindowWrites().back().value, 0u);
  a = Map(0x100000);
  EXPECT_EQ(a.status, EFI_SUCCESS);
  EXPECT_EQ(a.base, 0xFE900000u);
  a = Map(0x1000000);
  EXPECT_EQ(a.base, 0x80000000u);
  EXPECT_EQ(State()->BelowRegion[1].UsedFromBottom, 0x1000000u);
  // Above 4 GiB likewise: small from the top of socket 0, die 0's region.
  a = Map(0x100000, FabricTargetSocketDie(0, 0), 0x40 | 0x0C | 0x30);
  EXPECT_EQ(a.base, 0xFFFD00000000u - 0x100000);
  EXPECT_EQ(a.attribute, 0x40 | 0x30 | 0x03) << "bits 1:0 set, 3:2 cleared, 5:4 kept";
}

TEST_F(FabricMmio, ManyDiesShareTheSpaceAndTheLastTakesTheRemainder) {
  Start(Fabric(2, 4));
  FabricMmioState s = *(Map(0), State());
  EXPECT_EQ(s.BelowSparePresent, 0);
  EXPECT_EQ(s.AboveSparePresent, 0);
  for (uint32_t slot = 1; slot < 8; ++slot)
    EXPECT_EQ(Of(s.BelowRegion[slot]), (Region{0x80000000 + (slot - 1) * 0x10000000ull, 0x10000000})) << slot;
  // The above space is cut in eight, with no gap, up to its top.
  for (uint32_t slot = 1; slot < 8; ++slot)
    EXPECT_EQ(s.AboveRegion[slot].Base, s.AboveRegion[slot - 1].Base + s.AboveRegion[slot - 1].Size) << slot;
  EXPECT_EQ(s.AboveRegion[7].Base + s.AboveRegion[7].Size, 0xFFFD00000000u);

  // One socket of four dies: three share, the last takes the remainder, the above spare goes to (1, 0).
  Start(Fabric(1, 4) + "[fabric]\nabove_top_select = [0, 0, 1]\n");
  s = *(Map(0), State());
  EXPECT_EQ(Of(s.BelowRegion[1]), (Region{0x80000000, 0x25000000}));
  EXPECT_EQ(Of(s.BelowRegion[2]), (Region{0xA5000000, 0x25000000}));
  EXPECT_EQ(Of(s.BelowRegion[3]), (Region{0xCA000000, 0x26000000}));
  EXPECT_EQ(s.AboveSpareSlot, 0x10);
  EXPECT_EQ(Of(s.AboveRegion[4]), (Region{0x880000000, 0xF480000000}));
  EXPECT_EQ(s.AboveRegion[3].Base + s.AboveRegion[3].Size, 0x7FD00000000u) << "one die's bit 0 picks the lower top";

  // Three dies above 1 TiB + 16 MiB: the space does not split evenly, and the
  // last die's region still ends at the top.
  Start(Fabric(1, 3, 0x80000000, 0x10001000000));
  s = *(Map(0), State());
  EXPECT_EQ(s.AboveRegion[0].Base, 0x10001000000u);
  for (uint32_t slot = 1; slot < 3; ++slot)
    EXPECT_EQ(s.AboveRegion[slot].Base, s.AboveRegion[slot - 1].Base + s.AboveRegion[slot - 1].Size) << slot;
  EXPECT_EQ(s.AboveRegion[2].Base + s.AboveRegion[2].Size, 0xFFFD00000000u);
}

TEST_F(FabricMmio, RequestsThatAllocateNothingOrAreRaised) {
  Start(Fabric(2, 4));
  // Length 0 still creates the state, but writes nothing back.
  EXPECT_FALSE(State().has_value());
  Answer a = Map(0);
  EXPECT_EQ(a.status, EFI_SUCCESS);
  EXPECT_EQ(a.base, 0x5EEDu);
  EXPECT_EQ(a.attribute, 0x03);
  ASSERT_TRUE(State().has_value());
  const FabricMmioState before = *State();

  // Types 2 and 3: success, Base untouched, nothing used; only type 3 reports
  // a range, made of the Base it was given.
  for (uint8_t type : {2, 3}) {
    const size_t printed = Printed().size();
    a = Map(0x100000, FabricTargetSocketDie(0, 0), uint8_t(type << 6 | 0x0C));
    EXPECT_EQ(a.status, EFI_SUCCESS);
    EXPECT_EQ(a.base, 0x5EEDu);
    EXPECT_EQ(a.attribute, uint8_t(type << 6 | 0x03));
    if (kDebugSettings.DebugPrintEnabled)
      EXPECT_EQ(Printed().find("  Successfully Allocate MMIO at 0x00000 ~ 0xFFFFF\r", printed) != std::string::npos,
                type == 3);
  }
  const FabricMmioState after = *State();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);

  // A small request is raised to 64 KiB.
  a = Map(0x8000);
  EXPECT_EQ(a.length, 0x10000u);
  EXPECT_EQ(a.base, 0xFEB00000u - 0x10000);

  // Socket 1, die 2 has its own region only.
  a = Map(0x20000000, FabricTargetSocketDie(1, 2));
  EXPECT_EQ(a.status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(a.length, 0x10000000u);
  EXPECT_EQ(a.base, 0u);
  // Die 1 of two, its own region used up, does not spill into the spare that
  // is free below: only socket 0, die 0 does.
  Start(Fabric(1, 2));
  EXPECT_EQ(Map(0x38000000, FabricTargetSocketDie(0, 1)).base, 0x80000000u);
  a = Map(0x1000000, FabricTargetSocketDie(0, 1));
  EXPECT_EQ(a.status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(a.length, 0u);
  EXPECT_EQ(Of(State()->BelowRegion[2]), (Region{0xB8000000, 0x38000000}));
  // So it is above 4 GiB, where six dies leave a spare in slot (0, 3).
  Start(Fabric(2, 3));
  a = Map(1ull << 46, FabricTargetSocketDie(1, 2), 0x40);
  EXPECT_EQ(a.status, EFI_OUT_OF_RESOURCES);
  const FabricMmioState s = *State();
  EXPECT_EQ(s.AboveSparePresent, 1);
  EXPECT_EQ(s.AboveSpareSlot, 0x03);
  EXPECT_EQ(a.length, s.AboveRegion[6].Size);
  EXPECT_EQ(a.base, 0u);
}

TEST_F(FabricMmio, BusTargetsFollowTheBusRangeMap) {
  Start(Fabric(2, 4));
  // By socket and die: socket 1, die 0 takes the bottom of its own region.
  Answer a = Map(0x1000000, FabricTargetSocketDie(1, 0));
  EXPECT_EQ(a.status, EFI_SUCCESS);
  EXPECT_EQ(a.base, State()->BelowRegion[4].Base);
  // Bus 0x85 lies in the same die's range (0x80 to 0x9F).
  a = Map(0x1000000, 0x85);
  EXPECT_EQ(a.status, EFI_SUCCESS);
  EXPECT_EQ(a.base, State()->BelowRegion[4].Base + 0x1000000);
  // Only valid ranges count: the one covering bus 0x30 lacks bit 1.
  Start(Fabric(1, 2) + "[fabric]\nbus_ranges = [0x1F000043, 0xFF200041]\n");
  a = Map(0x10000, 0x30);
  EXPECT_EQ(a.status, EFI_ABORTED);
  EXPECT_EQ(a.base, 0x5EEDu);
  EXPECT_EQ(Map(0x10000, 0x1F).status, EFI_SUCCESS);
  EXPECT_EQ(Map(0x10000, 0x00).status, EFI_SUCCESS) << "both ends of a range hold";
}

TEST_F(FabricMmio, NoDieOrNoSpaceBelowAbortsAndCreatesNothing) {
  for (const std::string& toml : {Fabric(1, 1) + "[fabric]\nsystem_config = 0x20\n",       // die-present bits 0
                                  Fabric(1, 1) + "[fabric]\nsystem_config = 0x0E\n",       // die 0 absent
                                  Fabric(1, 1, 0xF0000000), Fabric(1, 1, 0xFFFFFFFFF)}) {  // TopMem at or above the end
    Start(toml);
    const Answer a = Map(0x100000);
    EXPECT_EQ(a.status, EFI_ABORTED) << toml;
    EXPECT_EQ(a.base, 0x5EEDu);
    EXPECT_FALSE(State().has_value()) << toml;
  }
}

TEST_F(FabricMmio, TopMem2OutsideTheAboveSpaceDoesNotWrap) {
  // TopMem2 above the top the fabric selects: no above space, nothing handed out.
  Start(Fabric(1, 2, 0x80000000, 0x80000000000) + "[fabric]\nabove_top_select = [1]\n");
  Answer a = Map(0x100000, FabricTargetSocketDie(0, 1), 0x40);
  EXPECT_EQ(a.status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(a.length, 0u);
  EXPECT_EQ(State()->AboveRegion[1].Size, 0u);
  // No memory above 4 GiB: the above spare starts at 4 GiB, not at 0.
  Start(Fabric(1, 1, 0x80000000, 0));
  EXPECT_EQ((Map(0), Of(State()->AboveRegion[1])), (Region{0x100000000, 0xFD00000000 - 0x100000000}));
}

// A state another driver left under the handle is used as it is.
std::string EarlierState(const FabricMmioState& s, size_t size = sizeof(FabricMmioState)) {
  std::string t = "[earlier_driver]\n[[earlier_driver.buffer]]\nhandle = 0xA03D\ndata = [";
  const auto* b = reinterpret_cast<const uint8_t*>(&s);
  for (size_t i = 0; i < size; ++i) t += std::to_string(b[i]) + ",";
  return t + "]\n";
}

TEST_F(FabricMmio, AFoundStateIsContinuedAndDamageStaysInside) {
  FabricMmioState s{};
  s.BelowEnabled[0] = 1;
  s.BelowRegion[0] = {0xC0000000, 0x100000, 0x10000, 0};
  s.AboveRegion[0] = {0x20000000000, 0x1000, 0x2000, 0};  // used beyond its size: no room
  s.AboveSparePresent = 1;
  s.AboveSpareSlot = 0xFF;  // names no slot: taken as (1, 3)
  s.AboveRegion[7] = {0x30000000000, 0x100000, 0, 0};
  Start(Fabric(1, 1) + EarlierState(s));
  Answer a = Map(0x10000);
  EXPECT_EQ(a.base, 0xC0000000u + 0x100000 - 0x20000) << "continued, not split again";
  a = Map(0x10000, FabricTargetSocketDie(0, 0), 0x40);
  EXPECT_EQ(a.base, 0x30000000000u + 0x100000 - 0x10000);
  // Below-4 GiB ranges are refused for a die the state disables.
  EXPECT_EQ(Map(0x10000, FabricTargetSocketDie(0, 1)).status, EFI_ABORTED);
  // A buffer under the handle too small to be the state is not used.
  Start(Fabric(1, 1) + EarlierState(s, 100));
  EXPECT_EQ(Map(0x10000).status, EFI_ABORTED);
}

TEST_F(FabricMmio, PspWindowIsPlacedOnceOnTheBootProcessorOnly) {
  // Not the boot processor, or a base already there: nothing but the checks.
  for (const std::string& extra : {std::string("0x1B = 0xFEE00800\n"), std::string()}) {
    const std::string placed = extra.empty() ? "[psp]\nwindow_base = 0xFE800000\n" : "";
    sim::Platform q(test::Scenario(Fabric(1, 1) + extra + placed));
    q.Run([] { PspBarInitEarlyV2(); });
    const auto& log = q.hardware().Log();
    ASSERT_EQ(log.size(), extra.empty() ? 3u : 1u);
    EXPECT_EQ(log[0].kind, sim::AccessKind::Msr);
    EXPECT_EQ(log[0].address, 0x1Bu);
  }
  // Placed once: a second call allocates nothing more.
  Start(Fabric(1, 1));
  p->Run([] { PspBarInitEarlyV2(); PspBarInitEarlyV2(); });
  const auto writes = WindowWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].index, PspWindowBaseLow::kAt);
  EXPECT_EQ(writes[0].value, 0xFEA00101u);
  EXPECT_EQ(State()->BelowRegion[0].UsedFromTop, 0x100000u);
  // Flag bits without a base show no window: it is placed.
  Start(Fabric(1, 1));
  p->hardware().SetInternal(0, PspWindowBaseLow::kAt, 0x101);
  p->Run([] { PspBarInitEarlyV2(); });
  EXPECT_EQ(p->hardware().PspWindowBase(), 0xFEA00000u);
}

TEST_F(FabricMmio, AFailedPlacementTrapsAndLeavesTheWindowWithoutBase) {
  Start(Fabric(1, 1, 0xF0000000) + "[agent]\npresent = true\n");
  p->Run([] { PspBarInitEarlyV2(); });
  EXPECT_EQ(p->hardware().TrapCodes(), Codes{kTrapPspWindowAllocate});
  EXPECT_TRUE(WindowWrites().empty());
}

TEST_F(FabricMmio, TheRecoveryCheckPlacesTheWindowBeforeAskingThePsp) {
  Start(Fabric(1, 1) + "[psp]\nboot = \"recovery\"\n");
  bool recovery = false;
  p->Run([&] { recovery = PspRecoveryCheck(); });
  EXPECT_TRUE(recovery);
  EXPECT_TRUE(p->hardware().TrapCodes().empty());
  EXPECT_EQ(p->hardware().PspWindowBase(), 0xFEA00000u);
  const auto& log = p->hardware().Log();
  EXPECT_EQ(log.back().address, 0xFEA00000u + PspMailboxStatus::kAt);
}

}  // namespace
