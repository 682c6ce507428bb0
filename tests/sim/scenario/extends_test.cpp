// Scenario files that extend others: how a child's keys merge over its parent's,
// and the errors of a chain (each naming the file and line the fault stands at).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "sim/scenario/scenario.h"

namespace {

// A folder of its own for each test (two trees may run their tests at once), removed after.
class ExtendsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "meminfo-extends-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::filesystem::path path = dir_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // The error loading `name` gives ("" if none).
  std::string ErrorOf(const std::string& name) const {
    try {
      sim::LoadScenario(Path(name));
    } catch (const sim::ScenarioError& e) {
      return e.what();
    }
    return "";
  }

  std::filesystem::path dir_;
};

TEST_F(ExtendsTest, TablesMergeKeyByKeyAndEverythingElseIsReplacedAlongAChain) {
  Write("base/parent.toml",
        "name = \"parent\"\ndescription = \"kept\"\n"
        "[platform]\nsmi_command_port = 0x10\npm1_control_base = 0x500\n"
        "[pcd]\n16 = true\n242 = false\n"
        "[boot]\nevents = [\"smm_ready_to_lock\", \"ready_to_boot\"]\n"
        "[[socket]]\n[[socket.die]]\nroot_bus = 0x00\n[[socket.die]]\nroot_bus = 0x40\n"
        "[[socket]]\n[[socket.die]]\nroot_bus = 0x80\n"
        "[[memory]]\naddress = 0x10000000\nfile = \"blob.bin\"\n");
  Write("base/blob.bin", "ABC");
  // Each extends path is relative to the folder of the file that says it.
  Write("mid/middle.toml", "extends = \"../base/parent.toml\"\nname = \"middle\"\n"
                           "[platform]\npm1_control_base = 0x600\n[pcd]\n242 = true\n");
  const std::string child = Write("child.toml", "extends = \"mid/middle.toml\"\n"
                                                "[platform]\nsleep_type = 3\n"
                                                "[boot]\nevents = [\"ready_to_boot\"]\n"
                                                "[[socket]]\n[[socket.die]]\nroot_bus = 0x20\n");
  const sim::Scenario s = sim::LoadScenario(child);
  EXPECT_EQ(s.path, child);
  EXPECT_EQ(s.name, "middle");  // inherited like any key
  EXPECT_EQ(s.description, "kept");
  // [platform] and [pcd]: merged key by key, over three files.
  EXPECT_EQ(s.smiCommandPort, 0x10);
  EXPECT_EQ(s.pm1ControlBase, 0x600);
  EXPECT_EQ(s.sleepType, 3);
  EXPECT_EQ(s.pcd, (std::map<uint64_t, uint64_t>{{16, 1}, {242, 1}}));
  // An array and an array of tables: the child's replaces the parent's whole.
  EXPECT_EQ(s.events, std::vector<std::string>{"ready_to_boot"});
  ASSERT_EQ(s.sockets.size(), 1u);
  ASSERT_EQ(s.sockets[0].dies.size(), 1u);
  EXPECT_EQ(s.sockets[0].dies[0].rootBus, 0x20);
  // A file the parent names is found next to the parent.
  ASSERT_EQ(s.placements.size(), 1u);
  EXPECT_EQ(s.placements[0].bytes, (std::vector<uint8_t>{'A', 'B', 'C'}));
}

TEST_F(ExtendsTest, ErrorsNameTheFileAndLineTheFaultStandsAt) {
  Write("parent.toml", "[pcd]\n16 = true\n[platform]\nsmi_command_port = \"x\"\n");
  Write("bad-parent.toml", "# a child that is fine\nextends = \"parent.toml\"\n");
  Write("cycle-a.toml", "extends = \"cycle-b.toml\"\n");
  Write("cycle-b.toml", "\nextends = \"cycle-a.toml\"\n");
  Write("self.toml", "extends = \"self.toml\"\n");
  Write("missing.toml", "name = \"m\"\nextends = \"nowhere/none.toml\"\n");
  Write("unknown.toml", "extends = \"typo.toml\"\n");
  Write("typo.toml", "[platfrom]\n");
  Write("number.toml", "extends = 3\n");
  for (int i = 0; i <= 16; ++i)
    Write("deep" + std::to_string(i) + ".toml", i < 16 ? "extends = \"deep" + std::to_string(i + 1) + ".toml\"\n" : "");
  Write("deep-enough.toml", "extends = \"deep2.toml\"\n");

  const std::string d = dir_.string() + "/";
  struct Case {
    const char* file;
    std::string expect;  // the message's start, then a part it holds
    std::string holds;
  };
  const Case cases[] = {
      {"bad-parent.toml", d + "parent.toml:4: key 'platform.smi_command_port': expected an integer", ""},
      {"cycle-a.toml", d + "cycle-b.toml:2: key 'extends': '" + d + "cycle-a.toml' is already in the chain", "cycle"},
      {"self.toml", d + "self.toml:1: key 'extends': '" + d + "self.toml'", "cycle"},
      {"missing.toml", d + "missing.toml:2: key 'extends': ", d + "nowhere/none.toml"},
      {"unknown.toml", d + "typo.toml:1: key 'platfrom': unknown key", ""},
      {"number.toml", d + "number.toml:1: key 'extends': expected a string", ""},
      {"deep0.toml", d + "deep15.toml:1: key 'extends': more than 16 files", ""},
  };
  for (const Case& c : cases) {
    const std::string error = ErrorOf(c.file);
    EXPECT_EQ(error.find(c.expect), 0u) << c.file << ": " << error;
    EXPECT_NE(error.find(c.holds), std::string::npos) << c.file << ": " << error;
  }
  EXPECT_EQ(ErrorOf("deep-enough.toml"), "");  // 16 files in all
  // The child's own bad value: the child's file and line.
  Write("good-parent.toml", "[limits]\nmax_accesses = 5\n");
  Write("own.toml", "extends = \"good-parent.toml\"\n\n[limits]\nmax_accesses = \"many\"\n");
  EXPECT_EQ(ErrorOf("own.toml").find(d + "own.toml:4: key 'limits.max_accesses'"), 0u) << ErrorOf("own.toml");
  // Text given as bytes has no folder: it may not extend, and nothing is read.
  try {
    sim::ParseScenario("name = \"x\"\nextends = \"" + d + "good-parent.toml\"\n", "bytes.toml");
    ADD_FAILURE() << "accepted";
  } catch (const sim::ScenarioError& e) {
    EXPECT_EQ(std::string(e.what()).find("bytes.toml:2: key 'extends': only a scenario read from a file"), 0u)
        << e.what();
  }
}

}  // namespace
