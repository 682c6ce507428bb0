// ReadyToBoot: one internal register written on every answering fabric root.
#include "tests/support/platform_fixture.h"

namespace {

constexpr uint32_t kIndex = 0x13B20000;

std::string Overrides(bool lowOn, int low, bool highOn, int high) {
  return "[pcd]\n468 = " + std::string(lowOn ? "true" : "false") + "\n469 = " + std::to_string(low) +
         "\n470 = " + std::string(highOn ? "true" : "false") + "\n471 = " + std::to_string(high) + "\n";
}

const std::string kOneSignal = "[boot]\nevents = [\"ready_to_boot\"]\n";

TEST(ReadyToBoot, ValueFromTheOverrides) {
  struct Case {
    bool lowOn;
    int low;
    bool highOn;
    int high;
    uint32_t expected;
  } cases[] = {
      {false, 0x1234, false, 0x5678, 0x00010001},
      {true, 0x0005, false, 0x5678, 0x00010005},
      {true, 0x0020, true, 0x0010, 0x00100020},
      {false, 0x1234, true, 0x0000, 0x00000001},
      {true, 0x0000, false, 0x5678, 0x00010000},
      {true, 0xFFFF, true, 0xFFFF, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(test::Dies({0}) + Overrides(c.lowOn, c.low, c.highOn, c.high) + kOneSignal));
    sim::BootResult r = p.Boot();
    ASSERT_EQ(r.signals.size(), 1u);
    ASSERT_EQ(r.signals[0].writes.size(), 1u);
    EXPECT_EQ(r.signals[0].writes[0].index, kIndex);
    EXPECT_EQ(r.signals[0].writes[0].value, c.expected) << std::hex << c.expected;
  }
}

TEST(ReadyToBoot, TwoRootsAndNothingElseWritten) {
  sim::Platform p(test::Scenario(test::Dies({0x00, 0x40})));
  uint64_t status = 0;
  ASSERT_TRUE(p.CallEntry(&status));
  const size_t before = p.hardware().Log().size();
  p.SignalGroup(kReadyToBootGroupGuid);
  std::vector<std::pair<uint64_t, uint64_t>> writes;
  for (size_t i = before; i < p.hardware().Log().size(); ++i) {
    const sim::Access& a = p.hardware().Log()[i];
    // The S3 closing runs in the same signal; a printing build's text goes to the UART.
    if (!a.write || a.kind == sim::AccessKind::Port) continue;
    EXPECT_EQ(a.kind, sim::AccessKind::Mmio) << "only the window registers are written";
    EXPECT_EQ(a.width, 4);
    writes.push_back({a.address, a.value});
  }
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {0xF00000B8, kIndex}, {0xF00000BC, 0x00010001}, {0xF40000B8, kIndex}, {0xF40000BC, 0x00010001}};
  EXPECT_EQ(writes, expected);
}

TEST(ReadyToBoot, ReadsVendorThenBusOfAllEightDevices) {
  sim::Platform p(test::Scenario(test::Dies({0x00, 0x40}) + kOneSignal));
  p.Boot();
  std::vector<uint64_t> vendorReads;
  for (const auto& a : test::Accesses(p.hardware(), sim::AccessKind::Mmio))
    if (!a.write && (a.address & 0xFFF) == 0 && a.address >= 0xF00C0000 && a.address < 0xF0100000) {
      EXPECT_EQ(a.width, 2);
      vendorReads.push_back((a.address - 0xF0000000) >> 15);
    }
  EXPECT_EQ(vendorReads, (std::vector<uint64_t>{0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F}));
}

TEST(ReadyToBoot, DevicesThatAreNotTheFabricVendorAreSkipped) {
  sim::Platform p(test::Scenario(R"(
[[socket]]
[[socket.die]]
root_bus = 0x00
[[socket.die]]
root_bus = 0x20
vendor = 0xFFFF
[[socket.die]]
root_bus = 0x40
vendor = 0x0F0F
[[socket.die]]
root_bus = 0x60
)" + kOneSignal));
  sim::BootResult r = p.Boot();
  ASSERT_EQ(r.signals.size(), 1u);
  std::vector<int> buses;
  for (const auto& w : r.signals[0].writes) buses.push_back(w.bus);
  EXPECT_EQ(buses, (std::vector<int>{0x00, 0x60}));
}

TEST(ReadyToBoot, NoAnsweringDeviceMeansNoWrite) {
  sim::Platform p(test::Scenario(kOneSignal));
  sim::BootResult r = p.Boot();
  ASSERT_EQ(r.signals.size(), 1u);
  EXPECT_TRUE(r.signals[0].writes.empty());
  EXPECT_TRUE(test::Writes(p.hardware(), sim::AccessKind::Mmio).empty());
}

TEST(ReadyToBoot, EverySignalRepeatsTheWrites) {
  sim::Platform p(test::Scenario(test::Dies({0x00, 0x40}) + Overrides(true, 7, false, 0) +
                                 "[boot]\nevents = [\"ready_to_boot\", \"ready_to_boot\"]\n"));
  sim::BootResult r = p.Boot();
  ASSERT_EQ(r.signals.size(), 2u);
  ASSERT_EQ(r.signals[0].writes.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(r.signals[1].writes[i].bus, r.signals[0].writes[i].bus);
    EXPECT_EQ(r.signals[1].writes[i].value, 0x00010007u);
  }
  ASSERT_NE(test::BodyEvent(p.firmware()), nullptr);
  EXPECT_EQ(test::BodyEvent(p.firmware())->notifications, 2u);
}

TEST(ReadyToBoot, TwoDevicesOnOneBusWriteTwice) {
  sim::Platform p(test::Scenario(test::Dies({0x40, 0x40}) + kOneSignal));
  sim::BootResult r = p.Boot();
  ASSERT_EQ(r.signals[0].writes.size(), 2u);
  EXPECT_EQ(r.signals[0].writes[0].bus, 0x40);
  EXPECT_EQ(r.signals[0].writes[1].bus, 0x40);
}

}  // namespace
