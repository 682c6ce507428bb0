// The virtual platform's own semantics: what the driver can rely on from the
// firmware and hardware models.
#include "tests/support/platform_fixture.h"
#include "sim/report/report.h"
#include "sim/board/platform_stack.h"
#include "uefi/pcd.h"

namespace {

std::vector<std::string> gNotified;
sim::Firmware* gFirmware;
uint64_t gInnerEvent;

void EFIAPI NotifyA(EfiEvent, void*) { gNotified.push_back("A@" + std::to_string(gFirmware->CurrentTpl())); }
void EFIAPI NotifyB(EfiEvent, void*) { gNotified.push_back("B@" + std::to_string(gFirmware->CurrentTpl())); }
void EFIAPI NotifyC(EfiEvent, void*) { gNotified.push_back("C@" + std::to_string(gFirmware->CurrentTpl())); }
// Signals another event from inside a notify function.
void EFIAPI NotifySignalling(EfiEvent, void*) {
  gNotified.push_back("S@" + std::to_string(gFirmware->CurrentTpl()));
  gFirmware->SignalEvent(gInnerEvent);
  gNotified.push_back("S-end");
}

uint64_t Fn(void (*f)(EfiEvent, void*) __attribute__((ms_abi))) { return reinterpret_cast<uint64_t>(f); }

class Events : public ::testing::Test {
 protected:
  void SetUp() override {
    gNotified.clear();
    gFirmware = &platform.firmware();
  }
  uint64_t Create(uint64_t tpl, uint64_t fn, const Guid* group = nullptr) {
    uint64_t e = 0;
    EXPECT_EQ(platform.firmware().CreateEvent(EVT_NOTIFY_SIGNAL, tpl, fn, 0, group, &e), EFI_SUCCESS);
    return e;
  }
  sim::Platform platform{test::Scenario("")};
};

const Guid kGroup = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

TEST_F(Events, GroupNotifiesRunFromTheHighestLevelDown) {
  Create(TPL_CALLBACK, Fn(NotifyA), &kGroup);
  Create(TPL_NOTIFY, Fn(NotifyB), &kGroup);
  Create(TPL_CALLBACK, Fn(NotifyC), &kGroup);
  Create(TPL_NOTIFY, Fn(NotifyA));  // not in the group
  platform.SignalGroup(kGroup);
  EXPECT_EQ(gNotified, (std::vector<std::string>{"B@16", "A@8", "C@8"}));
  EXPECT_EQ(platform.firmware().CurrentTpl(), TPL_APPLICATION);
}

TEST_F(Events, SignalRunsAHigherLevelNotifyAtOnceAndALowerOneLater) {
  uint64_t outer = Create(TPL_CALLBACK, Fn(NotifySignalling));
  gInnerEvent = Create(TPL_NOTIFY, Fn(NotifyB));
  platform.Run([&] { platform.firmware().SignalEvent(outer); });
  EXPECT_EQ(gNotified, (std::vector<std::string>{"S@8", "B@16", "S-end"}));

  gNotified.clear();
  outer = Create(TPL_NOTIFY, Fn(NotifySignalling));
  gInnerEvent = Create(TPL_CALLBACK, Fn(NotifyA));
  platform.Run([&] { platform.firmware().SignalEvent(outer); });
  EXPECT_EQ(gNotified, (std::vector<std::string>{"S@16", "S-end", "A@8"}));
}

TEST_F(Events, RaisedLevelHoldsNotifiesBackUntilRestored) {
  uint64_t e = Create(TPL_CALLBACK, Fn(NotifyA));
  uint64_t old = platform.firmware().RaiseTpl(TPL_NOTIFY);
  platform.firmware().SignalEvent(e);
  EXPECT_TRUE(gNotified.empty());
  platform.firmware().RestoreTpl(old);
  EXPECT_EQ(gNotified, (std::vector<std::string>{"A@8"}));
}

TEST_F(Events, ClosedEventNeverNotifiesAgain) {
  uint64_t e = Create(TPL_NOTIFY, Fn(NotifyA), &kGroup);
  platform.SignalGroup(kGroup);
  EXPECT_EQ(platform.firmware().CloseEvent(e), EFI_SUCCESS);
  platform.SignalGroup(kGroup);
  EXPECT_EQ(platform.firmware().SignalEvent(e), EFI_INVALID_PARAMETER);
  EXPECT_EQ(platform.firmware().CloseEvent(e), EFI_INVALID_PARAMETER);
  EXPECT_EQ(gNotified.size(), 1u);
}

TEST_F(Events, ProtocolNotifyFiresOnEveryLaterInstallation) {
  const Guid proto = {0xABCDEF01, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  uint64_t e = Create(TPL_CALLBACK, Fn(NotifyA));
  uint64_t registration = 0;
  ASSERT_EQ(platform.firmware().RegisterProtocolNotify(proto, e, &registration), EFI_SUCCESS);
  EXPECT_TRUE(gNotified.empty()) << "registration alone signals nothing";
  uint64_t handle = 0;
  ASSERT_EQ(platform.firmware().InstallProtocolInterface(&handle, proto, 0, 0x1234), EFI_SUCCESS);
  EXPECT_NE(handle, 0u) << "a null handle gets a new one";
  uint64_t second = 0;
  platform.firmware().InstallProtocolInterface(&second, proto, 0, 0x5678);
  EXPECT_NE(second, handle);
  EXPECT_EQ(gNotified.size(), 2u);
  // The registration hands out each new interface once.
  uint64_t iface = 0;
  EXPECT_EQ(platform.firmware().LocateProtocol(proto, registration, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, 0x1234u);
  EXPECT_EQ(platform.firmware().LocateProtocol(proto, registration, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, 0x5678u);
  EXPECT_EQ(platform.firmware().LocateProtocol(proto, registration, &iface), EFI_NOT_FOUND);
  // The same protocol twice on one handle is refused.
  EXPECT_EQ(platform.firmware().InstallProtocolInterface(&handle, proto, 0, 1), EFI_INVALID_PARAMETER);
}

TEST(Faults, NthAllocationFailsAndProtocolsCanBeLeftOut) {
  sim::Platform p(test::Scenario("[faults]\nfail_allocation = 2\n[protocols]\nfabric_topology = false\n"));
  uint64_t a = 0;
  EXPECT_EQ(p.firmware().AllocatePool(4, 16, &a), EFI_SUCCESS);
  EXPECT_EQ(p.firmware().AllocatePool(4, 16, &a), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(p.firmware().AllocatePool(6, 16, &a), EFI_SUCCESS);
  EXPECT_EQ(p.firmware().AllocatePool(EfiConventionalMemory, 16, &a), EFI_INVALID_PARAMETER);
  EXPECT_EQ(p.firmware().AllocatePool(14, 16, &a), EFI_INVALID_PARAMETER);
  EXPECT_EQ(p.firmware().AllocatePool(0x70000000, 8, &a), EFI_SUCCESS) << "OEM types are pool types";
  EXPECT_EQ(p.firmware().AllocatePool(6, 16, &a), EFI_SUCCESS);
  EXPECT_EQ(p.firmware().Pool().size(), 4u);
  // Fresh pool memory is not zero; freed memory is scribbled over.
  EXPECT_EQ(p.memory().Read<uint8_t>(a), sim::kFreshPoolByte);
  EXPECT_EQ(p.firmware().FreePool(a), EFI_SUCCESS);
  EXPECT_EQ(p.firmware().FreePool(a), EFI_INVALID_PARAMETER);
  EXPECT_EQ(p.memory().Read<uint8_t>(a), sim::kFreedPoolByte);
  ASSERT_EQ(p.firmware().PoolFaults().size(), 1u);
  EXPECT_EQ(p.firmware().PoolFaults()[0].kind, sim::PoolFault::DoubleFree);
  p.firmware().ClearPoolFaults();
  uint64_t iface = 0;
  EXPECT_EQ(p.firmware().LocateProtocol(FabricTopologyProtocolGuid, 0, &iface), EFI_NOT_FOUND);
  EXPECT_EQ(p.firmware().LocateProtocol(kPcdProtocolGuid, 0, &iface), EFI_SUCCESS);
}

// A freed block is checked for writes when it is handed out again and at the
// end; each block's fault is reported once.
TEST(Faults, WritesIntoFreedPoolAreCaughtAtReuseAndAtTheEnd) {
  sim::Platform p(test::Scenario(""));
  sim::Firmware& fw = p.firmware();
  uint64_t a = 0, b = 0, c = 0;
  ASSERT_EQ(fw.AllocatePool(EfiBootServicesData, 32, &a), EFI_SUCCESS);
  ASSERT_EQ(fw.AllocatePool(EfiRuntimeServicesData, 16, &b), EFI_SUCCESS);
  fw.FreePool(a);
  fw.FreePool(b);
  p.memory().Write<uint32_t>(a + 8, 1);
  p.memory().Write<uint8_t>(b + 15, 0);
  EXPECT_TRUE(fw.PoolFaults().empty());
  ASSERT_EQ(fw.AllocatePool(EfiBootServicesData, 24, &c), EFI_SUCCESS);
  EXPECT_EQ(c, a) << "the freed block of that type is reused";
  ASSERT_EQ(fw.PoolFaults().size(), 1u);
  EXPECT_EQ(fw.PoolFaults()[0].kind, sim::PoolFault::UseAfterFree);
  EXPECT_EQ(fw.PoolFaults()[0].address, a);
  EXPECT_EQ(fw.PoolFaults()[0].offset, 8u);
  EXPECT_EQ(fw.PoolFaults()[0].bytes, 4u);
  fw.CheckPool();
  fw.CheckPool();
  ASSERT_EQ(fw.PoolFaults().size(), 2u);
  EXPECT_EQ(fw.PoolFaults()[1].address, b);
  EXPECT_EQ(fw.PoolFaults()[1].offset, 15u);
  EXPECT_NE(sim::TextReport(p, sim::BootResult{}).find("FAULT: use after free: 1 of the 16 bytes"), std::string::npos);
  fw.ClearPoolFaults();
}

TEST(Hardware, UnmappedReadsAreAllOnesAndRootsHaveWindows) {
  sim::Platform p(test::Scenario(test::Dies({0x40})));
  p.Run([&] {
    auto& hw = p.hardware();
    EXPECT_EQ(hw.MemRead(0x1000, 4), 0xFFFFFFFFu);
    EXPECT_EQ(hw.MemRead(0xF0108000, 2), 0xFFFFu) << "bus 1 has no device";
    EXPECT_EQ(hw.MemRead(0xF00C0000, 2), 0x1022u);
    EXPECT_EQ(hw.MemRead(0xF00C0084, 1), 0x40u);
    hw.MemWrite(0xF40000B8, 4, 0x50000);
    hw.MemWrite(0xF40000BC, 4, 0xCAFE);
    hw.MemWrite(0xF40000B8, 4, 0x50000);
    EXPECT_EQ(hw.MemRead(0xF40000BC, 4), 0xCAFEu);
  });
  ASSERT_EQ(p.hardware().InternalWrites().size(), 1u);
  EXPECT_EQ(p.hardware().InternalWrites()[0].bus, 0x40);
}

// Below DRAM and above 4 GiB, where no device decodes and no bytes are placed,
// reads answer all ones and writes are dropped; each such access stays in the
// log as made, and the report lists the places.
TEST(Hardware, NothingAnswersAllOnesDropsWritesAndIsListed) {
  {
    sim::Platform p(test::Scenario(test::Dies({0x40}) + "[[memory]]\naddress = 0x20000\ndata = [1, 2]\n"));
    p.Run([&] {
      auto& hw = p.hardware();
      EXPECT_EQ(hw.MemRead(0x8, 4), 0xFFFFFFFFu);
      hw.MemWrite(0x8, 4, 0x1234);
      EXPECT_EQ(hw.MemRead(0x8, 4), 0xFFFFFFFFu);
      EXPECT_EQ(hw.MemRead(0x200000000, 8), ~0ull);
      EXPECT_EQ(hw.MemRead(0x20000, 4), 0xFFFF0201u) << "placed bytes answer, the rest reads all ones";
      hw.MemRead(0xF0108000, 2);  // configuration space decodes, an absent function too
    });
    const auto& hw = p.hardware();
    ASSERT_EQ(hw.Nothing().size(), 3u);
    EXPECT_EQ(hw.NothingTotal(), 4u);
    EXPECT_EQ(hw.Nothing()[0].address, 0x8u);
    EXPECT_EQ(hw.Nothing()[0].count, 2u);
    EXPECT_TRUE(hw.Nothing()[1].write);
    EXPECT_EQ(hw.Nothing()[2].address, 0x200000000u);
    EXPECT_EQ(hw.Nothing()[2].width, 8);
    const auto writes = test::Writes(hw, sim::AccessKind::Mmio);
    ASSERT_EQ(writes.size(), 1u) << "the dropped write is in the log as made";
    EXPECT_EQ(writes[0].value, 0x1234u);
    const std::string text = sim::TextReport(p, sim::BootResult{});
    EXPECT_NE(text.find("nothing at 0x0000000000000008  read  32 bits, 2 times"), std::string::npos) << text;
    EXPECT_EQ(sim::JsonReport(p, sim::BootResult{})["nothing"]["accesses"], 4u);
  }
  // A driver that roams: the first places are listed, every access counted.
  sim::Platform roam(test::Scenario(""));
  roam.Run([&] {
    for (uint64_t a = 0; a < 100; ++a) roam.hardware().MemRead(0x100000000 + 4 * a, 4);
  });
  EXPECT_EQ(roam.hardware().Nothing().size(), sim::Hardware::kNothingPlaces);
  EXPECT_EQ(roam.hardware().NothingTotal(), 100u);
  EXPECT_TRUE(sim::JsonReport(roam, sim::BootResult{})["nothing"]["more_places"]);
}

TEST(Hardware, RunawayDriverIsStopped) {
  sim::Platform p(test::Scenario("[limits]\nmax_accesses = 1000\n"));
  EXPECT_FALSE(p.Run([&] {
    for (;;) p.hardware().PortIn(0x80, 1);
  }));
}

TEST(Dispatch, DriverRunsOnAStackInPlatformMemory) {
  sim::Platform p(test::Scenario(""));
  uint64_t local = 0;
  p.Run([&] {
    int here = 0;
    local = reinterpret_cast<uint64_t>(&here);
  });
  EXPECT_GE(local, sim::kStackBase);
  EXPECT_LT(local, sim::kStackBase + sim::kStackSize);
  EXPECT_LT(local, 1ull << 32);
}

TEST(Scenario, BadFilesNameTheLineAndTheKey) {
  struct Case {
    const char* text;
    const char* expect;
  } cases[] = {
      {"[[socket]]\n[[socket.die]]\nroot_bus = 300\n", "test.toml:3: key 'socket[0].die[0].root_bus'"},
      {"[agent]\npresnt = true\n", "test.toml:2: key 'agent.presnt': unknown key"},
      {"[pcd]\nx243 = 1\n", "key 'pcd.x243'"},
      {"[boot]\nevents = [\"reboot\"]\n", "unknown event 'reboot'"},
      {"[faults\n", "test.toml:1:"},
      {"[`socket]]\n", "test.toml"},
      {"name = \"x\"\n# caf\xC3\xA9\n", "test.toml:2: scenario files are ASCII"},
      {"[[socket]]\n[[socket.die]]\nvendor = 1\n", "missing"},
      {"[[socket]]\n[[socket.die]]\nroot_bus = 0\n[[socket.die.channel]]\nbase_addr = [1, 2]\n",
       "test.toml:5: key 'socket[0].die[0].channel[0].base_addr': expected 4 values"},
      {"[[socket]]\n[[socket.die]]\nroot_bus = 0\nchannel = [{}, {}, {}]\n", "a die has two channels"},
      {"[[socket]]\n[[socket.die]]\nroot_bus = 0\nchannel = [{ registers = { 0x202 = 1 } }]\n", "multiples of 4"},
      {"[[socket]]\n[[socket.die]]\nroot_bus = 0\nchannel = [{ base = [1] }]\n", "channel[0].base': unknown key"},
      // Allocator requests: one table per event, one target form, one type form, a length.
      {"[boot]\nevents = [\"mmio_request\"]\n", "key 'boot.mmio_request': 0 tables for 1"},
      {"[[boot.mmio_request]]\nlength = 0\n", "key 'boot.mmio_request': 1 tables for 0"},
      {"[boot]\nevents = [\"mmio_request\"]\n[[boot.mmio_request]]\nbus = 1\ndie = 0\nlength = 0\n", "not both"},
      {"[boot]\nevents = [\"mmio_request\"]\n[[boot.mmio_request]]\ntype = 1\nattribute = 0x40\nlength = 0\n", "not both"},
      {"[boot]\nevents = [\"mmio_request\"]\n[[boot.mmio_request]]\nsocket = 0\n", "mmio_request[0].length': missing"},
      {"[boot]\nevents = [\"mmio_request\"]\n[[boot.mmio_request]]\nsocket = 4\nlength = 0\n", "test.toml:4: key 'boot.mmio_request[0].socket'"},
      {"[boot]\nevents = [\"mmio_request\"]\n[[boot.mmio_request]]\ntype = 4\nlength = 0\n", "mmio_request[0].type'"},
      // A PSP status that changes: steps of one answer each; only the last holds.
      {"[psp]\nstatus = 0\nstatus_sequence = [{ status = 0 }]\n", "give 'status_sequence' or 'status', not both"},
      {"[psp]\nstatus_sequence = []\n", "1 to 64 steps"},
      {"[psp]\nstatus_sequence = [{ status = 0 }, { boot = \"normal\" }]\n", "status_sequence[0].reads': missing"},
      {"[psp]\nstatus_sequence = [{ status = 0, reads = 1 }, { boot = \"normal\", reads = 1 }]\n", "no 'reads'"},
      {"[psp]\nstatus_sequence = [{ status = 0, boot = \"normal\" }]\n", "give 'boot' or 'status'"},
      {"[psp]\nstatus_sequence = [{ boot = \"late\" }]\n", "status_sequence[0].boot': unknown 'late'"},
      // The agent writes whole values into DRAM only.
      {"[[agent.on_trap]]\ncode = 1\naddress = 0x40000000\nwidth = 3\n", "on_trap[0].width': 1, 2, 4 or 8"},
      {"[[agent.on_trap]]\ncode = 1\naddress = 0x3FFFFFFE\n", "on_trap[0].address': the agent writes DRAM only"},
      {"[[agent.on_trap]]\ncode = 1\naddress = 0x40000000\nwidth = 1\nvalue = 0x100\n", "wider than its width"},
      {"[faults]\ncreate_event_warning = -1\n", "faults.create_event_warning"},
  };
  for (const Case& c : cases) {
    try {
      test::Scenario(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const sim::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expect), std::string::npos) << e.what();
    }
  }
}

// Nesting that the TOML parser would recurse into is refused before it reads
// the file, naming where it passes 64 levels; text that only looks deep
// (strings, comments, a quoted key's dots) is not counted.
TEST(Scenario, DeepNestingIsRefusedAtItsLineAndKey) {
  auto parts = [](size_t n, const std::string& part) {
    std::string s = part;
    for (size_t i = 1; i < n; ++i) s += "." + part;
    return s;
  };
  const std::string deep = parts(100000, "a"), limit = "': nested more than 64 levels deep";
  // Six lines: a multi-line string holding a header, an escaped quote and a
  // line-ending backslash, a comment, a literal string.
  const std::string looksDeep = "description = \"\"\"\n[" + deep + "]\n\\\"\"\" { [ ' \\\n\"\"\"\n# [[" + deep +
                                "]] = {\nname = '" + deep + " \"'\n";
  EXPECT_EQ(test::Scenario(looksDeep).name, deep + " \"");
  struct Case {
    std::string text, expect;
  } cases[] = {
      {deep + " = 1\n", "test.toml:1: key '" + parts(65, "a") + limit},
      {"name = 'x'\n[" + deep + "]\n", "test.toml:2: key '" + parts(65, "a") + limit},
      {"[[" + deep + "]]\n", "test.toml:1: key '" + parts(65, "a") + limit},
      {"x = { y = 1, " + deep + " = 1 }\n", "test.toml:1: key 'x." + parts(64, "a") + limit},
      {"[" + parts(32, "a") + "]\n" + parts(33, "b") + " = 1\n", "test.toml:2: key '" + parts(32, "a") + "." + parts(33, "b") + limit},
      {looksDeep + parts(65, "c") + " = 1\n", "test.toml:7: key '" + parts(65, "c") + limit},
      {"x = " + std::string(1000, '[') + "\n", "test.toml:1: key 'x" + limit},
      {"x = [\n[[  # [[\n[\n" + std::string(1000, '[') + "\n", "test.toml:4: key 'x" + limit},
      // Up to the limit: the reader goes on to the keys.
      {"[" + parts(32, "a") + "]\n" + parts(32, "b") + " = 1\n", "test.toml:1: key 'a': unknown key"},
      {"[" + parts(63, "a") + "]\n\"" + deep + "\" = 1\n", "test.toml:1: key 'a': unknown key"},
  };
  for (const Case& c : cases) {
    try {
      test::Scenario(c.text);
      ADD_FAILURE() << "accepted: " << c.text.substr(0, 200);
    } catch (const sim::ScenarioError& e) {
      EXPECT_EQ(std::string(e.what()).find(c.expect), 0u) << e.what() << "\n" << c.expect;
    }
  }
}

TEST(Scenario, ShippedScenariosLoad) {
  for (const char* name : {"default"}) {
    sim::Scenario s = sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/" + name + ".toml");
    EXPECT_EQ(s.name, name);
  }
  sim::Scenario s = sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml");
  ASSERT_EQ(s.sockets.size(), 2u);
  EXPECT_EQ(s.sockets[0].dies.size(), 4u);
  EXPECT_EQ(s.sockets[1].dies.size(), 4u);
}

}  // namespace

namespace {

// A driver that creates events without end exhausts the firmware's own region:
// the service then fails as firmware does, instead of the platform giving up.
TEST(Faults, FirmwareRegionExhaustedFailsTheService) {
  sim::Platform p(test::Scenario(""));
  uint64_t status = 0, e = 0;
  size_t created = 0;
  for (; created < 200000; ++created) {
    status = p.firmware().CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, 0x1000, 0, nullptr, &e);
    if (status != EFI_SUCCESS) break;
  }
  EXPECT_EQ(status, EFI_OUT_OF_RESOURCES);
  EXPECT_GT(created, 1000u);
  uint64_t handle = 0;
  EXPECT_EQ(p.firmware().InstallProtocolInterface(&handle, MemInfoProtocolGuid, 0, 1), EFI_OUT_OF_RESOURCES);
}

}  // namespace

namespace {

TEST(Scenario, HobDataIsBounded) {
  std::string data = "data = [";
  for (int i = 0; i < 4000; ++i) data += "1,";
  data += "]\n";
  std::string text;
  for (int i = 0; i < 17; ++i) text += "[[hob]]\nguid = \"11223344-5566-7788-99AA-BBCCDDEEFF00\"\n" + data;
  try {
    test::Scenario(text);
    ADD_FAILURE() << "accepted 68000 bytes of HOB data";
  } catch (const sim::ScenarioError& e) {
    EXPECT_NE(std::string(e.what()).find("key 'hob[16].data'"), std::string::npos) << e.what();
  }
}

}  // namespace
