// The emulator backend against the host backend. The same scenario booted once
// with the driver linked into this process and once with the real image in the
// emulator must give the same entry status, record, ReadyToBoot writes, PCD
// writes, firmware calls and hardware accesses, access by access. The probe image
// (tests/emulator/probe_driver.cpp) covers what the driver itself does not reach:
// every seam instruction, every modelled service with nested notify functions,
// the fatal trap, and the faults the emulator must report.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/channel_map.h"
#include "core/meminfo.h"
#include "sim/images/drux_block.h"
#include "sim/emu/emulator_dispatch.h"
#include "sim/board/platform.h"
#include "sim/scenario/scenario.h"
#include "tests/emulator/boot_outcome.h"
#include "tests/emulator/probe_driver.h"
#include "tests/support/pool_guard.h"
#include "tests/support/platform_fixture.h"

#ifdef MEMINFO_IMAGE_PATH

namespace {

using test::Boot;
using test::Outcome;

// Reports the first place two sequences part, with its neighbourhood.
void ExpectSameSequence(const std::vector<std::string>& host, const std::vector<std::string>& emu, const char* what) {
  const size_t n = std::min(host.size(), emu.size());
  for (size_t i = 0; i < n; ++i) {
    if (host[i] == emu[i]) continue;
    std::ostringstream m;
    m << what << " part at entry " << i << " of " << host.size() << " (host) / " << emu.size() << " (emulator)\n";
    for (size_t j = i > 2 ? i - 2 : 0; j < std::min(n, i + 3); ++j)
      m << (j == i ? " > " : "   ") << "host: " << host[j] << "    emulator: " << emu[j] << "\n";
    ADD_FAILURE() << m.str();
    return;
  }
  if (host.size() != emu.size())
    ADD_FAILURE() << what << ": host has " << host.size() << " entries, emulator " << emu.size() << "; the first extra: "
                  << (host.size() > n ? "host " + host[n] : "emulator " + emu[n]);
}

enum class Details { Compare, Skip };

void ExpectSameOutcome(const Outcome& host, const Outcome& emu, Details details) {
  EXPECT_EQ(host.entryReturned, emu.entryReturned);
  EXPECT_EQ(sim::StatusName(host.entryStatus), sim::StatusName(emu.entryStatus));
  EXPECT_EQ(host.halted, emu.halted);
  EXPECT_EQ(host.runaway, emu.runaway);
  EXPECT_EQ(host.record, emu.record) << "the published record";
  EXPECT_EQ(host.channelMap, emu.channelMap) << "the channel map snapshot";
  EXPECT_EQ(host.signalWrites, emu.signalWrites) << "ReadyToBoot writes per signal";
  EXPECT_EQ(host.pcdWrites, emu.pcdWrites);
  ExpectSameSequence(host.calls, emu.calls, "firmware calls");
  if (details == Details::Compare) ExpectSameSequence(host.callDetails, emu.callDetails, "firmware call details");
  ExpectSameSequence(host.accesses, emu.accesses, "hardware accesses");
  EXPECT_EQ(host.stepCounts, emu.stepCounts) << "hardware accesses per step of the boot";
  EXPECT_EQ(host.handOvers, emu.handOvers) << "debug messages the agent received";
  EXPECT_EQ(host.uartOutput, emu.uartOutput) << "what went out on each UART";
  EXPECT_EQ(host.heap, emu.heap) << "the heap list after the boot";
  EXPECT_EQ(host.trapCodes, emu.trapCodes);
  EXPECT_EQ(host.haltCode, emu.haltCode);
  EXPECT_EQ(host.haltDisplay, emu.haltDisplay);
  EXPECT_EQ(host.pool, emu.pool);
  EXPECT_EQ(host.smmMessages, emu.smmMessages);
  EXPECT_EQ(host.s3Record, emu.s3Record);
  EXPECT_EQ(host.poolFaults, emu.poolFaults);
  EXPECT_EQ(host.nothing, emu.nothing) << "where nothing answered";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Named {
  std::string name;
  std::string toml;
  std::string path = {};  // a scenario file (which may extend another), read instead of `toml`
};

sim::Scenario Parsed(const Named& s) {
  return s.path.empty() ? sim::ParseScenario(s.toml, s.name + ".toml") : sim::LoadScenario(s.path);
}

const std::string kTwoDies = "[[socket]]\n[[socket.die]]\nroot_bus = 0x00\n[[socket.die]]\nroot_bus = 0x40\n";
const std::string kSignal = "[boot]\nevents = [\"ready_to_boot\"]\n";

std::vector<Named> ScenariosIn(const std::string& folder);

std::vector<Named> DriverScenarios() {
  // Every bundled scenario, then variations they do not cover.
  std::vector<Named> out = ScenariosIn("scenarios");
  out.push_back({"install fails", kTwoDies + "[faults]\nfail_install_protocol = \"MemInfoProtocol\"\n" + kSignal});
  out.push_back({"heap list install fails, agent answers",
                 kTwoDies + "[faults]\nfail_install_protocol = \"HeapListProtocol\"\n[agent]\npresent = true\n" + kSignal});
  out.push_back({"event creation fails", kTwoDies + "[faults]\nfail_create_event_ex = 2\n" + kSignal});
  out.push_back({"no PCD protocol", kTwoDies + "[protocols]\npcd = false\n" + kSignal});
  out.push_back({"no topology, no HOB list, agent",
                 kTwoDies + "[protocols]\nfabric_topology = false\n[firmware]\nhob_list = false\n[agent]\npresent = true\n" +
                     kSignal});
  out.push_back({"two signals, overrides, 0xFFFF fields",
                 kTwoDies + "[pcd]\n16 = false\n243 = 0xFFFF\n468 = true\n469 = 0xFFFF\n470 = true\n471 = 0xFFFF\n" +
                     "[boot]\nevents = [\"ready_to_boot\", \"ready_to_boot\"]\n"});
  out.push_back({"nothing answers", "[pcd]\n16 = true\n" + kSignal});
  // The S3 closing's other paths: a record another driver published, a table
  // it refuses, no buffer and no SMM Communication (an agent takes the traps).
  out.push_back({"S3 record published, locked before", kTwoDies + "[s3]\npublished = true\n[protocols]\nsmm_ready_to_lock = true\n" + kSignal});
  out.push_back({"S3 table refused", kTwoDies + "[s3]\nsignature = 0x54335342\n[agent]\npresent = true\n" + kSignal});
  out.push_back({"S3 nowhere to send", kTwoDies + "[s3]\ncomm_buffer = false\n[agent]\npresent = true\n" + kSignal});
  out.push_back({"S3 no SMM", kTwoDies + "[s3]\n[protocols]\nsmm_communication = false\n[agent]\npresent = true\n" + kSignal});
  // Bytes captured from a board replayed outside DRAM: a DRUX block the HOB names there.
  sim::DruxBlockDesc captured;
  for (uint32_t die : {0, 1}) captured.entries.push_back({3, 1, die, {}, sim::DieMemoryData({{0, 0}})});
  std::string bytes;
  for (uint8_t b : sim::BuildDruxBlock(captured)) bytes += std::to_string(b) + ",";
  out.push_back({"DRUX block placed outside DRAM",
                 kTwoDies + "[drux]\naddress = 0x60000000\nmemory = false\n[[memory]]\naddress = 0x60000000\ndata = [" +
                     bytes + "]\n" + kSignal});
  return out;
}

// Every scenario of a folder of the source tree, in name order.
std::vector<Named> ScenariosIn(const std::string& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& f : std::filesystem::directory_iterator(std::string(MEMINFO_SOURCE_DIR) + "/" + folder))
    if (f.path().extension() == ".toml") files.push_back(f.path());
  std::sort(files.begin(), files.end());
  std::vector<Named> out;
  for (const auto& f : files) out.push_back({f.stem().string(), "", f.string()});
  return out;
}

void ExpectImageBehavesLikeTheHostBuild(const std::vector<Named>& scenarios) {
  sim::EmulatorDispatch emulator(MEMINFO_IMAGE_PATH);
  for (const Named& s : scenarios) {
    SCOPED_TRACE(s.name);
    const sim::Scenario scenario = Parsed(s);
    if (!sim::RequestsUnsupported(scenario, emulator).empty()) continue;  // allocator requests: the host build's alone
    const Outcome host = Boot(scenario, sim::HostDispatch());
    Outcome emu;
    try {
      emu = Boot(scenario, emulator);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "emulator: " << e.what();
      continue;
    }
    // The firmware test's machine has no configuration-space base: its S3 start-up traps.
    EXPECT_TRUE(emu.entryReturned || s.name == "qemu-ovmf");
    // What the image, its stack and the host code driving the emulator wrote is reset too.
    sim::PhysicalMemory::Instance().Reset();
    EXPECT_EQ(test::FirstNonZeroDramByte(), 0u) << "a byte the emulated boot wrote survived the reset";
    EXPECT_FALSE(host.accesses.empty() && host.calls.empty());
    EXPECT_TRUE(host.poolFaults.empty()) << host.poolFaults.front();
    ExpectSameOutcome(host, emu, Details::Compare);
  }
}

TEST(EmulatorDifferential, DriverImageBehavesLikeTheHostBuild) { ExpectImageBehavesLikeTheHostBuild(DriverScenarios()); }

// Reads where nothing is (address 0, above 4 GiB, an unmapped destination or
// source), a read straddling a page of DRAM, a block of size 0, five drivers.
TEST(EmulatorDifferential, HostileScenariosBehaveLikeTheHostBuild) {
  const std::vector<Named> hostile = ScenariosIn("scenarios/hostile");
  ASSERT_GE(hostile.size(), 7u);
  ExpectImageBehavesLikeTheHostBuild(hostile);
}

TEST(EmulatorDifferential, MoreDriversThanTheEmulatorHoldsStopTheBootClearly) {
  sim::EmulatorDispatch emulator(MEMINFO_IMAGE_PATH);
  ASSERT_GE(emulator.ImageCapacity(), 32u);
  std::string events;
  for (unsigned k = 0; k < emulator.ImageCapacity(); ++k) events += "\"start_driver\", ";
  sim::Platform p(sim::ParseScenario(kTwoDies + "[boot]\nevents = [" + events + "]\n", "many.toml"), emulator);
  try {
    p.Boot();
    ADD_FAILURE() << "no error";
  } catch (const sim::EmulationError& e) {
    EXPECT_NE(std::string(e.what()).find("holds copies of the image (" + std::to_string(emulator.ImageCapacity()) + ")"),
              std::string::npos)
        << e.what();
  }
  // Every copy the emulator holds ran its entry, each in its own place, and published its record.
  size_t records = 0;
  for (const auto& i : p.firmware().Interfaces()) records += GuidEqual(i.protocol, MemInfoProtocolGuid);
  EXPECT_EQ(records, emulator.ImageCapacity());
}

TEST(EmulatorDifferential, ReadyToBootWritesReachTheRootsFromTheImage) {
  // Not only equal to the host: the image really programs every answering root.
  sim::EmulatorDispatch emulator(MEMINFO_IMAGE_PATH);
  sim::Platform p(sim::ParseScenario(kTwoDies + "[pcd]\n468 = true\n469 = 0x0020\n" + kSignal, "t.toml"), emulator);
  const sim::BootResult r = p.Boot();
  ASSERT_TRUE(r.entryReturned);
  EXPECT_EQ(r.entryStatus, 0u);
  ASSERT_EQ(r.signals.size(), 1u);
  ASSERT_EQ(r.signals[0].writes.size(), 2u);
  EXPECT_EQ(r.signals[0].writes[0].bus, 0x00);
  EXPECT_EQ(r.signals[0].writes[1].bus, 0x40);
  for (const auto& w : r.signals[0].writes) {
    EXPECT_EQ(w.index, 0x13B20000u);
    EXPECT_EQ(w.value, 0x00010020u);
  }
  // The notify function the firmware called is the image's, inside the image region.
  ASSERT_FALSE(p.firmware().Events().empty());
  const uint64_t notify = p.firmware().Events().front().notify;
  EXPECT_GE(notify, sim::kEmuImageBase);
  EXPECT_LT(notify, sim::kEmuImageBase + emulator.Image().SizeOfImage());
}

TEST(EmulatorDifferential, HostAndDriverStacksStayApart) {
  sim::EmulatorDispatch emulator(MEMINFO_IMAGE_PATH);
  const Outcome o = Boot(sim::ParseScenario(ReadFile(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml"), "d.toml"),
                         emulator);
  ASSERT_TRUE(o.entryReturned);
  // The host drives the emulator from the upper part of the region; what it used
  // must end well above the driver's stack.
  ASSERT_NE(o.lowestHostStackByte, 0u);
  EXPECT_GT(o.lowestHostStackByte, sim::kEmuGuestStackTop + (64u << 10)) << sim::HexText(o.lowestHostStackByte);
}

// ---- the probe image ----

#ifdef MEMINFO_PROBE_IMAGE_PATH

// The probe linked into this process, behind the host backend's services.
class HostProbe final : public sim::Dispatch {
 public:
  uint64_t ServiceAddress(sim::Service s) override { return sim::HostDispatch().ServiceAddress(s); }
  uint64_t EntryPoint() override { return reinterpret_cast<uint64_t>(&ProbeEntry); }
  uint64_t CallEntry(uint64_t entry, uint64_t handle, uint64_t table) override {
    return sim::HostDispatch().CallEntry(entry, handle, table);
  }
  void CallNotify(uint64_t f, uint64_t event, uint64_t context) override { sim::HostDispatch().CallNotify(f, event, context); }
};

// The case port, other port values ("0x61 = 0x20\n"), then further tables.
std::string ProbeScenario(int probeCase, const std::string& more = "", const std::string& ports = "") {
  return "[ports]\n0x99 = " + std::to_string(probeCase) + "\n" + ports + more;
}

const std::string kPlatform = kTwoDies + R"(
[pcd]
500 = "0x8877665544332211"
501 = true
[msr]
0xC0010063 = 1
0xC0010064 = "0x1234567800000890"
0xC0010065 = "0x8765432100000A60"
[cpuid]
0x80000001 = [0x0FF00F00, 0x11223344, 0x55667788, 0x99AABBCC]
7 = [1, 2, 3, 4]
[cpu]
dr2 = 0x1111
dr3 = 0x2222
dr7 = 0x400
cr4 = 0x3406E0
)";

Outcome BootProbe(const std::string& toml, sim::Dispatch& dispatch) {
  return Boot(sim::ParseScenario(toml, "probe.toml"), dispatch);
}

TEST(EmulatorProbe, EverySeamInstructionReachesTheSameModelMethod) {
  sim::EmulatorDispatch emulator(MEMINFO_PROBE_IMAGE_PATH);
  HostProbe host;
  const std::string toml = kPlatform + ProbeScenario(probe::kSeamTour, "", "0x61 = 0x20\n0x62 = 0xBEEF\n");
  const Outcome h = BootProbe(toml, host);
  const Outcome e = BootProbe(toml, emulator);
  ExpectSameOutcome(h, e, Details::Compare);
  // Every kind of access the seam has was made, so the comparison covered it.
  std::set<std::string> kinds;
  for (const std::string& a : e.accesses) kinds.insert(a.substr(0, a.find(' ')));
  for (const char* k : {"port", "mmio", "msr", "cpuid", "tsc", "pause", "debug_register", "control_register",
                        "tagged_port"})
    EXPECT_TRUE(kinds.count(k)) << k;
  // 8-byte MMIO accesses arrive whole, as the seam makes them.
  EXPECT_NE(std::find(e.accesses.begin(), e.accesses.end(), "mmio write 8 @0xF00C0040 = 0x1122334455667788"),
            e.accesses.end());
  EXPECT_NE(std::find(e.accesses.begin(), e.accesses.end(), "mmio read 8 @0xF00C0040 = 0x1122334455667788"),
            e.accesses.end());
}

TEST(EmulatorProbe, ServicesAndNestedNotifyFunctionsMatchTheHostThunks) {
  sim::EmulatorDispatch emulator(MEMINFO_PROBE_IMAGE_PATH);
  HostProbe host;
  for (const std::string& more : {std::string(), std::string("[protocols]\npcd = false\nfabric_topology = false\n")}) {
    SCOPED_TRACE(more);
    const std::string toml = kPlatform + ProbeScenario(probe::kServiceTour, more);
    const Outcome h = BootProbe(toml, host);
    const Outcome e = BootProbe(toml, emulator);
    // The details of InstallProtocolInterface name the interface, an address in
    // the probe's state, which lies in this process on the host and in the image
    // region in the emulator; everything else must match.
    ExpectSameOutcome(h, e, Details::Skip);
    ASSERT_TRUE(e.entryReturned);
    ASSERT_EQ(e.poolFaults.size(), 1u) << "the probe frees its block twice";
    EXPECT_EQ(e.poolFaults[0].substr(0, 11), "double_free");
    // The notify functions ran nested, in order: the inner one inside the outer one.
    const auto& a = e.accesses;
    auto at = [&](const std::string& s) { return std::find(a.begin(), a.end(), s) - a.begin(); };
    const auto outer = at("port write 4 @0x84 = 0x22000000"), inner = at("port write 4 @0x84 = 0x11000100"),
               outerEnd = at("port write 4 @0x84 = 0x22010000");
    EXPECT_LT(outer, inner);
    EXPECT_LT(inner, outerEnd);
    EXPECT_LT(outerEnd, static_cast<long>(a.size()));
    // RestoreTpl ran the deferred one: marked before with count 1, after with 2.
    EXPECT_LT(at("port write 4 @0x84 = 0x44000001"), at("port write 4 @0x84 = 0x22000001"));
    EXPECT_LT(at("port write 4 @0x84 = 0x22010001"), at("port write 4 @0x84 = 0x44010002"));
    EXPECT_LT(at("port write 4 @0x84 = 0x44010002"), static_cast<long>(a.size()));
  }
}

TEST(EmulatorProbe, DebugPrintChannelsMatchTheHostBuild) {
  sim::EmulatorDispatch emulator(MEMINFO_PROBE_IMAGE_PATH);
  HostProbe host;
  struct Case {
    const char* name;
    std::string ports, more;
  } cases[] = {
      {"serial at 0x3F8, no agent", "", ""},
      {"memory-mapped serial, slow line, mailbox to an attached agent", "0x98 = 1\n",
       "[serial]\nbase = 0xFEB00000\nbusy_readings = 3\n[agent]\npresent = true\n[cpu]\ndr2 = 0x99CC\ndr3 = 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string toml = kTwoDies + ProbeScenario(probe::kDebugPrint, c.more, c.ports);
    const Outcome h = BootProbe(toml, host);
    const Outcome e = BootProbe(toml, emulator);
    ExpectSameOutcome(h, e, Details::Compare);
    ASSERT_TRUE(e.entryReturned);
    ASSERT_FALSE(e.uartOutput.empty());
    EXPECT_NE(e.uartOutput.front().find("probe text 1234 -42   |5E1F0A11-2B3C-4D5E-8091-A2B3C4D5E6F7 Not Found 1,234,567"),
              std::string::npos)
        << e.uartOutput.front();
  }
}

TEST(EmulatorProbe, FlashLookupsReadTheSameFlashAndPsp) {
  // The boot flash and the PSP's window reach the image through the same
  // models: the default platform's flash, with a PSP that answers late (in
  // recovery), and with one that never answers.
  sim::EmulatorDispatch emulator(MEMINFO_PROBE_IMAGE_PATH);
  HostProbe host;
  const std::string flash = ReadFile(std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml");
  const std::string from = flash.substr(flash.find("[drux]"));
  const std::string body = from.substr(0, from.find("[psp]"));
  const std::string cpu = "[cpuid]\n0x80000001 = [0x00800F12, 0, 0, 0]\n[agent]\npresent = true\n";
  // Without a base, the fabric MMIO allocator places the window first.
  for (const std::string& psp : {std::string("window_base = 0xFEA00000\nstatus = 0x40000000\nready_after = 2\n"),
                                 std::string("window_base = 0xFEA00000\nboot = \"never_ready\"\n"),
                                 std::string("boot = \"normal\"\n[msr]\n0xC001001A = 0x80000000\n")}) {
    SCOPED_TRACE(psp);
    const std::string toml = kTwoDies + cpu + ProbeScenario(probe::kFlashLookup) + body + "[psp]\n" + psp;
    const Outcome h = BootProbe(toml, host);
    const Outcome e = BootProbe(toml, emulator);
    ExpectSameOutcome(h, e, Details::Compare);
    ASSERT_TRUE(e.entryReturned);
    size_t flashReads = 0;
    for (const std::string& a : e.accesses) flashReads += a.rfind("mmio read 4 @0xFF", 0) == 0;
    EXPECT_GT(flashReads, 100u);
    size_t statusReads = 0;
    for (const std::string& a : e.accesses) statusReads += a.find("@0xFEA10570") != std::string::npos;
    EXPECT_GT(statusReads, 0u) << "the mailbox is read in the window at 0xFEA00000";
  }
}

TEST(EmulatorProbe, FatalTrapHaltsAndReturnsTheSameWay) {
  sim::EmulatorDispatch emulator(MEMINFO_PROBE_IMAGE_PATH);
  HostProbe host;
  struct Case {
    const char* name;
    std::string more;
    bool halted, runaway;
  } cases[] = {
      {"no agent: the display loop", "", true, false},
      {"an agent takes it over", "[agent]\npresent = true\nanswer = 0x10001\n", false, false},
      {"an agent answering 0", "[agent]\npresent = true\nanswer = 0x10000\n", true, false},
      {"the access limit stops the loop", "[limits]\nmax_accesses = 40\n", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string toml = kPlatform + ProbeScenario(probe::kTrap, c.more);
    const Outcome h = BootProbe(toml, host);
    const Outcome e = BootProbe(toml, emulator);
    ExpectSameOutcome(h, e, Details::Compare);
    EXPECT_EQ(e.halted, c.halted);
    EXPECT_EQ(e.runaway, c.runaway);
    EXPECT_EQ(e.entryReturned, !c.halted && !c.runaway);
    ASSERT_FALSE(e.trapCodes.empty());
    EXPECT_EQ(e.trapCodes[0], probe::kTrapCode);
    if (c.halted) EXPECT_EQ(e.haltDisplay.size(), size_t(sim::Hardware::kHaltDisplayWrites));
  }
}

TEST(EmulatorDifferential, DriverImageTrapHaltsLikeTheHostBuild) {
  // Every scenario whose boot reaches the fatal trap in the driver image: the
  // emulator must halt (or return, with an agent) exactly as the host build does.
  sim::EmulatorDispatch emulator(MEMINFO_IMAGE_PATH);
  int reached = 0;
  for (const Named& s : DriverScenarios()) {
    const sim::Scenario scenario = Parsed(s);
    if (!sim::RequestsUnsupported(scenario, emulator).empty()) continue;  // allocator requests: the host build's alone
    const Outcome host = Boot(scenario, sim::HostDispatch());
    if (host.trapCodes.empty()) continue;
    SCOPED_TRACE(s.name);
    ++reached;
    ExpectSameOutcome(host, Boot(scenario, emulator), Details::Compare);
  }
  const sim::PeImage image = sim::PeImage::Read(MEMINFO_IMAGE_PATH, sim::kEmuImageRegionSize);
  const uint8_t agentLeaf[] = {0xB8, 0x0B, 0xD0, 0xCC, 0xBA};  // mov eax, 0xBACCD00B
  const bool linked = std::search(image.Layout().begin(), image.Layout().end(), std::begin(agentLeaf),
                                  std::end(agentLeaf)) != image.Layout().end();
  if (reached == 0)
    GTEST_SKIP() << "no scenario reaches the fatal trap in the driver image (which "
                 << (linked ? "links it behind checks no scenario fails" : "does not link it")
                 << "); EmulatorProbe.FatalTrapHaltsAndReturnsTheSameWay runs the same compiled trap code";
}

// ---- faults ----

struct Fault {
  int probeCase;
  std::vector<std::string> words;  // the message names these
};

TEST(EmulatorFaults, AreReportedClearlyAndTheNextBootRunsCleanly) {
  sim::EmulatorDispatch emulator(MEMINFO_PROBE_IMAGE_PATH, sim::EmulatorLimits{200000});
  const Fault faults[] = {
      {probe::kExecuteNothing, {"faulted", "instruction fetch", "at 0x10", "nothing is mapped there to run", "image + 0x"}},
      {probe::kStackNothing, {"stack where nothing is", "write of 8 bytes at 0xF8", "stack pointer at 0x100", "image + 0x"}},
      {probe::kRunaway, {"ran away", "200000"}},
      {probe::kInvalidInstruction, {"invalid instruction at 0x", "image + 0x", "0F 0B"}},
      {probe::kReadOnlyWrite, {"read-only section .rdata"}},
      {probe::kHalt, {"stopped at", "(hlt)"}},
      {probe::kBreakpoint, {"CPU exception 3", "int3"}},
      {probe::kExecuteData, {"instruction fetch", "not executable"}},
      {probe::kBadOutPointer, {"AllocatePool's output pointer 0x10 lies outside DRAM"}},
      {probe::kStackOverflow, {"stack overflowed", "256 KiB"}},
      {probe::kPoolIntoImage, {"pool memory reached the image", "0x3C00000 bytes at 0x40200010"}},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.probeCase);
    try {
      BootProbe(kPlatform + ProbeScenario(f.probeCase), emulator);
      ADD_FAILURE() << "no error";
    } catch (const sim::EmulationError& e) {
      for (const std::string& w : f.words) EXPECT_NE(std::string(e.what()).find(w), std::string::npos) << e.what();
    }
    // The same emulator boots the next platform as if nothing had happened.
    const Outcome ok = BootProbe(kPlatform + ProbeScenario(probe::kSeamTour), emulator);
    EXPECT_TRUE(ok.entryReturned);
  }
}

TEST(EmulatorFaults, DataWhereNothingIsIsNone) {
  // A plain load through a null pointer reads all ones, as the bus answers, and
  // is an access like the seam's; the boot goes on.
  sim::EmulatorDispatch emulator(MEMINFO_PROBE_IMAGE_PATH);
  const Outcome o = BootProbe(kPlatform + ProbeScenario(probe::kNullRead), emulator);
  ASSERT_TRUE(o.entryReturned);
  EXPECT_EQ(o.entryStatus, 0xFFFFFFFFu);
  EXPECT_NE(std::find(o.accesses.begin(), o.accesses.end(), "mmio read 4 @0x8 = 0xFFFFFFFF"), o.accesses.end());
  EXPECT_EQ(o.nothing, (std::vector<std::string>{"0x8 read 4 x1", "in all 1"}));
}

#endif  // MEMINFO_PROBE_IMAGE_PATH

}  // namespace

#endif  // MEMINFO_IMAGE_PATH
