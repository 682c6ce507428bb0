// The flash builder's scenario keys, and `meminfo-sim flash` writing and
// inspecting images.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/platform_fixture.h"
#include "psp/flash.h"
#include "sim/images/flash_listing.h"
#include "tests/support/run_sim.h"

namespace {

std::string SourcePath(const std::string& relative) { return std::string(MEMINFO_SOURCE_DIR) + "/" + relative; }

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

using test::Command;
using test::RunSim;

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

// Without --signature both processor kinds are judged; a flash may serve only
// one, but one with which neither finds its directories is not good.
TEST(FlashInspect, ATableWithWhichNoProcessorFindsItsDirectoriesIsAProblem) {
  const std::string directories = "[[flash.directory]]\nname = \"psp\"\nkind = \"psp\"\n"
                                  "[[flash.directory]]\nname = \"bios\"\nkind = \"bios\"\n";
  struct Case {
    std::string table;
    bool good;
  } cases[] = {
      {"psp = 0\nbios = 0\n", false},
      {"psp = 0xFFFFFFFF\nbios = 0xFFFFFFFF\n", false},
      {"psp = \"psp\"\nbios = [0, 0xFFFFFFFF]\n", false},
      {"psp = 0\nbios = \"bios\"\n", false},
      {"psp = \"psp\"\nbios = [0xFFFFFFFF, \"bios\"]\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    const sim::Scenario s = sim::ParseScenario("[flash]\nsize = 0x100000\n[flash.entry_table]\n" + c.table + directories, "f.toml");
    const sim::FlashInspection r = sim::InspectFlash(*s.flash, "f.bin");
    EXPECT_EQ(r.Good(), c.good);
    const std::string text = sim::FlashInspectionText(r);
    EXPECT_EQ(text.find("Result: good") != std::string::npos, c.good) << text;
    if (!c.good) EXPECT_NE(text.find("no processor finds its directories: every lookup fails"), std::string::npos) << text;
    EXPECT_EQ(sim::FlashInspectionJson(r)["good"], c.good);
  }
  // As a bad checksum does, it makes the command exit with 1.
  const std::string toml = testing::TempDir() + "no-directories.toml", image = testing::TempDir() + "no-directories.bin";
  std::ofstream(toml) << "[flash]\nsize = 0x100000\n[flash.entry_table]\npsp = 0\nbios = 0xFFFFFFFF\n";
  ASSERT_EQ(RunSim("flash " + toml + " -o " + image).status, 0);
  EXPECT_EQ(RunSim("flash --inspect " + image + " --json").status, 1);
}

// --json is written piece by piece; it must be the document dump(2) makes of
// the whole, byte for byte: every directory kind, one outside the flash, empty
// lists, nulls, thousands of entries, and a file name that is not UTF-8.
TEST(FlashInspect, StreamedJsonIsTheWholeDocumentByteForByte) {
  const sim::Scenario s = sim::ParseScenario(
      "[flash]\nsize = 0x200000\n[flash.entry_table]\npsp = \"combo\"\nbios = [\"bios-a\", 0x1000]\n"
      "[[flash.directory]]\nname = \"combo\"\nkind = \"combo\"\n"
      "entries = [{ id = 0xBC090000, psp = \"psp-a\" }, { id = 0xBC0A0000, psp = \"psp-b\" }]\n"
      "[[flash.directory]]\nname = \"psp-a\"\nkind = \"psp\"\nentries = [{ type = 0x01, data = [1, 2, 3, 4] }]\n"
      "[[flash.directory]]\nname = \"psp-b\"\nkind = \"psp\"\n"
      "[[flash.directory]]\nname = \"bios-a\"\nkind = \"bios\"\n"
      "entries = [{ type = 0x61, destination = 0x00800000, data = [0x44] }, { type = 0x70, source = \"bios-a2\" }]\n"
      "[[flash.directory]]\nname = \"bios-a2\"\nkind = \"bios_l2\"\ncount = 5000\n",
      "mid.toml");
  const sim::FlashInspection r = sim::InspectFlash(*s.flash, "mid\xFF.bin");
  ASSERT_EQ(r.directories.size(), 6u);
  ASSERT_EQ(r.directories[5].EntryCount(), 5000u);
  std::ostringstream streamed;
  sim::WriteFlashInspectionJson(r, streamed);
  const std::string got = streamed.str(),
                    whole = sim::FlashInspectionJson(r).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  // Where they part, briefly: a diff of the whole would take minutes.
  const size_t at = size_t(std::mismatch(got.begin(), got.end(), whole.begin(), whole.end()).first - got.begin());
  const size_t from = at < 120 ? 0 : at - 120;
  EXPECT_TRUE(got == whole) << "from byte " << from << ":\n" << got.substr(from, 240) << "\n---\n" << whole.substr(from, 240);
}

// A broken flash whose BIOS directory names 1,000 level-2 directories 16 bytes
// apart, each counting 16,384 entries over the same bytes: the inspection holds
// the image, not every directory's entries, and lists them in 256 MiB of address space.
TEST(FlashInspect, OverlappingDirectoriesStayWithinTheImagesMemory) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit the limit";
#endif
#endif
  constexpr uint64_t kBase = 0xFFC00000, kTable = 0xFFC20000, kBios = 0xFFC30000, kLevel2 = 0xFFE00000;
  constexpr uint32_t kDirectories = 1000, kCount = 0x4000;
  std::vector<uint8_t> image(sim::kFlashEnd - kBase, 0xFF);
  auto put = [&](uint64_t at, const void* data, size_t n) { std::memcpy(image.data() + (at - kBase), data, n); };
  const uint32_t table[] = {kFirmwareEntryTableSignature, 0, 0, 0, 0, 0, uint32_t(kBios), uint32_t(kBios)};
  put(kTable, table, sizeof table);
  const uint32_t header[] = {FlashDirectoryMagic(sim::FlashDirectoryKind::Bios), 0, kDirectories, 0};
  put(kBios, header, sizeof header);
  for (uint32_t k = 0; k < kDirectories; ++k) {
    const BiosDirectoryEntry e{kBiosEntryLevel2, 0, kLevel2 + 16 * k, 0};
    put(kBios + 16 + k * sizeof e, &e, sizeof e);
  }
  const uint32_t level2[] = {FlashDirectoryMagic(sim::FlashDirectoryKind::BiosLevel2), 0, kCount, 0};
  for (uint64_t at = kLevel2; at + sizeof level2 <= sim::kFlashEnd; at += sizeof level2) put(at, level2, sizeof level2);
  const std::string file = testing::TempDir() + "overlapping.bin";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));

  const Command c = RunSim("flash --inspect " + file, "ulimit -v 262144; ");
  EXPECT_EQ(c.status, 1) << c.output.substr(0, 2000);
  EXPECT_NE(c.output.find("level-2 BIOS directory at 0xFFE03E70 (from entry 999 of"), std::string::npos);
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
