// The debug print dispatcher and its four channels, with the settings as
// parameters so every setting's effect is covered whatever the build variant.
#include <algorithm>
#include <string>
#include <vector>

#include "diag/debug_channels.h"
#include "diag/debug_print.h"
#include "tests/support/platform_fixture.h"
#include "services/heap.h"

namespace {

using sim::AccessKind;

// Every channel on, the agent assumed (so no DR2 look), the serial UART
// memory-mapped so that it is a device of its own, apart from the raw UART.
constexpr DebugSettings kAllOn = {1, 1, 1, 1, 1, 0x80, kDefaultDebugLevelMask, 0x10000};
const std::string kSeparateUarts = "[serial]\nbase = 0x10000\n[agent]\npresent = true\n";

DebugSettings With(DebugSettings s, void (*edit)(DebugSettings&)) {
  edit(s);
  return s;
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string Transmitted(const sim::Platform& p, uint64_t base) {
  const sim::Uart* u = const_cast<sim::Platform&>(p).hardware().devices().UartAt(base);
  return u ? Bytes(u->Transmitted()) : "<no uart>";
}

// The bytes between the post-code channel's markers, or "<bad markers>".
std::vector<std::string> PostCodeMessages(const sim::Platform& p) {
  std::vector<std::string> out;
  std::string* open = nullptr;
  for (const sim::PortValue& w : const_cast<sim::Platform&>(p).hardware().devices().PostCodeStream()) {
    if (w.width == 4 && w.value == kPostCodeStartMarker) {
      out.emplace_back();
      open = &out.back();
    } else if (w.width == 4 && w.value == kPostCodeEndMarker) {
      open = nullptr;
    } else if (w.width == 1 && open != nullptr) {
      open->push_back(char(w.value));
    } else {
      out.push_back("<bad markers>");
    }
  }
  return out;
}

// A copy of the text in platform DRAM, followed by two more bytes, so its
// address is one the agent can read.
const uint8_t* InDram(sim::Platform& p, const std::string& text, const char after[2] = "\0Z") {
  const uint64_t at = p.memory().PoolAlloc(text.size() + 2);
  p.memory().WriteBytes(at, text.data(), text.size());
  p.memory().WriteBytes(at + text.size(), after, 2);
  return reinterpret_cast<const uint8_t*>(at);
}

size_t CountWrites(const sim::Hardware& hw, AccessKind kind) { return test::Writes(hw, kind).size(); }

TEST(DebugPrint, WithPrintingOffNothingIsFormattedOrTouched) {
  {
    sim::Platform p(test::Scenario(kSeparateUarts + "[cpu]\ndr2 = 0x99CC\n"));
    const DebugSettings off = With(kAllOn, [](DebugSettings& s) { s.DebugPrintEnabled = 0; });
    p.Run([&] {
      for (uint64_t level : {uint64_t{0}, ~uint64_t{0}, kDebugLevelCore, kDebugLevelPsp, kDebugLevelMmio})
        DebugPrintWith(off, level, "%a %x\n", "text", 0x1234);
    });
    EXPECT_TRUE(p.hardware().Log().empty());
  }
  // The driver's own call follows the build's setting.
  sim::Platform p(test::Scenario(""));
  p.Run([] { DebugPrint(kDebugLevelCore, "build %x\n", 0xAB); });
  if (kDebugSettings.DebugPrintEnabled == 0) {
    EXPECT_TRUE(p.hardware().Log().empty());
  } else {
    // Serial (CR before each LF) and raw UART share the port at 0x3F8.
    EXPECT_EQ(Transmitted(p, 0x3F8), "build AB\r\r\nbuild AB\r\n");
  }
}

TEST(DebugPrint, TheBuildMaskFiltersLevels) {
  sim::Platform p(test::Scenario(kSeparateUarts));
  const DebugSettings s = With(kAllOn, [](DebugSettings& d) { d.DebugLevelMask = 0x0F0; });
  p.Run([&] {
    DebugPrintWith(s, 0x100, "out\n");
    DebugPrintWith(s, 0x00F, "out\n");
  });
  EXPECT_TRUE(PostCodeMessages(p).empty());
  EXPECT_TRUE(p.hardware().devices().HandOvers().empty());
  EXPECT_EQ(Transmitted(p, 0x10000), "");
  EXPECT_EQ(Transmitted(p, 0x3F8), "");

  p.Run([&] { DebugPrintWith(s, 0x110, "in\n"); });  // one bit inside is enough
  EXPECT_EQ(PostCodeMessages(p), std::vector<std::string>{"in\r\n"});
  EXPECT_EQ(p.hardware().devices().HandOvers().size(), 1u);
  EXPECT_EQ(Transmitted(p, 0x10000), "in\r\r\n");
  EXPECT_EQ(Transmitted(p, 0x3F8), "in\r\n");
}

// The list the driver uses, with the mailbox channel finding `gAgentBuffer`
// as the heap would hand it over.
const MailboxBuffer* gAgentBuffer;
const DebugOutputChannel kMailboxWithBuffer = {
    MailboxIsEnabled, MailboxInit,
    [](const DebugSettings&, uint64_t* mask) {
      MailboxTakeLevelMask(gAgentBuffer, mask);
      return true;
    },
    [](const DebugSettings& s, const uint8_t* text, uint64_t length) {
      if (MailboxIsEnabled(s)) MailboxDeliver(gAgentBuffer, text, length);
    }};
const DebugOutputChannel* const kListWithBuffer[5] = {&PostCodeChannel, &kMailboxWithBuffer, &SerialChannel,
                                                      &RawUartChannel, nullptr};

MailboxBuffer MakeAgentBuffer(sim::Platform& p, sim::MailboxDesc setup) {
  const uint64_t data = p.hardware().devices().MakeMailbox(setup);
  return MailboxBuffer{reinterpret_cast<MailboxBufferHeader*>(data), setup.Size()};
}

TEST(DebugPrint, TheAgentsMaskDecidesForTheMailboxAlone) {
  sim::Platform p(test::Scenario(kSeparateUarts));
  sim::MailboxDesc setup;
  setup.mask = 0x1;  // a level the build mask does not pass
  const MailboxBuffer buffer = MakeAgentBuffer(p, setup);
  gAgentBuffer = &buffer;
  ASSERT_EQ(kAllOn.DebugLevelMask & 1, 0u);

  auto print = [&](uint64_t level) {
    p.Run([&] { DebugPrintDispatch(kAllOn, kListWithBuffer, level, "level\n", FormatArgList{nullptr, 0}); });
  };
  // Outside the build mask, inside the agent's: the mailbox alone.
  print(0x1);
  EXPECT_EQ(p.hardware().devices().HandOvers().size(), 1u);
  EXPECT_TRUE(PostCodeMessages(p).empty());
  EXPECT_EQ(Transmitted(p, 0x10000), "");
  EXPECT_EQ(Transmitted(p, 0x3F8), "");

  // Inside the build mask, outside the agent's: every channel but the mailbox.
  print(kDebugLevelCore);
  EXPECT_EQ(p.hardware().devices().HandOvers().size(), 1u);
  EXPECT_EQ(PostCodeMessages(p).size(), 1u);
  EXPECT_EQ(Transmitted(p, 0x10000), "level\r\r\n");
  EXPECT_EQ(Transmitted(p, 0x3F8), "level\r\n");
}

TEST(DebugPrint, ALongMessageReachesEveryChannelAsItsFirst511Characters) {
  sim::Platform p(test::Scenario(kSeparateUarts));
  std::string format;
  for (int i = 0; i < 600; ++i) format.push_back(char('A' + i % 26));
  const std::string first511 = format.substr(0, 511);
  p.Run([&] {
    DebugPrintInitWith(kAllOn, DebugChannelList);  // arms the agent's breakpoint
    DebugPrintWith(kAllOn, kDebugLevelCore, format.c_str());
  });
  EXPECT_EQ(PostCodeMessages(p), std::vector<std::string>{first511});
  EXPECT_EQ(Transmitted(p, 0x10000), first511);
  EXPECT_EQ(Transmitted(p, 0x3F8), first511);
  const auto& handOvers = p.hardware().devices().HandOvers();
  ASSERT_EQ(handOvers.size(), 1u);
  EXPECT_TRUE(handOvers[0].caught) << handOvers[0].missed;
  EXPECT_EQ(handOvers[0].tag, kMailboxTag);
  EXPECT_EQ(handOvers[0].length, 511u);
  ASSERT_TRUE(handOvers[0].readable) << "the message buffer lies on the driver's stack in DRAM";
  EXPECT_EQ(Bytes(handOvers[0].text), first511);
}

TEST(DebugPrint, ChannelsAreWrittenInListOrder) {
  sim::Platform p(test::Scenario(kSeparateUarts));
  p.Run([&] { DebugPrintWith(kAllOn, kDebugLevelCore, "order %d\n", 4); });
  std::string order;
  for (const sim::Access& a : p.hardware().Log()) {
    char c = 0;
    if (a.kind == AccessKind::Port && a.address == 0x80) c = 'P';
    if (a.kind == AccessKind::TaggedPort) c = 'M';
    if (a.kind == AccessKind::Mmio && a.address >= 0x10000 && a.address < 0x10020) c = 'S';
    if (a.kind == AccessKind::Port && a.address >= 0x3F8 && a.address <= 0x3FF) c = 'R';
    if (c != 0 && (order.empty() || order.back() != c)) order.push_back(c);
  }
  EXPECT_EQ(order, "PMSR");
}

TEST(DebugPrint, EveryChannelIsAskedAndEachStartsFromTheBuildMask) {
  static std::string calls;
  static std::vector<uint64_t> masks;
  calls.clear();
  masks.clear();
  const DebugOutputChannel yes = {
      [](const DebugSettings&) { calls += "y"; return true; }, [](const DebugSettings&) { calls += "i"; },
      [](const DebugSettings&, uint64_t* m) { masks.push_back(*m); *m = 0; return true; },
      [](const DebugSettings&, const uint8_t*, uint64_t) { calls += "w"; }};
  const DebugOutputChannel no = {[](const DebugSettings&) { calls += "n"; return false; },
                                 [](const DebugSettings&) { calls += "I"; },
                                 [](const DebugSettings&, uint64_t*) { calls += "A"; return true; },
                                 [](const DebugSettings&, const uint8_t*, uint64_t) { calls += "W"; }};
  const DebugOutputChannel* const list[] = {&yes, &no, &yes, nullptr};
  EXPECT_TRUE(AnyChannelEnabled(kAllOn, list));
  EXPECT_EQ(calls, "yny") << "all of them, in order, even after a TRUE";
  const DebugOutputChannel* const none[] = {&no, &no, nullptr};
  EXPECT_FALSE(AnyChannelEnabled(kAllOn, none));

  calls.clear();
  EXPECT_EQ(DebugPrintInitWith(kAllOn, list), EFI_SUCCESS);
  EXPECT_EQ(calls, "yny" "yi" "n" "yi");
  calls.clear();
  EXPECT_EQ(DebugPrintInitWith(kAllOn, none), EFI_SUCCESS);
  EXPECT_EQ(calls, "nn") << "no channel enabled: nothing set up";

  calls.clear();
  DebugPrintDispatch(kAllOn, list, ~0ull, "x", FormatArgList{nullptr, 0});
  // Each channel zeroes its mask; the next one still starts from the build mask,
  // and a zero mask lets nothing through.
  EXPECT_EQ(masks, (std::vector<uint64_t>{kAllOn.DebugLevelMask, kAllOn.DebugLevelMask}));
  EXPECT_EQ(calls, "yny" "y" "n" "y");
}

struct Arming {
  uint64_t dr2;
  uint8_t assumeAgent, mailboxEnabled;
  bool armedBefore;
  bool expectArmed;
};

TEST(DebugPrintInit, ArmsTheBreakpointOnlyForAnAgentThatIsThereOrAssumed) {
  const Arming cases[] = {
      {0x99CC, 0, 1, false, true},   // the agent marked DR2
      {0x1234, 0, 1, false, false},  // someone else's DR2
      {0, 1, 1, false, true},        // assumed agent
      {0, 2, 1, false, false},       // "assumed" counts only as exactly 1
      {0x99CC, 0, 0, false, false},  // channel switched off
      {0x99CC, 0, 1, true, false},   // already armed: nothing to do
  };
  // Before arming, DR7 enables other breakpoints too: arming replaces it whole.
  for (const Arming& c : cases) {
    for (uint8_t printing : {0, 1}) {
      for (const DebugOutputChannel* const* list : {DebugChannelList, DebugChannelSetupList}) {
        char toml[200];
        std::snprintf(toml, sizeof toml, "[cpu]\ndr2 = 0x%llX\ndr7 = 0x%X\ncr4 = 0x%X\n[msr]\n0xC001100A = 0x%X\n",
                      static_cast<unsigned long long>(c.dr2), c.armedBefore ? 0x2000420 : 0x4C3,
                      c.armedBefore ? 0x668 : 0x660, c.armedBefore ? 0x81 : 0x80);
        sim::Platform p(test::Scenario(toml));
        DebugSettings s = {printing, 0, c.assumeAgent, c.mailboxEnabled, 0, 0x80, kDefaultDebugLevelMask, 0x3F8};
        EfiStatus status = 1;
        p.Run([&] { status = DebugPrintInitWith(s, list); });
        SCOPED_TRACE(testing::Message() << "dr2 0x" << std::hex << c.dr2 << " assume " << int(c.assumeAgent)
                                        << " enabled " << int(c.mailboxEnabled) << " armed " << c.armedBefore
                                        << " printing " << int(printing));
        EXPECT_EQ(status, EFI_SUCCESS);
        const sim::Hardware& hw = p.hardware();
        const size_t writes = CountWrites(hw, AccessKind::Msr) + CountWrites(hw, AccessKind::DebugRegister) +
                              CountWrites(hw, AccessKind::ControlRegister);
        if (!c.expectArmed) {
          EXPECT_EQ(writes, 0u);
          continue;
        }
        EXPECT_EQ(writes, 4u);
        EXPECT_EQ(hw.MsrValue(0xC001100A), 0x81u) << "bit 0 set, the others kept";
        EXPECT_EQ(hw.Dr2(), 0x99CCu);
        EXPECT_EQ(hw.Dr7(), 0x2000420u);
        EXPECT_EQ(hw.Cr4(), 0x668u);
        EXPECT_TRUE(hw.IoBreakpointHit(0x99CC, 4));
      }
    }
  }
}

TEST(DebugPrintInit, ASingleMissingPieceIsArmedInFull) {
  // MSR bit and DR7 in place, CR4's debugging extensions not: every step runs.
  sim::Platform p(test::Scenario("[cpu]\ndr2 = 0x99CC\ndr7 = 0x2000420\ncr4 = 0x660\n[msr]\n0xC001100A = 1\n"));
  p.Run([] { DebugPrintInitWith(kAllOn, DebugChannelList); });
  const auto msr = test::Writes(p.hardware(), AccessKind::Msr);
  ASSERT_EQ(msr.size(), 1u);
  EXPECT_EQ(msr[0].value, 1u);
  EXPECT_EQ(CountWrites(p.hardware(), AccessKind::DebugRegister), 2u);
  EXPECT_EQ(p.hardware().Cr4(), 0x668u);
}

TEST(DebugPrintInit, TheSetUpListMatchesTheChannelList) {
  for (int i = 0; i < 5; ++i) {
    if (DebugChannelList[i] == nullptr) {
      EXPECT_EQ(DebugChannelSetupList[i], nullptr);
      EXPECT_EQ(i, 4);
      break;
    }
    EXPECT_EQ(DebugChannelList[i]->IsEnabled, DebugChannelSetupList[i]->IsEnabled) << i;
    EXPECT_EQ(DebugChannelList[i]->Init, DebugChannelSetupList[i]->Init) << i;
  }
}

TEST(DebugPrintInit, TheDriversStartUpArmsAnAgentsBreakpoint) {
  {
    sim::Platform p(test::Scenario("[cpu]\ndr2 = 0x99CC\ncr4 = 0x3406E0\n"));
    ASSERT_TRUE(p.Boot().entryReturned);
    EXPECT_EQ(p.hardware().Dr7(), 0x2000420u);
    EXPECT_EQ(p.hardware().Cr4(), 0x3406E8u);
    EXPECT_EQ(p.hardware().MsrValue(0xC001100A) & 1, 1u);
  }
  sim::Platform q(test::Scenario("[cpu]\ndr2 = 0x99CD\n"));
  ASSERT_TRUE(q.Boot().entryReturned);
  EXPECT_EQ(CountWrites(q.hardware(), AccessKind::DebugRegister), 0u);
}

TEST(PostCodeChannel, SurroundsTheTextWithItsMarkers) {
  sim::Platform p(test::Scenario(""));
  const DebugSettings s = With(kAllOn, [](DebugSettings& d) { d.PostCodeChannelPort = 0x84; });
  p.Run([&] { PostCodeWrite(s, reinterpret_cast<const uint8_t*>("abc"), 3); });
  const auto writes = test::Writes(p.hardware(), AccessKind::Port);
  ASSERT_EQ(writes.size(), 5u) << "n + 2 writes";
  const uint32_t expect[5][2] = {{4, 0x5F535452}, {1, 'a'}, {1, 'b'}, {1, 'c'}, {4, 0x5F454E44}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(writes[i].address, 0x84u);
    EXPECT_EQ(writes[i].width, expect[i][0]) << i;
    EXPECT_EQ(writes[i].value, expect[i][1]) << i;
  }
}

TEST(SerialChannel, PollsTheLineStatusOfAPortOrMemoryMappedUart) {
  struct Case {
    uint64_t base;
    AccessKind kind;
    uint64_t status, data;
  } cases[] = {{0x3F8, AccessKind::Port, 0x3FD, 0x3F8},
               {0x2F8, AccessKind::Port, 0x2FD, 0x2F8},
               {0x10000, AccessKind::Mmio, 0x10014, 0x10000},
               {0xFEB00000, AccessKind::Mmio, 0xFEB00014, 0xFEB00000}};
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario("[serial]\nbase = " + std::to_string(c.base) + "\n"));
    const DebugSettings s = {1, 0, 0, 0, 1, 0x80, kDefaultDebugLevelMask, c.base};
    bool written = false;
    p.Run([&] { written = SerialPutChar(s, 'Q'); });
    EXPECT_TRUE(written);
    const auto& log = p.hardware().Log();
    ASSERT_EQ(log.size(), 2u) << c.base;
    EXPECT_EQ(log[0].kind, c.kind);
    EXPECT_FALSE(log[0].write);
    EXPECT_EQ(log[0].address, c.status);
    EXPECT_EQ(log[0].width, 1);
    EXPECT_EQ(log[1].kind, c.kind);
    EXPECT_TRUE(log[1].write);
    EXPECT_EQ(log[1].address, c.data);
    EXPECT_EQ(log[1].width, 1);
    EXPECT_EQ(Transmitted(p, c.base), "Q");
  }
}

TEST(SerialChannel, ACharacterTimesOutAfter2000ReadingsAndTheNextIsTried) {
  const DebugSettings s = {1, 0, 0, 0, 1, 0x80, kDefaultDebugLevelMask, 0x3F8};
  {
    sim::Platform p(test::Scenario("[serial]\nbusy = true\n"));
    bool written = true;
    p.Run([&] { written = SerialPutChar(s, 'Q'); });
    EXPECT_FALSE(written);
    EXPECT_EQ(p.hardware().devices().UartAt(0x3F8)->StatusReadings(), 2000u);
    EXPECT_EQ(CountWrites(p.hardware(), AccessKind::Port), 0u);
    p.Run([&] { SerialWrite(s, reinterpret_cast<const uint8_t*>("a\n"), 2); });
    EXPECT_EQ(p.hardware().devices().UartAt(0x3F8)->StatusReadings(), 2000u + 3 * 2000u) << "a, CR, LF";
  }
  {
    // A line busy for 2000 readings after each byte: the second character is
    // dropped, and the third finds the line free at its first reading.
    sim::Platform p(test::Scenario("[serial]\nbusy_readings = 2000\n"));
    p.Run([&] { SerialWrite(s, reinterpret_cast<const uint8_t*>("abc"), 3); });
    EXPECT_EQ(Transmitted(p, 0x3F8), "ac");
    EXPECT_EQ(p.hardware().devices().UartAt(0x3F8)->StatusReadings(), 1u + 2000u + 1u);
  }
  // One reading short of the limit still gets through.
  sim::Platform q(test::Scenario("[serial]\nbusy_readings = 1999\n"));
  q.Run([&] { SerialWrite(s, reinterpret_cast<const uint8_t*>("abc"), 3); });
  EXPECT_EQ(Transmitted(q, 0x3F8), "abc");
}

TEST(SerialChannel, EveryLineFeedGetsACarriageReturnBeforeIt) {
  sim::Platform p(test::Scenario(kSeparateUarts));
  const DebugSettings s = With(kAllOn, [](DebugSettings& d) { d.MailboxChannelEnabled = 0; d.PostCodeChannelEnabled = 0; });
  p.Run([&] { DebugPrintWith(s, kDebugLevelCore, "a\nb\r\nc\n"); });
  // The engine already made each line end CR LF; the channel adds one CR more.
  EXPECT_EQ(Transmitted(p, 0x10000), "a\r\r\nb\r\r\nc\r\r\n");
  EXPECT_EQ(Transmitted(p, 0x3F8), "a\r\nb\r\nc\r\n") << "the raw UART sends the text as it is";
  // The UART's line settings are left as an earlier stage made them.
  for (const sim::Uart& u : p.hardware().devices().Uarts()) EXPECT_EQ(u.ControlWrites(), 0u);
}

std::string RawUartPattern(const sim::Platform& p) {
  std::string out;
  for (const sim::Access& a : const_cast<sim::Platform&>(p).hardware().Log()) {
    if (a.kind != AccessKind::Port) continue;
    if (!a.write && a.address == 0x3FD) out += 'r';
    else if (a.write && a.address == 0x3F8 && a.width == 1) out += 'w';
    else out += '?';
  }
  return out;
}

TEST(RawUartChannel, WritesSixteenByteBurstsBetweenStatusReadings) {
  sim::Platform p(test::Scenario(""));
  uint64_t result = 0;
  p.Run([&] { result = RawUartWrite(reinterpret_cast<const uint8_t*>("0123456789ABCDEFG"), 17); });
  EXPECT_EQ(result, 17u);
  EXPECT_EQ(RawUartPattern(p), "r" + std::string(16, 'w') + "r" + "w");
  EXPECT_EQ(Transmitted(p, 0x3F8), "0123456789ABCDEFG");
}

TEST(RawUartChannel, ABusyTransmitterCostsTheRestOfTheText) {
  {
    sim::Platform p(test::Scenario("[raw_uart]\nbusy = true\n"));
    uint64_t result = 1;
    p.Run([&] { result = RawUartWrite(reinterpret_cast<const uint8_t*>("abc"), 3); });
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(RawUartPattern(p), std::string(65535, 'r'));
  }
  // The first burst goes out, then the line stays busy past 65535 readings.
  sim::Platform p(test::Scenario("[raw_uart]\nbusy_readings = 70000\n"));
  uint64_t result = 1;
  const std::string text(20, 'x');
  p.Run([&] { result = RawUartWrite(reinterpret_cast<const uint8_t*>(text.data()), text.size()); });
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(Transmitted(p, 0x3F8), std::string(16, 'x'));
}

TEST(RawUartChannel, AnEmptyTextOnlyWaitsAndANullTextDoesNothing) {
  {
    sim::Platform p(test::Scenario("[raw_uart]\nbusy_readings = 3\n"));
    uint64_t result = 1;
    p.Run([&] { result = RawUartWrite(reinterpret_cast<const uint8_t*>(""), 0); });
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(RawUartPattern(p), "r");
    p.Run([&] { result = RawUartWrite(nullptr, 5); });
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(p.hardware().Log().size(), 1u);
  }
  // Busy, or with the holding register empty while the transmitter still shifts
  // (0x20 alone): an empty text waits for both bits, a text for 0x40.
  for (uint8_t status : {0x00, 0x20}) {
    for (const char* text : {"", "abc"}) {
      sim::Scenario s = test::Scenario("[raw_uart]\nbusy = true\n");
      s.uarts[0].busyStatus = status;
      sim::Platform p(s);
      p.Run([&] { RawUartWrite(reinterpret_cast<const uint8_t*>(text), std::strlen(text)); });
      EXPECT_EQ(RawUartPattern(p), std::string(65535, 'r')) << int(status) << " '" << text << "'";
    }
  }
}

class Mailbox : public ::testing::Test {
 protected:
  // The agent's buffer with `guard` bytes of 0xEE after it, to see stores past its end.
  MailboxBuffer Make(sim::MailboxDesc setup, uint32_t guard = 64) {
    const uint64_t data = p.hardware().devices().MakeMailbox(setup);
    end = data + setup.Size();
    const uint64_t extra = p.memory().PoolAlloc(guard);
    EXPECT_EQ(extra, ((end + sim::kPoolGuardSize + 15) & ~15ull) + sim::kPoolGuardSize) << "the guard follows the buffer";
    std::memset(p.memory().Host(end), 0xEE, extra + guard - end);
    guardEnd = extra + guard;
    return MailboxBuffer{reinterpret_cast<MailboxBufferHeader*>(data), setup.Size()};
  }
  bool GuardIntact() {
    for (uint64_t a = end; a < guardEnd; ++a)
      if (*p.memory().Host(a) != 0xEE) return false;
    return true;
  }
  void Deliver(const MailboxBuffer* b, const uint8_t* text, uint64_t length) {
    p.Run([&] { MailboxDeliver(b, text, length); });
  }
  // The tagged writes as the platform recorded them: selector, value, extra.
  struct TaggedOut {
    uint32_t selector, value, extra;
  };
  std::vector<TaggedOut> Tagged() {
    std::vector<TaggedOut> out;
    for (const sim::MailboxHandOver& h : p.hardware().devices().HandOvers()) out.push_back({h.tag, h.address, h.length});
    return out;
  }
  std::vector<sim::PortValue> Peeks() { return p.hardware().devices().PeekValues(); }

  sim::Platform p{test::Scenario("")};
  uint64_t end = 0, guardEnd = 0;
};

sim::MailboxDesc Collecting(uint16_t capacity) {
  sim::MailboxDesc m;
  m.capacity = capacity;
  m.collect = 1;
  return m;
}

TEST_F(Mailbox, CollectModeHandsOverAFullAreaAndKeepsTheRest) {
  const MailboxBuffer b = Make(Collecting(64));
  std::string message;
  for (int i = 0; i < 100; ++i) message.push_back(char(0x20 + i));
  const uint8_t* text = InDram(p, message);
  Deliver(&b, text, 100);

  ASSERT_EQ(Peeks().size(), 1u);
  EXPECT_EQ(Peeks()[0].width, 2);
  EXPECT_EQ(Peeks()[0].value, uint32_t(message[0]) | uint32_t(message[1]) << 8);
  const uint64_t area = reinterpret_cast<uint64_t>(b.Header) + 513;
  ASSERT_EQ(Tagged().size(), 1u) << "the 65th byte found the area full";
  EXPECT_EQ(Tagged()[0].selector, 0xC0BF99CCu);
  EXPECT_EQ(Tagged()[0].value, uint32_t(area));
  EXPECT_EQ(Tagged()[0].extra, 64u);
  EXPECT_EQ(b.Header->Held, 36);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(area), 36), message.substr(64, 36));

  // The next message fills the area up and hands it over at its 29th byte.
  Deliver(&b, InDram(p, std::string(30, '#')), 30);
  ASSERT_EQ(Tagged().size(), 2u);
  EXPECT_EQ(b.Header->Held, 2);
  EXPECT_TRUE(GuardIntact());
}

TEST_F(Mailbox, ThePeekPortGetsTheFirstTwoBytesEvenOfAnEmptyMessage) {
  const MailboxBuffer b = Make(Collecting(64));
  Deliver(&b, InDram(p, "", "\0Z"), 0);
  ASSERT_EQ(Peeks().size(), 1u);
  EXPECT_EQ(Peeks()[0].value, 0x5A00u) << "the terminator and the byte after it";
  EXPECT_TRUE(Tagged().empty());
  EXPECT_EQ(b.Header->Held, 0);
}

TEST_F(Mailbox, TheCollectAreaIsBoundedByTheBuffer) {
  // The agent claims 200 bytes, but its buffer has 50 after offset 513.
  sim::MailboxDesc setup = Collecting(200);
  setup.size = 513 + 50;
  const MailboxBuffer b = Make(setup);
  EXPECT_EQ(MailboxCollectCapacity(b), 50u);
  Deliver(&b, InDram(p, std::string(120, 'm')), 120);
  ASSERT_EQ(Tagged().size(), 2u);
  for (const auto& t : Tagged()) EXPECT_EQ(t.extra, 50u);
  EXPECT_EQ(b.Header->Held, 20);
  EXPECT_TRUE(GuardIntact());
}

TEST_F(Mailbox, AnAreaWithoutRoomCollectsNothing) {
  for (auto [capacity, size] : {std::pair<uint16_t, uint32_t>{64, 513}, {0, 513 + 64}, {64, 100}}) {
    SCOPED_TRACE(testing::Message() << "capacity " << capacity << " size " << size);
    sim::MailboxDesc setup = Collecting(capacity);
    setup.size = size;
    const MailboxBuffer b = Make(setup);
    const size_t before = Tagged().size();
    Deliver(&b, InDram(p, "abc"), 3);
    EXPECT_EQ(Tagged().size(), before) << "no area to hand over";
    EXPECT_EQ(b.Header->Held, 0);
    EXPECT_TRUE(GuardIntact());
  }
}

TEST_F(Mailbox, AHeldCountBeyondTheCapacityIsHandedOverFirst) {
  sim::MailboxDesc setup = Collecting(64);
  setup.held = 300;
  const MailboxBuffer b = Make(setup);
  Deliver(&b, InDram(p, "xy"), 2);
  ASSERT_EQ(Tagged().size(), 1u);
  EXPECT_EQ(Tagged()[0].extra, 64u);
  EXPECT_EQ(b.Header->Held, 2);
  EXPECT_TRUE(GuardIntact());
}

TEST_F(Mailbox, TheAgentsSwitchesDropOrHandOverAtOnce) {
  const uint8_t* text = InDram(p, "hello");
  struct Case {
    uint8_t output, collect;
    bool handedOver;
  } cases[] = {{0, 1, false}, {2, 1, false}, {1, 0, true}, {1, 2, true}};
  for (const Case& c : cases) {
    sim::MailboxDesc setup;
    setup.output = c.output;
    setup.collect = c.collect;
    const MailboxBuffer b = Make(setup);
    const size_t before = p.hardware().Log().size();
    Deliver(&b, text, 5);
    const std::vector<sim::Access> log(p.hardware().Log().begin() + long(before), p.hardware().Log().end());
    if (!c.handedOver) {
      EXPECT_TRUE(log.empty()) << "output " << int(c.output);
      continue;
    }
    ASSERT_EQ(log.size(), 1u) << "collect " << int(c.collect);
    EXPECT_EQ(Tagged().back().value, uint32_t(reinterpret_cast<uint64_t>(text)));
    EXPECT_EQ(Tagged().back().extra, 5u);
    EXPECT_EQ(b.Header->Held, 0);
  }
  // Without a buffer every message is handed over at once.
  Deliver(nullptr, text, 5);
  EXPECT_EQ(Tagged().back().value, uint32_t(reinterpret_cast<uint64_t>(text)));
  EXPECT_TRUE(Peeks().empty());
}

TEST_F(Mailbox, OnlyASignedBufferThatHoldsTheHeaderIsTheAgents) {
  const uint64_t data = p.memory().PoolAlloc(64);
  std::memset(p.memory().Host(data), 0, 64);
  p.memory().Write<uint32_t>(data, 0xDB1099CC);
  p.memory().Write<uint64_t>(data + 24, 0x77);
  MailboxBuffer b{};
  EXPECT_FALSE(MailboxAccept(nullptr, 64, &b));
  EXPECT_FALSE(MailboxAccept(reinterpret_cast<void*>(data), 31, &b)) << "too small for the header";
  EXPECT_TRUE(MailboxAccept(reinterpret_cast<void*>(data), 32, &b));
  EXPECT_EQ(b.Header, reinterpret_cast<MailboxBufferHeader*>(data));
  EXPECT_EQ(b.Size, 32u);
  uint64_t mask = 5;
  MailboxTakeLevelMask(&b, &mask);
  EXPECT_EQ(mask, 0x77u);
  MailboxTakeLevelMask(nullptr, &mask);
  EXPECT_EQ(mask, 0x77u) << "no buffer: the mask stays";
  p.memory().Write<uint32_t>(data, 0xDB1099CD);
  EXPECT_FALSE(MailboxAccept(reinterpret_cast<void*>(data), 64, &b));
}

TEST(MailboxLocate, AsksTheHeapOnlyWhenDr3IsSet) {
  {
    // A freshly loaded image has joined no heap list yet: the heap finds no buffer at all.
    sim::Platform p(test::Scenario(""));
    HeapLocateRequest request = {kHeapHandleDebugMailbox, 7, reinterpret_cast<void*>(1)};
    EXPECT_EQ(HeapLocateBuffer(&request), kHeapNotFound);
    EXPECT_EQ(request.Size, 0u);
    EXPECT_EQ(request.Data, nullptr);
    EXPECT_EQ(HeapLocateBuffer(nullptr), kHeapNotFound);
  }

  for (uint64_t dr3 : {0, 0x1000}) {
    sim::Platform p(test::Scenario("[cpu]\ndr3 = " + std::to_string(dr3) + "\n"));
    MailboxBuffer b{};
    bool found = true;
    p.Run([&] { found = MailboxLocate(&b); });
    EXPECT_FALSE(found);
    const auto dr = test::Accesses(p.hardware(), AccessKind::DebugRegister);
    ASSERT_EQ(dr.size(), 1u);
    EXPECT_EQ(dr[0].address, 3u);
  }
}

TEST(MailboxChannel, IsEnabledByTheAgentsMarkOrTheAssumption) {
  struct Case {
    uint8_t enabled, assume;
    uint64_t dr2;
    bool expect;
    size_t drReads;
  } cases[] = {{1, 0, 0x99CC, true, 1}, {1, 0, 0x199CC, false, 1}, {1, 1, 0, true, 0},
               {1, 0xFF, 0, false, 1},  {0, 1, 0x99CC, false, 0}};
  for (const Case& c : cases) {
    sim::Platform p(test::Scenario("[cpu]\ndr2 = " + std::to_string(c.dr2) + "\n"));
    const DebugSettings s = {1, 0, c.assume, c.enabled, 0, 0x80, kDefaultDebugLevelMask, 0x3F8};
    bool enabled = !c.expect;
    p.Run([&] { enabled = MailboxIsEnabled(s); });
    EXPECT_EQ(enabled, c.expect) << int(c.enabled) << " " << int(c.assume) << " " << c.dr2;
    EXPECT_EQ(test::Accesses(p.hardware(), AccessKind::DebugRegister).size(), c.drReads);
  }
}

TEST(MailboxChannel, ArmedNeedsAllThreeAndStopsAtTheFirstMissing) {
  struct Case {
    uint64_t msr, dr7, cr4;
    bool armed;
    std::vector<AccessKind> reads;
  } cases[] = {
      {1, 0x2000420, 0x8, true, {AccessKind::Msr, AccessKind::DebugRegister, AccessKind::ControlRegister}},
      {0, 0x2000420, 0x8, false, {AccessKind::Msr}},
      {3, 0x2000400, 0x8, false, {AccessKind::Msr, AccessKind::DebugRegister}},
      {1, 0x2000420, 0x660, false, {AccessKind::Msr, AccessKind::DebugRegister, AccessKind::ControlRegister}},
  };
  for (const Case& c : cases) {
    char toml[160];
    std::snprintf(toml, sizeof toml, "[cpu]\ndr7 = %llu\ncr4 = %llu\n[msr]\n0xC001100A = %llu\n",
                  static_cast<unsigned long long>(c.dr7), static_cast<unsigned long long>(c.cr4),
                  static_cast<unsigned long long>(c.msr));
    sim::Platform p(test::Scenario(toml));
    bool armed = !c.armed;
    p.Run([&] { armed = MailboxArmed(); });
    EXPECT_EQ(armed, c.armed) << toml;
    std::vector<AccessKind> reads;
    for (const sim::Access& a : p.hardware().Log()) reads.push_back(a.kind);
    EXPECT_EQ(reads, c.reads) << toml;
  }
}

}  // namespace
