// What the fuzz targets found, held: each case is a reproducer's essence.
#include <gtest/gtest.h>

#include "platform/probes.h"
#include "tests/support/platform_fixture.h"
#include "psp/drux.h"
#include "sim/images/drux_block.h"

namespace {

const std::string kPlatform =
    "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[agent]\npresent = true\n"
    "[cpuid]\n0x80000001 = [0x00800F00, 0, 0, 0]\n[psp]\nwindow_base = 0xFEA00000\nboot = \"normal\"\n";

// An information HOB naming a block whose header would run past the top of the
// address space: no entries, and nothing read at the bottom of memory.
TEST(FuzzFindings, DruxBlockAtTheTopOfTheAddressSpaceIsNone) {
  sim::Scenario s = test::Scenario(kPlatform);
  s.hobs.push_back({kDruxInfoHobGuid, sim::DruxInfoData(1, 16, 0xFFFFFFFFFFFFFFF8), {}});
  sim::Platform p(s);
  p.Boot();
  const size_t from = p.hardware().Log().size();
  uint32_t count = 1;
  DruxEntry* list[kDruxEntryListLength];
  EfiStatus status = 0;
  p.Run([&] { status = VyrPspGetDruxEntry(3, 1, &count, list); });
  EXPECT_EQ(status, EFI_NOT_FOUND);
  EXPECT_EQ(count, 0u);
  for (size_t i = from; i < p.hardware().Log().size(); ++i) {
    const sim::Access& a = p.hardware().Log()[i];
    if (a.kind == sim::AccessKind::Memory || a.kind == sim::AccessKind::Mmio) EXPECT_GE(a.address, 0x1000u);
  }
}

}  // namespace
