// The memory-controller register snapshot: where each register's value lands,
// how the registers are read, and what the walk does with a topology that
// reports more than the snapshot holds, fails, or is not there.
#include <algorithm>
#include <set>

#include "core/channel_map.h"
#include "core/fabric_topology.h"
#include "diag/debug_settings.h"
#include "platform/access.h"
#include "tests/support/platform_fixture.h"

namespace {

// One die on root bus 0x40. Channel 0 gives every register a value of its own,
// among them the worked values: a base address 0x00001001, a mask 0x00FFFFFE,
// AddrSel 0xABCDEF12, AddrCfg 0x0030000C with chip select 0's enable bits set
// and chip select 1's clear, bit 11 only in the second DimmCfg register. Channel
// 1 enables chip selects 0, 1 and 3 and clears bit 8 of register 0x200.
const std::string kOneDie = R"(
[[socket]]
[[socket.die]]
root_bus = 0x40
[[socket.die.channel]]
base_addr = [0x00001001, 0x00002000, 0x00000000, 0x00000000]
base_addr_sec = [0x00000011, 0x00000020, 0x00000030, 0x00000040]
addr_mask = [0x00FFFFFE, 0x0000F000]
addr_mask_sec = [0xA0000000, 0xA0000001]
addr_cfg = [0x0030000C, 0xFFFFFFFF]
addr_sel = [0xABCDEF12, 0x12F00034]
col_sel_lo = [0x50, 0x58]
col_sel_hi = [0x54, 0x5C]
rm_sel = [0x70, 0x74]
rm_sel_sec = [0x78, 0x7C]
dimm_cfg = [0xFFFFF7FF, 0x00000800]
addr_hash_bank = [0xC8, 0xCC, 0xD0, 0xD4, 0xD8]
addr_hash_cs = [0xE8, 0xEC]
registers = { 0x200 = 0x00000100 }
[[socket.die.channel]]
base_addr = [0x11, 0x21, 0x30, 0x41]
dimm_cfg = [0x00000800, 0]
registers = { 0x200 = 0xFFFFFEFF }
)";

uint64_t ChannelMapAddress(sim::Platform& p) {
  MemInfoRecord r{};
  return test::PublishedRecord(p, &r) ? r.ChannelMap : 0;
}

ChannelMapSnapshot Snapshot(sim::Platform& p) {
  ChannelMapSnapshot m;
  const auto bytes = p.memory().ReadBytes(ChannelMapAddress(p), sizeof m);
  std::memcpy(&m, bytes.data(), sizeof m);
  return m;
}

// The window accesses (index and data registers of any root) the boot made.
std::vector<sim::Access> WindowAccesses(const sim::Hardware& hw) {
  std::vector<sim::Access> out;
  for (const auto& a : test::Accesses(hw, sim::AccessKind::Mmio))
    if (a.address >= PciConfigBase && (a.address & 0xFFFFF) >= 0xB8 && (a.address & 0xFFFFF) <= 0xBC) out.push_back(a);
  return out;
}

// What the first serial port transmitted (the debug variant's lines).
std::string SerialText(sim::Platform& p) {
  const sim::Uart* uart = p.hardware().devices().UartAt(0x3F8);
  return uart == nullptr ? "" : std::string(uart->Transmitted().begin(), uart->Transmitted().end());
}

// The offset of the first byte where two snapshots differ, or -1.
long FirstDifference(const ChannelMapSnapshot& a, const ChannelMapSnapshot& b) {
  const auto* x = reinterpret_cast<const uint8_t*>(&a);
  const auto* y = reinterpret_cast<const uint8_t*>(&b);
  for (size_t i = 0; i < sizeof a; ++i)
    if (x[i] != y[i]) return long(i);
  return -1;
}

TEST(Snapshot, OneDieFillsSlotsZeroAndOneAndNothingElse) {
  sim::Platform p(test::Scenario(kOneDie));
  ASSERT_EQ(p.Boot().entryStatus, EFI_SUCCESS);
  const uint64_t at = ChannelMapAddress(p);
  const auto& pool = p.firmware().Pool();
  const auto block = std::find_if(pool.begin(), pool.end(), [&](const sim::PoolBlock& b) { return b.address == at; });
  ASSERT_NE(block, pool.end());
  EXPECT_EQ(block->size, 3366u);
  EXPECT_EQ(block->type, uint32_t(EfiReservedMemoryType));

  // Every byte of the 3366, reserved ranges included, is zero but these.
  ChannelMapSnapshot e{};
#define ROW(field, ...)                             \
  {                                                 \
    const uint32_t v[] = {__VA_ARGS__};             \
    std::memcpy(e.field, v, sizeof v);              \
  }
  e.CsEnabledCount[0] = 1;
  e.CsEnabledMask[0] = 0x01;
  ROW(BaseAddr[0], 0x1000, 0x2000, 0, 0);
  ROW(BaseAddrSec[0], 0x10, 0x20, 0x30, 0x40);
  ROW(AddrMask[0], 0x00FFFFFF, 0x0000F001);
  ROW(AddrMaskSec[0], 0xA0000001, 0xA0000001);
  ROW(AddrCfg[0], 0x01300031, 0x003FFFF0);  // of 0x34 only the bits the word takes, none of its enables
  ROW(BankBit[0], 0x000DEF12, 0x00000034);  // bits 23:20 go into neither field
  ROW(RowHiLo[0], 0xAB, 0x12);
  ROW(ColSelLo[0], 0x50, 0x58);
  ROW(ColSelHi[0], 0x54, 0x5C);
  ROW(RmSel[0], 0x70, 0x74);
  ROW(RmSelSec[0], 0x78, 0x7C);
  ROW(DimmCfg[0], 0x20, 0x2020);
  ROW(AddrHashCS[0], 0xE8, 0xEC);
  for (uint32_t n = 0; n < 5; ++n) e.AddrHashBank[n][0] = 0xC8 + 4 * n;
  // Slot 1: unlisted registers read 0, so its masks are only their forced bit 0.
  e.CsEnabledCount[1] = 3;
  e.CsEnabledMask[1] = 0x0B;
  ROW(BaseAddr[1], 0x10, 0x20, 0x30, 0x40);
  ROW(AddrMask[1], 1, 1);
  ROW(AddrMaskSec[1], 1, 1);
  ROW(AddrCfg[1], 0x3, 0x2);
  ROW(DimmCfg[1], 0x2000, 0);
#undef ROW
  EXPECT_EQ(FirstDifference(Snapshot(p), e), -1);
}

// Each of a channel's 34 registers is read once: an index write of its internal
// address, then a data read, on the die's own root bus.
TEST(Snapshot, EachRegisterIsReadOnceThroughTheDiesWindow) {
  uint64_t status = 0;
  {
    // The default platform: 16 channels, 1,088 window accesses before ReadyToBoot.
    sim::Platform full(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml"));
    ASSERT_TRUE(full.CallEntry(&status));
    EXPECT_EQ(WindowAccesses(full.hardware()).size(), 1088u);
  }
  sim::Platform p(test::Scenario(kOneDie));
  ASSERT_TRUE(p.CallEntry(&status));
  const auto window = WindowAccesses(p.hardware());
  ASSERT_EQ(window.size(), 2u * 2 * 34);
  const std::set<uint32_t> offsets = {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x28, 0x2C,
                                      0x30, 0x34, 0x40, 0x44, 0x50, 0x54, 0x58, 0x5C, 0x70, 0x74, 0x78, 0x7C,
                                      0x80, 0x84, 0xC8, 0xCC, 0xD0, 0xD4, 0xD8, 0xE8, 0xEC, 0x200};
  for (uint32_t channel = 0; channel < 2; ++channel) {
    std::multiset<uint32_t> read;
    for (size_t i = channel * 68; i < channel * 68 + 68; i += 2) {
      const sim::Access& index = window[i];
      const sim::Access& data = window[i + 1];
      EXPECT_TRUE(index.write && index.width == 4 && index.address == 0xF40000B8) << i;
      EXPECT_TRUE(!data.write && data.width == 4 && data.address == 0xF40000BC) << i;
      read.insert(uint32_t(index.value - 0x50000 - channel * 0x100000));
    }
    EXPECT_EQ(read, std::multiset<uint32_t>(offsets.begin(), offsets.end())) << "channel " << channel;
  }
}

// Socket 1's third die answers on root bus 255, the last valid one: its
// registers are read and stored like any other die's. Its AddrCfg registers
// hold bit 6 alone, which lies in none of the word's fields.
TEST(Snapshot, Slot13IsSocket1Die2Channel1) {
  std::string t = "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[[socket]]\n";
  for (int bus : {0x80, 0xA0, 0xFF}) t += "[[socket.die]]\nroot_bus = " + std::to_string(bus) + "\n";
  t += "[[socket.die.channel]]\n[[socket.die.channel]]\nbase_addr = [0x301, 0x302, 0x304, 0x309]\n"
       "addr_cfg = [0x40, 0x40]\naddr_hash_bank = [1, 2, 3, 4, 0xA5A4A3A2]\n";
  sim::Platform p(test::Scenario(t));
  p.Boot();
  const uint64_t at = ChannelMapAddress(p);
  ASSERT_NE(at, 0u);
  EXPECT_EQ(p.memory().ReadBytes(at + 0x330, 16),
            (std::vector<uint8_t>{0, 3, 0, 0, 0x02, 3, 0, 0, 0x04, 3, 0, 0, 0x08, 3, 0, 0}));
  EXPECT_EQ(p.memory().ReadBytes(at + 0x154, 4), (std::vector<uint8_t>{0xA2, 0xA3, 0xA4, 0xA5}));
  // Only the chip-select enables: DIMM 0's first, DIMM 1's second.
  EXPECT_EQ(p.memory().Read<uint64_t>(at + offsetof(ChannelMapSnapshot, AddrCfg) + 13 * 16), 0x0000000200000001u);
  EXPECT_EQ(p.memory().Read<uint8_t>(at + 13), 2) << "CsEnabledCount of slot 13";
  EXPECT_EQ(p.memory().Read<uint8_t>(at + 0x10 + 13), 0x09) << "CsEnabledMask of slot 13";
}

// Without sockets, or without the topology protocol, the zeroed buffer is still
// published and nothing is read or printed; the build reports a missing protocol.
TEST(Snapshot, NothingToWalkPublishesTheZeroedBuffer) {
  for (const char* extra : {"", "[protocols]\nfabric_topology = false\n"}) {
    sim::Platform p(test::Scenario(std::string(*extra ? test::Dies({0, 0x20}) : "") + extra));
    ASSERT_EQ(p.Boot().entryStatus, EFI_SUCCESS) << extra;
    ASSERT_NE(ChannelMapAddress(p), 0u);
    EXPECT_EQ(FirstDifference(Snapshot(p), ChannelMapSnapshot{}), -1) << extra;
    EXPECT_TRUE(WindowAccesses(p.hardware()).empty()) << extra;
    const sim::Uart* uart = p.hardware().devices().UartAt(0x3F8);
    const std::string text(uart->Transmitted().begin(), uart->Transmitted().end());
    EXPECT_EQ(text.find("socket"), std::string::npos) << text;
  }
  // The build's own status: not found, also for a protocol installed with a null interface.
  for (bool nullInterface : {false, true}) {
    sim::Platform p(test::Scenario(test::Dies({0}) + "[protocols]\nfabric_topology = false\n"));
    uint64_t handle = 0;
    if (nullInterface) p.firmware().InstallProtocolInterface(&handle, FabricTopologyProtocolGuid, EFI_NATIVE_INTERFACE, 0);
    p.Boot();
    EfiStatus status = 0;
    p.Run([&] { status = ChannelMapBuild(*mMemInfoRecord); });
    EXPECT_EQ(status, EFI_NOT_FOUND) << nullInterface;
    EXPECT_TRUE(WindowAccesses(p.hardware()).empty());
  }
}

// A failed allocation leaves ChannelMap null, reads no register and does not
// look for the topology; the body goes on. A build whose allocation fails leaves
// a record that has a snapshot as it was.
TEST(Snapshot, WithoutItsBufferNothingIsRead) {
  // The allocation to fail: the one of 3366 bytes, counted among all of the boot.
  size_t nth = 0, total = 0;
  {
    sim::Platform first(test::Scenario(test::Dies({0})));
    first.Boot();
    for (const auto& c : first.firmware().Calls())
      if (c.service == "AllocatePool" && (++nth, c.detail.find(", 3366 bytes") != std::string::npos)) break;
    for (const auto& c : first.firmware().Calls()) total += c.service == "AllocatePool";
  }
  {
    sim::Platform p(test::Scenario(test::Dies({0}) + "[faults]\nfail_allocation = " + std::to_string(nth) + "\n"));
    ASSERT_EQ(p.Boot().entryStatus, EFI_SUCCESS);
    MemInfoRecord r{};
    ASSERT_TRUE(test::PublishedRecord(p, &r));
    EXPECT_EQ(r.ChannelMap, 0u);
    EXPECT_TRUE(WindowAccesses(p.hardware()).empty());
    size_t locates = 0;  // the chip-select build's own, which comes after
    for (const auto& c : p.firmware().Calls()) locates += c.detail.find("FabricTopologyProtocol") != std::string::npos;
    EXPECT_EQ(locates, 1u);
  }

  // The boot's allocations all succeed; the build's next one, called on its own, fails.
  sim::Platform again(test::Scenario(test::Dies({0}) + "[faults]\nfail_allocation = " + std::to_string(total + 1) + "\n"));
  ASSERT_EQ(again.Boot().entryStatus, EFI_SUCCESS);
  MemInfoRecord before{};
  ASSERT_TRUE(test::PublishedRecord(again, &before));
  ASSERT_NE(before.ChannelMap, 0u);
  const size_t blocks = again.firmware().Pool().size();
  const size_t accesses = WindowAccesses(again.hardware()).size();
  EfiStatus status = 0;
  again.Run([&] { status = ChannelMapBuild(*mMemInfoRecord); });
  EXPECT_EQ(status, EFI_OUT_OF_RESOURCES);
  MemInfoRecord after{};
  ASSERT_TRUE(test::PublishedRecord(again, &after));
  EXPECT_EQ(after.ChannelMap, before.ChannelMap);
  EXPECT_EQ(again.firmware().Pool().size(), blocks);
  EXPECT_EQ(WindowAccesses(again.hardware()).size(), accesses);
}

// A third socket and fifth dies: the topology reports them, the walk skips them
// without reading a register of theirs. A fifth die of socket 0 would otherwise
// land in socket 1's first slots.
TEST(Snapshot, ChannelsBeyondTheRoomAreSkipped) {
  auto platform = [](bool extra) {
    std::string t;
    for (int socket = 0; socket < (extra ? 3 : 2); ++socket) {
      t += "[[socket]]\n";
      for (int die = 0; die < (extra && socket < 2 ? 5 : 4); ++die)
        t += "[[socket.die]]\nroot_bus = " + std::to_string(socket * 0x50 + die * 0x10) +
             "\n[[socket.die.channel]]\nbase_addr = [" + std::to_string(0x1001 + socket * 0x100 + die * 0x10) +
             ", 0, 0, 0]\n[[socket.die.channel]]\naddr_sel = [" + std::to_string(0xAB000000u + uint32_t(die)) + ", 0]\n";
    }
    return t;
  };
  std::vector<uint8_t> expected;
  {
    sim::Platform within(test::Scenario(platform(false)));
    within.Boot();
    expected = within.memory().ReadBytes(ChannelMapAddress(within), 3366);
  }
  sim::Platform beyond(test::Scenario(platform(true)));
  ASSERT_EQ(beyond.Boot().entryStatus, EFI_SUCCESS);
  EXPECT_EQ(beyond.memory().ReadBytes(ChannelMapAddress(beyond), 3366), expected);
  EXPECT_EQ(WindowAccesses(beyond.hardware()).size(), 16u * 68);
  // Buses of the skipped dies: 0x40 and 0x90 (the fifth dies), 0xA0 to 0xD0 (socket 2).
  for (const auto& a : WindowAccesses(beyond.hardware())) {
    const uint64_t bus = (a.address - PciConfigBase) >> 20;
    EXPECT_TRUE(bus != 0x40 && bus != 0x90 && bus < 0xA0) << std::hex << bus;
  }
  bool reportedThree = false;
  for (const auto& c : beyond.firmware().Calls()) reportedThree |= c.service == "TopologySystemInfo" && c.detail == "3 sockets";
  EXPECT_TRUE(reportedThree);
  if (kDebugSettings.DebugPrintEnabled != 0)
    for (int socket : {0, 1})
      EXPECT_NE(SerialText(beyond).find("\nsocket " + std::to_string(socket) +
                                        ": 5 dies reported, the snapshot holds 4: dies 4 and up skipped\r"),
                std::string::npos);
}

// A topology protocol that misbehaves: an endless socket count, a socket whose
// die count fails, a die whose root bus fails and one beyond bus 255. Only the
// dies with a good root bus are captured, and the walk ends.
struct FakeTopology {
  FabricTopologyProtocol protocol;
  static EfiStatus EFIAPI SystemInfo(FabricTopologyProtocol*, uint64_t* sockets, uint64_t*, void*) {
    *sockets = ~0ull;
    return EFI_SUCCESS;
  }
  static EfiStatus EFIAPI SocketInfo(FabricTopologyProtocol*, uint64_t socket, uint64_t* dies, void*, void*, void*) {
    *dies = socket == 0 ? 3 : 4;
    return socket == 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
  }
  static EfiStatus EFIAPI RootBus(FabricTopologyProtocol*, uint64_t, uint64_t die, uint64_t, void*, uint64_t* bus,
                                  void*) {
    *bus = die == 0 ? 0x20 : die == 1 ? 0x40 : 0x120;
    return die == 1 ? EFI_DEVICE_ERROR : EFI_SUCCESS;
  }
};

TEST(Snapshot, AFailingTopologyGivesNoSlotAnotherDiesValues) {
  sim::Platform p(test::Scenario(test::Dies({0x20, 0x40}) + "[protocols]\nfabric_topology = false\n"));
  static FakeTopology fake = {{FakeTopology::SystemInfo, FakeTopology::SocketInfo, nullptr, FakeTopology::RootBus}};
  uint64_t handle = 0;
  ASSERT_EQ(p.firmware().InstallProtocolInterface(&handle, FabricTopologyProtocolGuid, EFI_NATIVE_INTERFACE,
                                                  reinterpret_cast<uint64_t>(&fake)),
            EFI_SUCCESS);
  ASSERT_EQ(p.Boot().entryStatus, EFI_SUCCESS);
  const auto window = WindowAccesses(p.hardware());
  EXPECT_EQ(window.size(), 2u * 68);
  for (const auto& a : window) EXPECT_EQ((a.address - PciConfigBase) >> 20, 0x20u);
  // Only slots 0 and 1, from bus 0x20, whose registers all read 0.
  ChannelMapSnapshot e{};
  e.AddrMask[0][0] = e.AddrMask[0][1] = e.AddrMask[1][0] = e.AddrMask[1][1] = 1;
  e.AddrMaskSec[0][0] = e.AddrMaskSec[0][1] = e.AddrMaskSec[1][0] = e.AddrMaskSec[1][1] = 1;
  EXPECT_EQ(FirstDifference(Snapshot(p), e), -1);
  if (kDebugSettings.DebugPrintEnabled != 0)
    for (const char* die : {"1", "2"})
      EXPECT_NE(SerialText(p).find(std::string("\nsocket 0 die ") + die + ": no root bus, skipped\r"), std::string::npos);
}

// The dump lines, exactly, when the build prints; none when it does not. The
// number after "Channel" is the slot: die 1's channels are slots 2 and 3.
TEST(Snapshot, DumpLinesGoOutWhenTheBuildPrints) {
  sim::Platform p(test::Scenario("[[socket]]\n[[socket.die]]\nroot_bus = 0x20\n" +
                                 kOneDie.substr(kOneDie.find("[[socket.die]]")) + "[[socket]]\n[[socket]]\n"));
  p.Boot();
  const sim::Uart* uart = p.hardware().devices().UartAt(0x3F8);
  ASSERT_NE(uart, nullptr);
  const std::string text(uart->Transmitted().begin(), uart->Transmitted().end());
  if (kDebugSettings.DebugPrintEnabled == 0) {
    EXPECT_EQ(text.find("socket"), std::string::npos) << text;
    return;
  }
  // Both channels of the debug print share this UART; the serial channel's copy
  // of each line ends in two carriage returns.
  std::string serial;
  for (size_t from = 0, at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
    if (at - from >= 2 && text.compare(at - 2, 2, "\r\r") == 0) serial += text.substr(from, at - 2 - from) + "\n";
  const std::string slot2 =
      "\nsocket 0 die 1 channel 0 pci bus = 40\n"
      "\t\tBaseAddr-x00\t\tChannel 2 cs0 = 00001000 cs1 = 00002000 cs2 = 00000000 cs3 = 00000000\n"
      "\t\tAddrMask-x20\t\tChannel 2 Dimm0 = 00FFFFFF Dimm1 = 0000F001\n"
      "\t\tBaseAddrSec-x10\t\tChannel 2 cs0 = 00000010 cs1 = 00000020 cs2 = 00000030 cs3 = 00000040\n"
      "\t\tAddrMaskSec-x28\t\tChannel 2 Dimm0 = A0000001 Dimm1 = A0000001\n"
      "\t\tDimmCfg-x28[11]-x200[8]\tChannel 2 Dimm0 DDR4eEn = 0 BankGroupEn = 1, Dimm1 DDR4eEn = 1 BankGroupEn = 1\n"
      "\t\tAddrCfg-x30\t\tChannel 2 Dimm0 = 01300031 ([25:24]BaseAddrSec CSEnable, [1:0]BaseAddr CSEnable)\n"
      "\t\tAddrCfg-x30\t\tChannel 2 Dimm1 = 003FFFF0 ([25:24]BaseAddrSec CSEnable, [1:0]BaseAddr CSEnable)\n"
      "\t\tAddrSel-x40\t\tChannel 2 BankBit Dimm0 = 000DEF12 Dimm1 = 00000034\n"
      "\t\tAddrSel-x40\t\tChannel 2 RowHiLo Dimm0 = 000000AB Dimm1 = 00000012\n"
      "\t\tColSelLo-x50\t\tChannel 2 Dimm0 = 00000050 Dimm1 = 00000058\n"
      "\t\tColSelHi-x54\t\tChannel 2 Dimm0 = 00000054 Dimm1 = 0000005C\n"
      "\t\tRmSel-x70\t\tChannel 2 Dimm0 = 00000070 Dimm1 = 00000074\n"
      "\t\tRmSelSec-x78\t\tChannel 2 Dimm0 = 00000078 Dimm1 = 0000007C\n"
      "\t\tAddrHashBank-xC8\tChannel 2 n0 = 000000C8 n1 = 000000CC n2 = 000000D0 n3 = 000000D4 n4 = 000000D8\n"
      "\t\tAddrHashCS-xE8\t\tChannel 2 n0 = 000000E8 n1 = 000000EC\n"
      "\nsocket 0 die 1 channel 1 pci bus = 40\n"
      "\t\tBaseAddr-x00\t\tChannel 3 cs0 = 00000010 cs1 = 00000020 cs2 = 00000030 cs3 = 00000040\n";
  EXPECT_NE(serial.find(slot2), std::string::npos) << serial;
  EXPECT_NE(serial.find("\n3 sockets reported, the snapshot holds 2: sockets 2 and up skipped\n"), std::string::npos)
      << serial;
  // Two dies, two channels each: 60 group lines.
  size_t lines = 0;
  for (size_t at = 0; (at = serial.find("\tChannel ", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 60u);
}

}  // namespace
