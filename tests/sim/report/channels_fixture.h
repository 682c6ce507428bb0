// A platform on which every output channel of the debug print received
// something, for the tests of the report's channel section.
#pragma once
#include "diag/debug_channels.h"
#include "platform/access.h"
#include "tests/support/platform_fixture.h"

namespace test {

// One die; the serial UART memory-mapped at 0x10000, apart from the first
// serial port; a debug agent attached, with a mailbox buffer that collects
// into an area of 4 bytes.
inline sim::Scenario ChannelsScenario() {
  return sim::ParseScenario(
      "[[socket]]\n[[socket.die]]\nroot_bus = 0\n"
      "[serial]\nbase = 0x10000\n"
      "[agent]\npresent = true\n"
      "[mailbox]\ncapacity = 4\ncollect = true\n",
      "channels.toml");
}

// After the boot: a hand-over before the breakpoint is armed (not caught);
// then, with every channel on, the set-up, one message through the dispatcher,
// and a 6-byte text into the mailbox's collect area (4 handed over, 2 held).
inline void DriveChannels(sim::Platform& p) {
  constexpr DebugSettings kAllOn = {1, 1, 1, 1, 1, 0x80, kDefaultDebugLevelMask, 0x10000};
  const uint64_t text = p.memory().PoolAlloc(8);
  p.memory().WriteBytes(text, "abcdef\0", 8);
  const sim::Devices& d = p.hardware().devices();
  const MailboxBuffer buffer{reinterpret_cast<MailboxBufferHeader*>(d.MailboxAddress()), d.MailboxSize()};
  p.Run([&] {
    PortWrite32Tagged(kMailboxTag, 0x1000, 3);
    DebugPrintInitWith(kAllOn, DebugChannelList);
    DebugPrintWith(kAllOn, kDebugLevelCore, "Channel %d\n", 3);
    MailboxDeliver(&buffer, reinterpret_cast<const uint8_t*>(text), 6);
  });
}

}  // namespace test
