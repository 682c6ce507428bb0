// The report's output-channel section: what each channel received, as text
// and as JSON.
#include "tests/sim/report/channels_fixture.h"
#include "sim/report/channels_report.h"
#include "sim/report/report.h"

namespace {

using nlohmann::json;

TEST(ChannelsReport, ShowsWhatReachedEachChannel) {
  sim::Platform p(test::ChannelsScenario());
  // Only what the channels are driven with here: the driver's own start-up
  // messages (in a build that prints) would mix in, so it does not boot.
  sim::BootResult r;
  r.entryReturned = true;
  test::DriveChannels(p);
  const json j = sim::JsonReport(p, r)["channels"];

  ASSERT_EQ(j["uarts"].size(), 2u);
  EXPECT_EQ(j["uarts"][0]["base_hex"], "0x0000000000010000");
  EXPECT_EQ(j["uarts"][0]["memory_mapped"], true);
  EXPECT_EQ(j["uarts"][0]["text"], "Channel 3\r\r\n");
  EXPECT_EQ(j["uarts"][1]["base"], 0x3F8u);
  EXPECT_EQ(j["uarts"][1]["text"], "Channel 3\r\n");
  EXPECT_EQ(j["post_code"]["messages"], json::array({"Channel 3\r\n"}));
  EXPECT_EQ(j["post_code"]["other_writes"], 0u);
  EXPECT_EQ(j["breakpoint"]["armed"], true);
  EXPECT_EQ(j["breakpoint"]["dr7_hex"], "0x0000000002000420");
  EXPECT_EQ(j["mailbox"]["held"], 2u);

  const json& h = j["hand_overs"];
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0]["caught"], false);
  EXPECT_EQ(h[0]["missed"], "breakpoint not armed");
  EXPECT_FALSE(h[0].contains("text"));
  EXPECT_EQ(h[1]["caught"], true);
  EXPECT_EQ(h[1]["text"], "Channel 3\r\n");
  EXPECT_EQ(h[2]["from_collect_area"], true);
  EXPECT_EQ(h[2]["text"], "abcd");
  ASSERT_EQ(j["port_ffed"].size(), 1u);
  EXPECT_EQ(j["port_ffed"][0]["value_hex"], "0x6261") << "'a' then 'b'";

  const std::string text = sim::TextReport(p, r);
  for (const char* line : {"  UART at MMIO 0x00010000: 12 bytes transmitted",
                           "    | Channel 3<CR><CR><LF>\n",
                           "  UART at port 0x03F8: 11 bytes transmitted",
                           "    | [RTS_]Channel 3<CR><LF>\n    | [DNE_]\n",
                           "  Agent breakpoint (port 0x99CC): armed",
                           "    1. 0x00001000, 3 bytes: not caught, breakpoint not armed\n",
                           "       | abcd\n",
                           "(the collect area): caught by the agent",
                           "  Port 0xFFED: 0x6261\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

TEST(ChannelsReport, AQuietBootSaysSo) {
  sim::Platform p(test::Scenario("[ports]\n0x80 = 0\n"));
  p.Run([] {
    const uint32_t code = 0x1234;
    PortWriteWidth(AccessWidth32, 0x80, &code);  // a code, not a message
  });
  const std::string text = sim::ChannelsText(p);
  EXPECT_NE(text.find("UART at port 0x03F8: nothing transmitted, 0 line-status readings (0 busy)"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Post-code port 0x80: no messages, 1 other write (codes, not text)"), std::string::npos) << text;
  EXPECT_NE(text.find("Mailbox buffer (heap handle 0xA019): none"), std::string::npos) << text;
  EXPECT_NE(text.find("Hand-overs to the agent: none"), std::string::npos) << text;
  EXPECT_NE(text.find("Port 0xFFED: no writes"), std::string::npos) << text;
  EXPECT_NE(text.find(kDebugSettings.DebugPrintEnabled ? "debug print on" : "debug print off"), std::string::npos);
}

TEST(ChannelsReport, TheDebugAgentScenarioShowsTheBreakpointArmedAtStartUp) {
  sim::Platform p(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/debug-agent.toml"));
  const json j = sim::JsonReport(p, p.Boot())["channels"];
  EXPECT_EQ(j["breakpoint"]["armed"], true);
  EXPECT_EQ(j["breakpoint"]["msr_c001100a"], 1u);
  EXPECT_EQ(j["mailbox"]["present"], true);
  EXPECT_EQ(j["mailbox"]["size"], 513u + 64u);
}

TEST(ChannelsReport, VisibleTextShowsControlCharacters) {
  EXPECT_EQ(sim::VisibleText({'a', '\r', '\r', '\n', 'b', 0x00, 0xFF}), "a<CR><CR><LF>\nb<00><FF>");
}

}  // namespace
