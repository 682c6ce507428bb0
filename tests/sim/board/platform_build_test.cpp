// What a platform holds once built from its scenario: configuration space as
// set, whatever part of a function's 4 KiB it lies in, and each root's
// registers with a channel's value over a plain one of the same index.
#include "tests/support/platform_fixture.h"

namespace {

TEST(PlatformBuild, ConfigurationSpaceReadsBackInTheHeaderPastItAndAcrossTheEdge) {
  sim::Platform p(test::Scenario(
      "[[pci]]\nbus = 3\ndevice = 1\nvendor = 0x1234\ndevice_id = 0x5678\n"
      "config = { 0xFC = 0x11223344, 0x100 = 0x55667788, 0xFFC = 0x99AABBCC }\n"));
  constexpr uint64_t kFunction = 0xF0000000 + (3 << 20) + (1 << 15);
  p.Run([&] {
    auto& hw = p.hardware();
    EXPECT_EQ(hw.MemRead(kFunction, 4), 0x56781234u);
    EXPECT_EQ(hw.MemRead(kFunction + 0xF8, 8), 0x1122334400000000u);
    EXPECT_EQ(hw.MemRead(kFunction + 0xFE, 4), 0x77881122u) << "two bytes each side of the header's end";
    EXPECT_EQ(hw.MemRead(kFunction + 0x800, 4), 0u) << "never set";
    EXPECT_EQ(hw.MemRead(kFunction + 0xFFC, 4), 0x99AABBCCu);
    EXPECT_EQ(hw.MemRead(kFunction + 0xFFE, 4), 0xFFFFFFFFu) << "past the function's 4 KiB";
    hw.MemWrite(kFunction + 0xFE, 4, 0xA1B2C3D4);
    EXPECT_EQ(hw.MemRead(kFunction + 0xFC, 8), 0x5566A1B2C3D43344u);
  });
}

TEST(PlatformBuild, ChannelRegistersOverPlainOnesOfTheSameIndex) {
  sim::Scenario s = test::Scenario(test::Dies({0x40}));
  sim::DieDesc& die = s.sockets[0].dies[0];
  die.internal = {{0x44, 1}, {0x50010, 2}, {0x50014, 3}, {0x150000, 4}, {0x7FFFFFFF, 5}};
  die.channels = {{{0x10, 6}, {0x20, 7}}, {{0x0, 8}}};
  sim::Platform p(s);
  p.Run([&] {
    auto& hw = p.hardware();
    auto read = [&](uint32_t index) {
      hw.MemWrite(0xF40000B8, 4, index);
      return hw.MemRead(0xF40000BC, 4);
    };
    EXPECT_EQ(read(0x44), 1u);
    EXPECT_EQ(read(0x50010), 6u);
    EXPECT_EQ(read(0x50014), 3u);
    EXPECT_EQ(read(0x50020), 7u);
    EXPECT_EQ(read(0x150000), 8u);
    EXPECT_EQ(read(0x7FFFFFFF), 5u);
    EXPECT_EQ(read(0x50018), 0u);
  });
}

}  // namespace
