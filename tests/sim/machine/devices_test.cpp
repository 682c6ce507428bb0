// The platform's devices behind the debug print's channels: UARTs, the agent's
// I/O breakpoint and mailbox buffer, and their scenario keys.
#include "platform/hw.h"
#include "tests/support/platform_fixture.h"

namespace {

using sim::AccessKind;

std::string ErrorOf(const std::string& toml) {
  try {
    sim::ParseScenario(toml, "bad.toml");
  } catch (const sim::ScenarioError& e) {
    return e.what();
  }
  return "";
}

TEST(UartScenario, SerialAndRawUartKeysPlaceAndSlowTheUarts) {
  sim::Scenario s = test::Scenario("");
  ASSERT_EQ(s.uarts.size(), 1u) << "one UART at 0x3F8 by default";
  EXPECT_EQ(s.uarts[0].base, 0x3F8u);
  EXPECT_FALSE(s.uarts[0].busy);

  // Serial elsewhere: the first serial port stays, described by [raw_uart].
  s = test::Scenario("[serial]\nbase = 0x2F8\nbusy_readings = 5\n[raw_uart]\nbusy = true\n");
  ASSERT_EQ(s.uarts.size(), 2u);
  EXPECT_EQ(s.uarts[0].base, 0x2F8u);
  EXPECT_EQ(s.uarts[0].busyReadings, 5u);
  EXPECT_FALSE(s.uarts[0].busy);
  EXPECT_EQ(s.uarts[1].base, 0x3F8u);
  EXPECT_TRUE(s.uarts[1].busy);

  // Serial at 0x3F8: one device, which both tables may describe.
  s = test::Scenario("[serial]\nbusy_readings = 7\n[raw_uart]\nbusy = true\n");
  ASSERT_EQ(s.uarts.size(), 1u);
  EXPECT_EQ(s.uarts[0].busyReadings, 7u);
  EXPECT_TRUE(s.uarts[0].busy);
  s = test::Scenario("[serial]\nbase = \"0xFEB00000\"\n");
  EXPECT_EQ(s.uarts[0].base, 0xFEB00000u);
}

TEST(UartScenario, BadPlacesAndContradictionsAreRejected) {
  struct Case {
    const char* toml;
    const char* message;
  } cases[] = {
      {"[serial]\nbase = 0xFFF9\n", "bad.toml:2: key 'serial.base': an I/O base leaves room for eight registers"},
      {"[serial]\nbase = 0x3F4\n", "bad.toml:2: key 'serial.base': overlaps the first serial port at 0x3F8"},
      {"[serial]\nbase = 0x40001000\n", "bad.toml:2: key 'serial.base': a memory-mapped UART must stay clear of DRAM"},
      {"[serial]\nbusy = true\n[raw_uart]\nbusy = false\n", "bad.toml:4: key 'raw_uart.busy'"},
      {"[serial]\nbusy_readings = 1\n[raw_uart]\nbusy_readings = 2\n", "bad.toml:4: key 'raw_uart.busy_readings'"},
      {"[raw_uart]\nbase = 0x2F8\n", "bad.toml:2: key 'raw_uart.base': unknown key"},
      {"[serial]\nbusy = 1\n", "bad.toml:2: key 'serial.busy': expected true or false"},
      {"[mailbox]\ncapacity = 65536\n", "bad.toml:2: key 'mailbox.capacity': value 65536 is out of range"},
      {"[mailbox]\noutput = 256\n", "bad.toml:2: key 'mailbox.output'"},
      {"[mailbox]\nlevel = 1\n", "bad.toml:2: key 'mailbox.level': unknown key"},
      {"[ports]\n0x3FD = 0x60\n", "bad.toml:2: key 'ports.0x3FD': a register of the UART at 0x3F8"},
      {"[serial]\nbase = 0x2F8\n[ports]\n0x2FF = 1\n", "bad.toml:4: key 'ports.0x2FF': a register of the UART at [serial] base"},
  };
  for (const Case& c : cases) EXPECT_NE(ErrorOf(c.toml).find(c.message), std::string::npos) << ErrorOf(c.toml);
}

TEST(MailboxBuffer, TheScenarioMakesItAsAHeapBufferInDram) {
  sim::Platform p(test::Scenario(
      "[mailbox]\nsignature = 0x12345678\ncapacity = 100\nheld = 3\noutput = 2\ncollect = true\nmask = \"0x8000000000000001\"\n"));
  const sim::Devices& d = p.hardware().devices();
  const uint64_t data = d.MailboxAddress();
  ASSERT_NE(data, 0u);
  EXPECT_EQ(d.MailboxSize(), 613u) << "513 + capacity unless size is given";
  ASSERT_TRUE(p.memory().Contains(data - 32, 32 + 613));
  auto& m = p.memory();
  EXPECT_EQ(m.Read<uint32_t>(data - 16), 0x50414548u) << "HEAP";
  EXPECT_EQ(m.Read<uint32_t>(data - 12), 0xA019u);
  EXPECT_EQ(m.Read<uint32_t>(data - 8), 613u);
  EXPECT_EQ(m.Read<uint8_t>(data - 4), 4) << "persist code: boot-services data";
  EXPECT_EQ(m.Read<uint8_t>(data - 3), 1) << "valid";
  EXPECT_EQ(m.Read<uint32_t>(data), 0x12345678u);
  EXPECT_EQ(m.Read<uint16_t>(data + 6), 100);
  EXPECT_EQ(m.Read<uint16_t>(data + 8), 3);
  EXPECT_EQ(m.Read<uint8_t>(data + 10), 2);
  EXPECT_EQ(m.Read<uint8_t>(data + 18), 1);
  EXPECT_EQ(m.Read<uint64_t>(data + 24), 0x8000000000000001u);
  EXPECT_EQ(m.Read<uint8_t>(data + 513), 0) << "an empty collect area";
}

TEST(MailboxBuffer, ASmallBufferGetsOnlyTheFieldsItHolds) {
  sim::Platform p(test::Scenario("[mailbox]\nsize = 20\n"));
  const uint64_t data = p.hardware().devices().MailboxAddress();
  EXPECT_EQ(p.memory().Read<uint32_t>(data), 0xDB1099CCu);
  EXPECT_EQ(p.memory().Read<uint8_t>(data + 18), 0);
  EXPECT_EQ(p.memory().Read<uint64_t>(data + 24), 0x0101010101010101ull * sim::kPoolGuardByte)
      << "beyond the buffer: untouched (its guard bytes)";
}

// The hand-over the driver makes, with the text in DRAM.
void HandOver(sim::Platform& p, uint32_t address, uint32_t length) {
  p.Run([&] { hw::Out32Tagged(0xC0BF99CC, address, length); });
}

TEST(DebugAgent, CatchesAHandOverOnlyThroughAnArmedBreakpoint) {
  struct Case {
    const char* cpu;
    bool agent;
    const char* missed;
  } cases[] = {
      {"dr2 = 0x99CC\ndr7 = 0x2000420\ncr4 = 0x668\n", true, ""},
      {"dr2 = 0x99CC\ndr7 = 0x2000410\ncr4 = 0x668\n", true, ""},  // local enable also counts
      {"dr2 = 0x99CC\ndr7 = 0x2000420\ncr4 = 0x668\n", false, "no agent attached"},
      {"dr2 = 0x99CC\ndr7 = 0x2000420\ncr4 = 0x660\n", true, "breakpoint not armed"},  // CR4.DE clear
      {"dr2 = 0x99CC\ndr7 = 0x1000420\ncr4 = 0x668\n", true, "breakpoint not armed"},  // a data breakpoint
      {"dr2 = 0x99CC\ndr7 = 0x2000400\ncr4 = 0x668\n", true, "breakpoint not armed"},  // not enabled
      {"dr2 = 0x99D0\ndr7 = 0x2000420\ncr4 = 0x668\n", true, "breakpoint not armed"},
      {"dr2 = 0x99C8\ndr7 = 0xE000420\ncr4 = 0x668\n", true, "breakpoint not armed"},  // 0x99C8-0x99CB
      {"dr2 = 0x99C8\ndr7 = 0xA000420\ncr4 = 0x668\n", true, ""},                      // 0x99C8-0x99CF
  };
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario(std::string("[cpu]\n") + c.cpu + "[agent]\npresent = " +
                                   (c.agent ? "true" : "false") + "\n"));
    const uint64_t text = p.memory().PoolAlloc(5);
    p.memory().WriteBytes(text, "hello", 5);
    HandOver(p, uint32_t(text), 5);
    const auto& h = p.hardware().devices().HandOvers();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].missed, c.missed) << c.cpu;
    EXPECT_EQ(h[0].caught, *c.missed == 0) << c.cpu;
    EXPECT_EQ(h[0].address, uint32_t(text));
    EXPECT_EQ(h[0].length, 5u);
    EXPECT_EQ(std::string(h[0].text.begin(), h[0].text.end()), h[0].caught ? "hello" : "");
  }
}

TEST(DebugAgent, ReadsOnlyFromDramAndKnowsTheCollectArea) {
  sim::Platform p(test::Scenario("[cpu]\ndr2 = 0x99CC\ndr7 = 0x2000420\ncr4 = 0x668\n[agent]\npresent = true\n"
                                 "[mailbox]\ncollect = 1\n"));
  const uint64_t area = p.hardware().devices().MailboxAddress() + 513;
  HandOver(p, 0x1000, 8);
  HandOver(p, uint32_t(area), 64);
  const auto& h = p.hardware().devices().HandOvers();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_TRUE(h[0].caught);
  EXPECT_FALSE(h[0].readable) << "0x1000 is not DRAM";
  EXPECT_FALSE(h[0].fromCollectArea);
  EXPECT_TRUE(h[1].readable);
  EXPECT_TRUE(h[1].fromCollectArea);
  EXPECT_EQ(h[1].text.size(), 64u);
}

TEST(Uart, MemoryMappedRegistersAreFourBytesApart) {
  sim::Platform p(test::Scenario("[serial]\nbase = 0x10000\nbusy_readings = 1\n"));
  std::vector<uint8_t> reads;
  p.Run([&] {
    reads.push_back(hw::Read8(0x10014));  // line status: ready
    hw::Write8(0x10000, 'A');
    reads.push_back(hw::Read8(0x10014));  // busy for one reading
    reads.push_back(hw::Read8(0x10014));
    reads.push_back(hw::Read8(0x10005));  // between registers
    hw::Write8(0x1000C, 0x83);            // line control
    reads.push_back(hw::Read8(0x1000C));
    reads.push_back(hw::In8(0x3FD));      // the first serial port is a device of its own
  });
  EXPECT_EQ(reads, (std::vector<uint8_t>{0x60, 0x00, 0x60, 0x00, 0x83, 0x60}));
  const sim::Uart* u = p.hardware().devices().UartAt(0x10000);
  EXPECT_EQ(std::string(u->Transmitted().begin(), u->Transmitted().end()), "A");
  EXPECT_EQ(u->StatusReadings(), 3u);
  EXPECT_EQ(u->BusyStatusReadings(), 1u);
  EXPECT_EQ(u->ControlWrites(), 1u);
  EXPECT_EQ(test::Accesses(p.hardware(), AccessKind::Mmio).size(), 7u) << "every access is still logged";
}

}  // namespace
