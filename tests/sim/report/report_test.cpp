// The boot report (JSON and text), the meminfo-sim command, and the documents
// that describe them.
#include "sim/report/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/sim/report/channels_fixture.h"
#include "core/meminfo.h"
#include "diag/trap.h"
#include "psp/psp_window.h"
#include "tests/support/run_sim.h"

namespace {

using nlohmann::json;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string SourcePath(const std::string& relative) { return std::string(MEMINFO_SOURCE_DIR) + "/" + relative; }

using test::Command;
using test::RunSim;

// Every key path of a JSON value: "a.b", array elements as "a[]", the children
// of the two objects keyed by name as <field> and <kind>.
void KeyPaths(const json& j, const std::string& path, std::set<std::string>& out) {
  if (j.is_array()) {
    for (const json& element : j) KeyPaths(element, path + "[]", out);
    return;
  }
  if (!j.is_object()) return;
  for (auto it = j.begin(); it != j.end(); ++it) {
    std::string key = it.key();
    if (path == "record.fields") key = "<field>";
    if (path == "accesses.counts" || path == "accesses.steps.<step>.counts") key = "<kind>";
    if (path == "accesses.steps") key = "<step>";
    if (path == "record.channel_map.slots[].fields") key = "<snapshot field>";
    const std::string child = path.empty() ? key : path + "." + key;
    out.insert(child);
    KeyPaths(it.value(), child, out);
  }
}

// The keys docs/report.md lists: the first column of its key table.
std::set<std::string> DocumentedKeys() {
  const std::string doc = ReadFile(SourcePath("docs/report.md"));
  std::set<std::string> keys;
  const std::regex row(R"(^\| `([^`]+)` \|)", std::regex::multiline);
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), row); it != std::sregex_iterator(); ++it)
    keys.insert((*it)[1]);
  return keys;
}

// The default platform, booted; then a fatal trap with no agent halts it, as
// one in a later notify function would. One report then holds every section.
json HaltedAfterBootReport(std::string* text) {
  sim::Platform p(sim::LoadScenario(SourcePath("scenarios/default.toml")));
  sim::BootResult r = p.Boot();
  EXPECT_TRUE(r.entryReturned);
  p.Run([] { PspBarInitEarlyV2(); });  // the fabric MMIO allocator's state and the window
  EXPECT_FALSE(p.Run([] { FatalTrap(0x20320401); }));
  r.halted = true;
  sim::ReportOptions options;
  options.trace = true;
  if (text) *text = sim::TextReport(p, r, options);
  return sim::JsonReport(p, r, {}, true);
}

TEST(JsonReport, DefaultScenarioShowsTheRecordAsPublished) {
  sim::Platform p(sim::LoadScenario(SourcePath("scenarios/default.toml")));
  const sim::BootResult r = p.Boot();
  const json j = sim::JsonReport(p, r);

  EXPECT_EQ(j["schema_version"], 1);
  EXPECT_EQ(j["scenario"]["name"], "default");
  EXPECT_EQ(j["outcome"], "completed");
  EXPECT_EQ(j["entry"]["returned"], true);
  EXPECT_EQ(j["entry"]["status"], r.entryStatus);
  EXPECT_EQ(j["entry"]["status_name"], sim::StatusName(r.entryStatus));

  // The record as the report decodes it equals the record read back here.
  const json& rec = j["record"];
  ASSERT_EQ(rec["present"], true);
  const auto at = p.Installed(MemInfoProtocolGuid);
  ASSERT_TRUE(at.has_value());
  EXPECT_EQ(rec["address"], *at);
  EXPECT_EQ(rec["address_hex"], sim::HexText(*at, 16));
  EXPECT_EQ(rec["on_image_handle"], true);
  const std::vector<uint8_t> bytes = p.memory().ReadBytes(*at, sizeof(MemInfoRecord));
  EXPECT_EQ(rec["bytes"].get<std::vector<uint8_t>>(), bytes);
  MemInfoRecord m;
  std::memcpy(&m, bytes.data(), sizeof m);

  const json& f = rec["fields"];
  const std::pair<const char*, uint64_t> expected[] = {
      {"Token16Flag", m.Token16Flag},
      {"Reserved1", m.Reserved1},
      {"SmiCommandPort", m.SmiCommandPort},
      {"Token467Byte", m.Token467Byte},
      {"Token242Flag", m.Token242Flag},
      {"Token243Word", m.Token243Word},
      {"RootRegLowOverride", m.RootRegLowOverride},
      {"Reserved9", m.Reserved9},
      {"RootRegLow", m.RootRegLow},
      {"RootRegHighOverride", m.RootRegHighOverride},
      {"Reserved13", m.Reserved13},
      {"RootRegHigh", m.RootRegHigh},
      {"ChipSelectCount", m.ChipSelectCount},
      {"ChipSelectEntries", m.ChipSelectEntries},
      {"ChannelMap", m.ChannelMap},
  };
  EXPECT_EQ(f.size(), std::size(expected));
  for (const auto& [name, value] : expected) {
    ASSERT_TRUE(f.contains(name)) << name;
    EXPECT_EQ(f[name]["value"], value) << name;
    EXPECT_EQ(f[name]["value_hex"], sim::HexText(value, 2 * f[name]["width"].get<int>())) << name;
  }
  EXPECT_EQ(f["SmiCommandPort"]["offset"], 2);
  EXPECT_EQ(f["SmiCommandPort"]["width"], 2);
  EXPECT_EQ(f["ChannelMap"]["offset"], 32);
  EXPECT_EQ(f["ChannelMap"]["width"], 8);
  EXPECT_EQ(rec["channel_map"]["present"], m.ChannelMap != 0);
  EXPECT_EQ(rec["chip_select_table"]["present"], m.ChipSelectEntries != 0);

  // The signal's writes are the platform's, in order, with readable twins.
  ASSERT_EQ(j["signals"].size(), r.signals.size());
  ASSERT_EQ(r.signals.back().event, "ready_to_boot");
  const json& writes = j["signals"].back()["writes"];
  ASSERT_EQ(writes.size(), r.signals.back().writes.size());
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[1]["bus"], r.signals.back().writes[1].bus);
  EXPECT_EQ(writes[1]["index_hex"], sim::HexText(r.signals.back().writes[1].index, 8));
  EXPECT_EQ(writes[1]["value"], r.signals.back().writes[1].value);
  EXPECT_EQ(j["accesses"]["total"], p.hardware().TotalAccesses());
}

TEST(JsonReport, HaltedPlatformShowsTheCodeAndWhatTheDisplayShowed) {
  std::string text;
  const json j = HaltedAfterBootReport(&text);
  EXPECT_EQ(j["outcome"], "halted");
  const json& t = j["traps"];
  EXPECT_EQ(t["halted"], true);
  EXPECT_EQ(t["halt_code_hex"], "0x20320401");
  ASSERT_EQ(t["queries"].size(), 1u);
  EXPECT_EQ(t["queries"][0]["code"], 0x20320401u);
  ASSERT_EQ(t["display"].size(), 12u);
  for (const json& shown : t["display"]) EXPECT_EQ(shown["low_byte"], shown["value"].get<uint32_t>() & 0xFF);
  EXPECT_EQ(t["display"][0]["value_hex"], "0x010000DE");
  EXPECT_EQ(t["display"][0]["low_byte_hex"], "0xDE");

  EXPECT_NE(text.find("halted"), std::string::npos);
  EXPECT_NE(text.find("0x010000DE  0xDE"), std::string::npos) << text;
  // The window the run placed, and socket 0, die 0's regions with the 1 MiB it took.
  EXPECT_EQ(j["fabric_mmio"]["psp_window"]["base_hex"], "0xFEA00000");
  EXPECT_EQ(j["fabric_mmio"]["psp_window"]["placed_by"], "driver");
  EXPECT_NE(text.find("PSP window  0xFEA00000-0xFEAFFFFF, placed by the driver"), std::string::npos) << text;
  EXPECT_NE(text.find("below 4 GiB  0x0000FE000000-0x0000FEAFFFFF size 0xB00000, used 0x0 up, 0x100000 down, free 0xA00000"),
            std::string::npos) << text;
}

TEST(JsonReport, EveryKeyIsDocumentedAndEveryDocumentedKeyOccurs) {
  const std::set<std::string> documented = DocumentedKeys();
  ASSERT_GT(documented.size(), 50u);

  std::set<std::string> seen;
  KeyPaths(HaltedAfterBootReport(nullptr), "", seen);
  {
    sim::Platform p(sim::ParseScenario("[faults]\nfail_allocation = 2\n", "test.toml"));
    KeyPaths(sim::JsonReport(p, p.Boot()), "", seen);
  }
  {
    // An S3 resume: the flash look-ups of the DRUX block's copy.
    std::string text = ReadFile(SourcePath("scenarios/default.toml"));
    text.insert(text.find("smi_command_port"), "sleep_type = 3\n");
    sim::Platform p(sim::ParseScenario(text, "s3.toml"));
    KeyPaths(sim::JsonReport(p, p.Boot()), "", seen);
  }
  {
    // Another driver's allocator requests, every outcome among them.
    sim::Platform p(sim::LoadScenario(SourcePath("scenarios/mmio-requests.toml")));
    KeyPaths(sim::JsonReport(p, p.Boot()), "", seen);
  }
  {
    // Every output channel of the debug print with something on it.
    sim::Platform p(test::ChannelsScenario());
    const sim::BootResult r = p.Boot();
    test::DriveChannels(p);
    KeyPaths(sim::JsonReport(p, r), "", seen);
  }
  {
    // A pool block written after its free, then freed again.
    sim::Platform p(sim::ParseScenario("", "test.toml"));
    uint64_t block = 0;
    p.firmware().AllocatePool(EfiBootServicesData, 8, &block);
    p.firmware().FreePool(block);
    p.memory().Write<uint8_t>(block + 3, 0);
    p.firmware().FreePool(block);
    p.firmware().CheckPool();
    KeyPaths(sim::JsonReport(p, sim::BootResult{}), "", seen);
    p.firmware().ClearPoolFaults();
  }
  {
    // A DRUX block named where nothing answers.
    sim::Platform p(sim::LoadScenario(SourcePath("scenarios/hostile/drux-hob-at-zero.toml")));
    KeyPaths(sim::JsonReport(p, p.Boot()), "", seen);
  }
  for (const std::string& key : seen) EXPECT_TRUE(documented.count(key)) << "not in docs/report.md: " << key;

  for (const std::string& key : documented) EXPECT_TRUE(seen.count(key)) << "documented but never reported: " << key;
}

TEST(TextReport, SaysWhatIsAbsent) {
  {
    sim::Platform p(sim::LoadScenario(SourcePath("scenarios/default.toml")));
    const std::string text = sim::TextReport(p, p.Boot());
    EXPECT_NE(text.find("Chip-select table     at 0x"), std::string::npos) << text;
    EXPECT_NE(text.find("0x13B20000"), std::string::npos);
    EXPECT_EQ(text.find("Firmware service calls"), std::string::npos) << "calls belong to --verbose";
  }
  sim::Platform p(sim::ParseScenario("[faults]\nfail_allocation = 2\n", "test.toml"));
  const sim::BootResult r = p.Boot();
  sim::ReportOptions verbose;
  verbose.verbose = true;
  const std::string text = sim::TextReport(p, r, verbose);
  EXPECT_NE(text.find("returned EFI_OUT_OF_RESOURCES"), std::string::npos) << text;
  EXPECT_NE(text.find("absent: nothing was installed"), std::string::npos) << text;
  EXPECT_NE(text.find("Firmware service calls"), std::string::npos);
}

// A walk begins with the block's size field: one whose size gives no entries
// (0, erased, nothing at the address, or a flash copy that would run past
// 4 GiB) is still shown, once per walk, and without entries.
TEST(TextReport, DruxWalksWhoseSizeGivesNoEntriesAreShown) {
  const std::string die = "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[agent]\npresent = true\n";
  const std::string entry = "[[drux.entry]]\ngroup = 3\ntype = 1\nchannels = [[0, 0]]\n";
  // An S3 resume walks the copy entry 0x63 returns from the flash.
  const std::string resume =
      "[platform]\nsleep_type = 3\n[cpuid]\n0x80000001 = [0x00800F00, 0, 0, 0]\n"
      "[psp]\nwindow_base = 0xFEA00000\nboot = \"normal\"\n[flash]\nsize = 0x100000\n"
      "[[flash.directory]]\nkind = \"psp\"\n[[flash.directory]]\nkind = \"bios\"\nentries = [{ type = 0x63, ";
  // A version 5 block of 0x2000 bytes in the flash's last 4 KiB, its one entry right after the header.
  const std::string pastTheEnd =
      "source = 0xFFFFF000, data = [0x44, 0x52, 0x55, 0x58, 5, 0, 0, 0, 0, 0x20, 0, 0, 0x10, 0, 0, 0, "
      "3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0] }]\n";
  struct Case {
    std::string toml, where, size;
  } cases[] = {
      {die + "[drux]\nsize = 0\n" + entry, "memory", "0x00000000"},
      {die + "[drux]\nsize = 0xFFFFFFFF\n" + entry, "memory", "0xFFFFFFFF"},
      {die + "[drux]\naddress = 0x60000000\nmemory = false\n", "other", "0xFFFFFFFF"},
      {die + resume + "drux = true }]\n[drux]\nsize = 0\n" + entry, "flash", "0x00000000"},
      {die + resume + pastTheEnd, "flash", "0x00002000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    sim::Platform p(sim::ParseScenario(c.toml, "drux.toml"));
    const sim::BootResult r = p.Boot();
    const json walks = sim::JsonReport(p, r)["drux"]["walks"];
    ASSERT_EQ(walks.size(), 1u);
    EXPECT_EQ(walks[0]["walks"], 1);
    EXPECT_EQ(walks[0]["where"], c.where);
    EXPECT_EQ(walks[0]["size_hex"], c.size);
    EXPECT_EQ(walks[0]["size_valid"], false);
    EXPECT_TRUE(walks[0]["entries"].empty());
    const std::string text = sim::TextReport(p, r);
    EXPECT_NE(text.find("DRUX walks        1\n"), std::string::npos) << text;
    EXPECT_NE(text.find(", size " + c.size + " (invalid: no entries)"), std::string::npos) << text;
  }
}

TEST(MeminfoSim, ExitStatusAndMessages) {
  const Command ok = RunSim("run " + SourcePath("scenarios/default.toml") + " --json");
  EXPECT_EQ(ok.status, 0) << ok.output;
  EXPECT_EQ(json::parse(ok.output, nullptr, false).value("schema_version", 0), 1) << ok.output;

  const std::string bad = testing::TempDir() + "meminfo_bad_key.toml";
  {
    std::ofstream out(bad);
    out << "name = \"bad\"\n[agent]\npresent = true\nanser = 1\n";
  }
  Command c = RunSim("run " + bad);
  EXPECT_EQ(c.status, 2);
  EXPECT_NE(c.output.find(bad + ":4:"), std::string::npos) << c.output;
  EXPECT_NE(c.output.find("agent.anser"), std::string::npos) << c.output;

  {
    std::ofstream out(bad);
    out << "[[socket]]\n[[socket.die]]\nroot_bus = 0x100\n";
  }
  c = RunSim("run " + bad);
  EXPECT_EQ(c.status, 2);
  EXPECT_NE(c.output.find(bad + ":3:"), std::string::npos) << c.output;
  EXPECT_NE(c.output.find("socket[0].die[0].root_bus"), std::string::npos) << c.output;
  std::remove(bad.c_str());

  c = RunSim("run " + testing::TempDir() + "no-such-scenario.toml");
  EXPECT_EQ(c.status, 2);
  EXPECT_NE(c.output.find("no-such-scenario.toml"), std::string::npos) << c.output;

  EXPECT_EQ(RunSim("run " + testing::TempDir()).status, 2) << "a directory is not a scenario";
  EXPECT_EQ(RunSim("").status, 2);
  EXPECT_EQ(RunSim("run").status, 2);
  EXPECT_EQ(RunSim("run --help").status, 0);

  // `--help` lists the exit statuses of run that docs/report.md documents.
  auto statuses = [](const std::string& text, const char* pattern) {
    std::set<std::string> out;
    const std::regex row(pattern, std::regex::multiline);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), row); it != std::sregex_iterator(); ++it)
      out.insert((*it)[1]);
    return out;
  };
  const std::string help = RunSim("--help").output;
  const size_t from = help.find("Exit status of run:"), to = help.find("Exit status of sweep:");
  ASSERT_LT(from, to) << help;
  const std::set<std::string> listed = statuses(help.substr(from, to - from), R"(^  (\d)  )");
  EXPECT_EQ(listed, (std::set<std::string>{"0", "1", "2", "3"}));
  EXPECT_EQ(statuses(ReadFile(SourcePath("docs/report.md")), R"(^\| (\d) \|)"), listed);
}

TEST(MeminfoSim, StoppedPlatformExitsWithOne) {
  const std::string body = "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[boot]\nevents = [\"ready_to_boot\"]\n";
  // Let the entry's own accesses through and stop the platform in ReadyToBoot.
  uint64_t entryAccesses = 0;
  {
    sim::Platform p(sim::ParseScenario(body, "count.toml"));
    uint64_t status = 0;
    ASSERT_TRUE(p.CallEntry(&status));
    entryAccesses = p.hardware().TotalAccesses();
  }
  const std::string path = testing::TempDir() + "meminfo_runaway.toml";
  {
    std::ofstream out(path);
    out << body << "[limits]\nmax_accesses = " << entryAccesses + 1 << "\n";
  }
  const Command c = RunSim("run " + path + " --json");
  std::remove(path.c_str());
  EXPECT_EQ(c.status, 1) << c.output;
  const json j = json::parse(c.output, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << c.output;
  EXPECT_EQ(j["outcome"], "ran_away");
  ASSERT_TRUE(j["signals"].is_array() && !j["signals"].empty()) << c.output;
  EXPECT_EQ(j["signals"].back()["completed"], false);
}

// Every example in the scenario format document is a valid scenario file.
TEST(ScenarioFiles, DocumentExamplesParse) {
  const std::string doc = ReadFile(SourcePath("docs/scenario-format.md"));
  const std::regex block("```toml\n([^`]*)```");
  int examples = 0, extending = 0;
  // An example that extends the default platform is read from a file next to a
  // copy of it, in a folder of its own (two trees may run their tests at once).
  std::string folder = testing::TempDir() + "meminfo-doc-XXXXXX";
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  std::ofstream(folder + "/default.toml") << ReadFile(SourcePath("scenarios/default.toml"));
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), block); it != std::sregex_iterator(); ++it) {
    ++examples;
    const std::string name = "docs/scenario-format.md example " + std::to_string(examples);
    if ((*it)[1].str().find("extends = \"default.toml\"") == std::string::npos) {
      EXPECT_NO_THROW(sim::ParseScenario((*it)[1], name)) << (*it)[1];
      continue;
    }
    const std::string file = folder + "/example" + std::to_string(++extending) + ".toml";
    std::ofstream(file) << (*it)[1];
    try {
      sim::Platform p(sim::LoadScenario(file));
      EXPECT_TRUE(p.Boot().entryReturned) << name;
    } catch (const std::exception& e) {
      ADD_FAILURE() << name << ": " << e.what();
    }
  }
  std::filesystem::remove_all(folder);
  EXPECT_GE(examples, 15);
  EXPECT_GE(extending, 2);
}

// The example scenarios show what their comments say they show.
std::vector<std::string> WrittenBusesAndValues(const std::string& scenario) {
  sim::Platform p(sim::LoadScenario(SourcePath("scenarios/" + scenario + ".toml")));
  const json j = sim::JsonReport(p, p.Boot());
  std::vector<std::string> out;
  for (const json& signal : j["signals"])
    for (const json& w : signal["writes"]) out.push_back(w["bus_hex"].get<std::string>() + "=" + w["value_hex"].get<std::string>());
  return out;
}

TEST(ScenarioFiles, ExamplesShowTheirFeature) {
  EXPECT_EQ(WrittenBusesAndValues("overrides"),
            (std::vector<std::string>{"0x00=0x00100020", "0x40=0x00100020"}));
  EXPECT_EQ(WrittenBusesAndValues("absent-device"),
            (std::vector<std::string>{"0x00=0x00010001", "0x40=0x00010001", "0x00=0x00010001", "0x40=0x00010001"}));
  EXPECT_TRUE(WrittenBusesAndValues("allocation-failure").empty());
}

}  // namespace

#ifdef MEMINFO_IMAGE_PATH
namespace {

// The real image in the emulator publishes what the linked driver publishes.
TEST(MeminfoSim, EmulatedImageReportsLikeTheLinkedDriver) {
  const std::string scenario = SourcePath("scenarios/default.toml");
  const Command host = RunSim("run " + scenario + " --json");
  const Command emulated = RunSim("run " + scenario + " --json --emulate --image " + MEMINFO_IMAGE_PATH);
  ASSERT_EQ(host.status, 0) << host.output;
  ASSERT_EQ(emulated.status, 0) << emulated.output;
  const json h = json::parse(host.output), e = json::parse(emulated.output);
  EXPECT_EQ(h["driver"]["backend"], "host");
  EXPECT_TRUE(h["driver"]["image"].is_null());
  EXPECT_EQ(e["driver"]["backend"], "emulator");
  EXPECT_EQ(e["driver"]["image"], MEMINFO_IMAGE_PATH);
  for (const char* key : {"entry", "record", "signals", "pcd_writes", "traps", "channels", "fabric_mmio", "pool",
                          "pool_faults", "s3", "events", "accesses"})
    EXPECT_EQ(h[key], e[key]) << key;

  const Command bad = RunSim("run " + scenario + " --emulate --image " + scenario);
  EXPECT_EQ(bad.status, 3);
  EXPECT_NE(bad.output.find("not a PE image"), std::string::npos) << bad.output;

  // Allocator requests reach no function in the image: refused before anything runs.
  for (const char* command : {"run", "sweep"}) {
    const Command refused = RunSim(std::string(command) + " " + SourcePath("scenarios/mmio-requests.toml") + " --emulate");
    EXPECT_EQ(refused.status, 3) << command;
    EXPECT_NE(refused.output.find("mmio-requests.toml: the scenario's \"mmio_request\" events"), std::string::npos)
        << refused.output;
    EXPECT_EQ(refused.output.find("Scenario"), std::string::npos) << "no report: " << refused.output;
  }

  // Where nothing is, the image reads all ones like the linked driver and goes on.
  const std::string hostile = SourcePath("scenarios/hostile/drux-hob-above-4g.toml");
  const json nothing = json::parse(RunSim("run " + hostile + " --json").output)["nothing"];
  const Command emulatedNothing = RunSim("run " + hostile + " --json --emulate --image " + MEMINFO_IMAGE_PATH);
  ASSERT_EQ(emulatedNothing.status, 0) << emulatedNothing.output;
  EXPECT_EQ(json::parse(emulatedNothing.output)["nothing"], nothing);
  EXPECT_EQ(nothing["places"][0]["address_hex"], "0x0000000200000008");

  // More drivers than the emulator holds copies of: refused before the boot.
  const std::string many = testing::TempDir() + "meminfo_many_drivers.toml";
  {
    std::ofstream out(many);
    out << "[boot]\nevents = [";
    for (int i = 0; i < 64; ++i) out << "\"start_driver\", ";
    out << "]\n";
  }
  const Command refused = RunSim("run " + many + " --emulate --image " + MEMINFO_IMAGE_PATH);
  std::remove(many.c_str());
  EXPECT_EQ(refused.status, 3);
  EXPECT_NE(refused.output.find("starts 65 drivers; the emulator holds at most 64 copies"), std::string::npos)
      << refused.output;
  EXPECT_EQ(refused.output.find("Scenario"), std::string::npos) << "no report";
}

}  // namespace
#endif
