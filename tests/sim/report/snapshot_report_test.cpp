// The report's view of the channel map snapshot: the text shows the populated
// slots field by field, the JSON every slot and every byte.
#include <gtest/gtest.h>

#include "tests/support/platform_fixture.h"
#include "sim/report/report.h"

namespace {

TEST(SnapshotReport, TextShowsPopulatedSlotsAndJsonEveryByte) {
  sim::Platform p(test::Scenario(R"(
[[socket]]
[[socket.die]]
root_bus = 0x20
[[socket.die.channel]]
base_addr = [0x00001001, 0x00002001, 0, 0]
dimm_cfg = [0x800, 0]
registers = { 0x200 = 0x100 }
[[socket.die.channel]]
)"));
  const sim::BootResult r = p.Boot();
  MemInfoRecord record{};
  ASSERT_TRUE(test::PublishedRecord(p, &record));
  const std::vector<uint8_t> bytes = p.memory().ReadBytes(record.ChannelMap, 3366);

  const nlohmann::json map = sim::JsonReport(p, r)["record"]["channel_map"];
  EXPECT_EQ(map["size"], 3366);
  EXPECT_EQ(map["reserved_zero"], true);
  std::string hex;
  for (uint8_t b : bytes) hex += (hex.empty() ? "" : " ") + sim::HexText(b, 2).substr(2);
  EXPECT_EQ(map["bytes_hex"], hex);
  const nlohmann::json& slots = map["slots"];
  ASSERT_EQ(slots.size(), 16u);
  EXPECT_EQ(slots[1]["populated"], true) << "an empty channel's masks still have bit 0 set";
  EXPECT_EQ(slots[2]["populated"], false);
  EXPECT_EQ(nlohmann::json({slots[13]["socket"], slots[13]["die"], slots[13]["channel"]}), nlohmann::json({1, 2, 1}));
  const nlohmann::json& base = slots[0]["fields"]["BaseAddr"];
  EXPECT_EQ(base["offsets"], nlohmann::json({0x260, 0x264, 0x268, 0x26C}));
  EXPECT_EQ(base["values_hex"], nlohmann::json({"0x00001000", "0x00002000", "0x00000000", "0x00000000"}));
  EXPECT_EQ(slots[13]["fields"]["AddrHashBank"]["offsets"][4], 0x154);

  const std::string text = sim::TextReport(p, r);
  EXPECT_NE(text.find("Slot 0: socket 0, die 0, channel 0\n    CsEnabledCount  2\n    CsEnabledMask   0x03\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("    BaseAddr        0x00001000  0x00002000  0x00000000  0x00000000\n"), std::string::npos);
  EXPECT_NE(text.find("    DimmCfg         0x00002020  0x00000020  0x00000000  0x00000000  DDR4eEn 1 0, "
                      "BankGroupEn 1 1\n"),
            std::string::npos);
  EXPECT_EQ(text.find("Slot 2:"), std::string::npos);
  EXPECT_NE(text.find("All zero: slots 2 to 15"), std::string::npos);
}

}  // namespace
