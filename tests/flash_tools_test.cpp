// The flash builder's scenario keys, and `meminfo-sim flash` writing and
// inspecting images.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform_fixture.h"
#include "psp/flash.h"
#include "sim/images/flash_listing.h"

namespace {

std::string SourcePath(const std::string& relative) { return std::string(MEMINFO_SOURCE_DIR) + "/" + relative; }

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Command {
  int status;
  std::string output;
};
Command RunSim(const std::string& arguments) {
  FILE* pipe = popen((std::string(MEMINFO_SIM_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  Command c{-1, ""};
  if (pipe == nullptr) return c;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) c.output.append(buffer, n);
  const int raw = pclose(pipe);
  c.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return c;
}

// Opens a pipe for writing and closes it again until destroyed, counting the
// times a reader had it open: a reader that opens the pipe then reads its end
// at once instead of waiting for a writer for ever.
class PipeWriter {
 public:
  explicit PipeWriter(std::string path)
      : path_(std::move(path)), thread_([this] {
          while (!stop_) {
            const int fd = open(path_.c_str(), O_WRONLY);
            if (fd >= 0 && !stop_) ++readers_;
            if (fd >= 0) close(fd);
          }
        }) {}
  ~PipeWriter() {
    stop_ = true;
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer's last open return
    thread_.join();
    if (fd >= 0) close(fd);
  }
  int Readers() const { return readers_; }

 private:
  std::string path_;
  std::atomic<bool> stop_{false};
  std::atomic<int> readers_{0};
  std::thread thread_;
};

// Every file a scenario or a command names is read only if it is a regular file
// within its key's limit: a device, a directory and a pipe are refused without
// being opened, a 3 GiB file (sparse) before any of it is read.
TEST(NamedFiles, OnlyRegularFilesWithinTheKeysLimitAreRead) {
  const std::string dir = testing::TempDir() + "named-files/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "folder");
  ASSERT_EQ(mkfifo((dir + "pipe").c_str(), 0600), 0);
  const int huge = open((dir + "huge.bin").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(huge, 0);
  ASSERT_EQ(ftruncate(huge, off_t(3) << 30), 0);
  close(huge);
  PipeWriter writer(dir + "pipe");
  struct Kind {
    std::string path, words;
    bool tooLarge;  // the words go on with the limit
  } const kinds[] = {{"/dev/zero", "is a device", false},
                     {dir + "folder", "is a directory", false},
                     {dir + "pipe", "is a pipe", false},
                     {dir + "huge.bin", "holds 3221225472 bytes, more than ", true}};
  struct Key {
    std::string before, after, where, limit;
  } const keys[] = {
      {"[drux]\nfile = \"", "\"\n", "f.toml:2: key 'drux.file': ", "12 MiB"},
      {"[[memory]]\naddress = 0x43000000\nfile = \"", "\"\n", "f.toml:3: key 'memory[0].file': ", "12 MiB"},
      {"[flash]\nimage = \"", "\"\n", "f.toml:2: key 'flash.image': ", "16 MiB"},
      {"[flash]\n[[flash.directory]]\nkind = \"bios\"\nentries = [{ type = 0x61, file = \"", "\" }]\n",
       "f.toml:4: key 'flash.directory[0].entries[0].file': ", "16 MiB"},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.path);
    for (const Key& key : keys) {
      try {
        sim::ParseScenario(key.before + kind.path + key.after, dir + "f.toml");
        ADD_FAILURE() << "accepted: " << key.where;
      } catch (const sim::ScenarioError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find(key.where), std::string::npos) << m;
        EXPECT_NE(m.find(kind.words + (kind.tooLarge ? key.limit : "")), std::string::npos) << m;
      }
    }
    // The scenario file itself, and a flash image to inspect.
    for (const auto& [command, limit] : {std::pair{"run ", "64 MiB"}, std::pair{"flash --inspect ", "16 MiB"}}) {
      const Command c = RunSim(command + kind.path);
      EXPECT_EQ(c.status, 2) << c.output;
      EXPECT_NE(c.output.find(kind.words + (kind.tooLarge ? limit : "")), std::string::npos) << c.output;
    }
  }
  EXPECT_EQ(writer.Readers(), 0) << "the pipe was opened";
  std::filesystem::remove(dir + "huge.bin");
}

TEST(FlashScenario, MistakesNameTheLineAndTheKey) {
  const std::string dies = "[[socket]]\n[[socket.die]]\nroot_bus = 0\n";
  struct Case {
    std::string toml, where, words;
  } cases[] = {
      {"[flash]\nsize = 0x100000\n[[flash.directory]]\nkind = \"bios\"\naddress = 0xFFF80000\n"
       "[[flash.directory]]\nkind = \"psp\"\naddress = 0xFFF80008\n",
       ":6: key 'flash.directory[1]'", "overlaps directory flash.directory[0] at 0xFFF80000"},
      {"[flash]\nsize = 0x100000\n[flash.entry_table]\nbios = \"nowhere\"\n", ":4: key 'flash.entry_table.bios'",
       "no directory is named 'nowhere'"},
      {"[flash]\nsize = 0x100000\n[[flash.directory]]\nkind = \"bios\"\n\nentries = [{ type = 0x61, source = 0xFFE00000, data = [1] }]\n",
       ":6: key 'flash.directory[0].entries[0]'", "does not lie in the flash"},
      {"[flash]\nsize = 0x1000001\n", ":2: key 'flash.size'", "out of range"},
      {"[psp]\nwindow_base = 0xFEA00000\n", ":2: key 'psp.window_base'", "add a die with root_bus = 0"},
      {dies + "[flash]\nsize = 0x100000\n[psp]\nwindow_base = 0xFFF00000\n", ":7: key 'psp.window_base'",
       "overlaps the boot flash"},
      {"[[socket]]\n[[socket.die]]\nroot_bus = 0xF8\n[flash]\nsize = 0x1000000\n", ":4: key 'flash'", "bus 0xF8"},
      {"[flash]\nimage = \"/dev/zero\"\n", ":2: key 'flash.image'", "not a file that can be read"},
  };
  for (const Case& c : cases) {
    try {
      sim::ParseScenario(c.toml, "f.toml");
      ADD_FAILURE() << "accepted:\n" << c.toml;
    } catch (const sim::ScenarioError& e) {
      const std::string m = e.what();
      EXPECT_NE(m.find("f.toml" + c.where), std::string::npos) << m;
      EXPECT_NE(m.find(c.words), std::string::npos) << m;
    }
  }
}

// Examples that name files ("```toml with-files": a flash, or bytes placed in memory) parse once the files exist
// beside the scenario; the other examples are parsed by the scenario tests.
TEST(FlashScenario, DocumentExamplesWithFilesParse) {
  const std::string dir = testing::TempDir() + "flash-examples/";
  std::filesystem::create_directories(dir);
  const sim::Scenario flash = sim::LoadScenario(SourcePath("scenarios/default.toml"));
  ASSERT_TRUE(flash.flash);
  const std::string doc = ReadText(SourcePath("docs/scenario-format.md"));
  const std::regex block("```toml with-files\n([^`]*)```"), file("\"([A-Za-z0-9_.-]+\\.bin)\"");
  int examples = 0;
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), block); it != std::sregex_iterator(); ++it) {
    const std::string text = (*it)[1];
    // A whole flash for `image`, a few bytes for an entry's `file`.
    const bool whole = text.find("image =") != std::string::npos;
    for (auto f = std::sregex_iterator(text.begin(), text.end(), file); f != std::sregex_iterator(); ++f) {
      std::ofstream out(dir + (*f)[1].str(), std::ios::binary);
      out.write(reinterpret_cast<const char*>(flash.flash->bytes.data()), std::streamsize(whole ? flash.flash->Size() : 16));
    }
    ++examples;
    const sim::Scenario s = sim::ParseScenario(text, dir + "example.toml");
    EXPECT_TRUE(s.flash || !s.placements.empty()) << text;
  }
  EXPECT_GE(examples, 2);
}

TEST(FlashInspect, RoundTripOfTheDefaultPlatformsFlash) {
  const std::string image = testing::TempDir() + "default-flash.bin";
  Command c = RunSim("flash " + SourcePath("scenarios/default.toml") + " -o " + image);
  ASSERT_EQ(c.status, 0) << c.output;
  c = RunSim("flash --inspect " + image);
  EXPECT_EQ(c.status, 0) << c.output;
  for (const char* line : {"0xFF020000  found: the table", "  checksum  good", "\"$BL2\" good",
                           "  0x61  level 2 #0 at 0xFF027000  level 1 #0 at 0xFF025000", "Result: good"})
    EXPECT_NE(c.output.find(line), std::string::npos) << line << "\n" << c.output;

  // The file loads back as a scenario's flash, and the driver finds its entries.
  const std::string scenario = testing::TempDir() + "from-file.toml";
  std::ofstream(scenario) << "[[socket]]\n[[socket.die]]\nroot_bus = 0\n[cpuid]\n0x80000001 = [0x00810F00, 0, 0, 0]\n"
                             "[flash]\nimage = \"default-flash.bin\"\n[psp]\nwindow_base = 0xFEA00000\nboot = \"recovery\"\n";
  sim::Platform p(sim::LoadScenario(scenario));
  uint32_t typeWord = 0, size = 0;
  uint64_t source = 0, destination = 0;
  bool found = false;
  p.Run([&] { found = BiosDirectoryEntryFind(kBiosEntryDrux, &typeWord, &source, &size, &destination); });
  EXPECT_TRUE(found);
  EXPECT_EQ(source, 0xFF025000u) << "recovery: the level-1 entry, as the inspector said";

  c = RunSim("flash --inspect " + image + " --signature 0x0FF00F00");
  EXPECT_EQ(c.status, 1) << c.output;
  EXPECT_NE(c.output.find("matches neither 0x00800F00 nor 0x00810F00"), std::string::npos) << c.output;
  EXPECT_EQ(RunSim("flash --inspect " + image + " -o x").status, 2);
  EXPECT_EQ(RunSim("flash --inspect " + scenario + "-missing").status, 2);
  EXPECT_EQ(RunSim("flash --inspect /dev/zero").status, 2) << "not a file: never read";
}

TEST(FlashInspect, ACorruptedChecksumShowsBadWithBothValues) {
  const std::string toml = ReadText(SourcePath("scenarios/default.toml"));
  // The level-2 directory's checksum is stored one off.
  const std::string broken = std::regex_replace(toml, std::regex("kind = \"bios_l2\"\n"), "kind = \"bios_l2\"\ncorrupt = [\"checksum\"]\n");
  ASSERT_NE(broken, toml);
  const sim::Scenario s = sim::ParseScenario(broken, "broken.toml");
  const sim::FlashInspection r = sim::InspectFlash(*s.flash, "broken.bin");
  ASSERT_EQ(r.directories.size(), 3u);
  const sim::InspectedDirectory& level2 = r.directories[2];
  ASSERT_EQ(level2.kind, sim::FlashDirectoryKind::BiosLevel2);
  // The sum the builder stored for the intact directory, read from the scenario's own image.
  const sim::Scenario intact = sim::ParseScenario(toml, "intact.toml");
  uint64_t good = 0;
  ASSERT_TRUE(intact.flash->Read(level2.address + 4, 4, &good));
  EXPECT_EQ(level2.computed, good);
  const std::string text = sim::FlashInspectionText(r);
  char expected[80];
  std::snprintf(expected, sizeof expected, "checksum  BAD (stored 0x%08X, computed 0x%08X)", uint32_t(good + 1),
                uint32_t(good));
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  EXPECT_NE(text.find("BAD: level 1 serves every lookup"), std::string::npos) << text;
  EXPECT_NE(text.find("  0x61  level 1 #0 at 0xFF025000"), std::string::npos) << text;
  EXPECT_FALSE(r.Good());
  EXPECT_EQ(sim::FlashInspectionJson(r)["directories"][2]["checksum"]["good"], false);
}

}  // namespace
