// `meminfo-sim compare`: a board's record dump against a scenario's prediction.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "sim/board/platform.h"
#include "sim/report/report_record.h"
#include "tests/support/platform_fixture.h"
#include "tests/support/run_sim.h"

namespace {

std::string Predicted(const std::string& scenario) {
  sim::Platform p(sim::LoadScenario(std::string(MEMINFO_SOURCE_DIR) + "/" + scenario));
  p.Boot();
  return sim::DumpText(p);
}

std::string WriteDump(const std::string& name, const std::string& bytes) {
  const std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// As the UEFI shell writes a console's redirection: UTF-16LE with its mark, CR LF.
std::string ShellFile(const std::string& text) {
  std::string out = "\xFF\xFE";
  for (char c : text) {
    if (c == '\n') out += std::string("\r\0", 2);
    out += c;
    out += '\0';
  }
  return out;
}

const std::string kDefault = std::string(MEMINFO_SOURCE_DIR) + "/scenarios/default.toml";

TEST(RecordCompare, ADumpPlacedElsewhereMatchesAndOneEditedFieldIsNamed) {
  const std::string predicted = Predicted("scenarios/default.toml");
  // The firmware put everything 4 GiB higher: addresses and the pointers' bytes move, 0 bytes among them.
  std::string moved = std::regex_replace(predicted, std::regex("0x0000000040"), "0x0000000140");
  moved = std::regex_replace(moved, std::regex("(\\+0x10  (\\S\\S ){11}40) 00"), "$1 01");
  moved = std::regex_replace(moved, std::regex("(\\+0x20  (\\S\\S ){3}40) 00"), "$1 01");
  test::Command c = test::RunSim("compare " + kDefault + " " +
                                 WriteDump("dump_moved.txt", ShellFile("Shell> MemInfoDump.efi\n" + moved + "Shell> \n")));
  EXPECT_EQ(c.status, 0) << c.output;
  EXPECT_NE(c.output.find("placed elsewhere: Published record, ChannelMap: expected 0x00000000402000E0, found "
                          "0x00000001402000E0"), std::string::npos) << c.output;
  EXPECT_EQ(c.output.find("differs:"), std::string::npos) << c.output;

  // One element of one slot's AddrMask edited.
  const size_t at = moved.find("    AddrMask        0x01FFFFFF  0x00000001");
  ASSERT_NE(at, std::string::npos) << moved;
  std::string edited = moved;
  edited.replace(at + 41, 1, "3");
  c = test::RunSim("compare " + kDefault + " " + WriteDump("dump_edited.txt", edited));
  EXPECT_EQ(c.status, 1) << c.output;
  EXPECT_NE(c.output.find("differs: Channel map snapshot, slot 2, AddrMask[1]: expected 0x00000001, found 0x00000003"),
            std::string::npos) << c.output;
  EXPECT_NE(c.output.find("1 field differs"), std::string::npos) << c.output;

  // A pointer that is 0 on the board is no placement: the snapshot's section is gone too.
  const std::string noMap = std::regex_replace(moved, std::regex("ChannelMap           u64   0x\\w+"),
                                               "ChannelMap           u64   0x0000000000000000");
  c = test::RunSim("compare " + kDefault + " " + WriteDump("dump_nomap.txt", noMap));
  EXPECT_EQ(c.status, 1) << c.output;
  EXPECT_NE(c.output.find("differs: Published record, ChannelMap: expected 0x00000000402000E0, found 0x0000000000000000"),
            std::string::npos) << c.output;
}

TEST(RecordCompare, WhatIsNoDumpExitsWithTwoNamingTheFileAndLine) {
  const std::string predicted = Predicted("scenarios/default.toml");
  std::string broken = predicted;
  broken.insert(broken.find("  Slot 1:"), "  Slot one\n");
  const std::string path = WriteDump("dump_broken.txt", broken);
  test::Command c = test::RunSim("compare " + kDefault + " " + path);
  EXPECT_EQ(c.status, 2) << c.output;
  EXPECT_NE(c.output.find(path + ": line "), std::string::npos) << c.output;

  EXPECT_EQ(test::RunSim("compare " + kDefault + " " + WriteDump("dump_empty.txt", "")).status, 2);
  EXPECT_EQ(test::RunSim("compare " + kDefault + " /dev/zero").status, 2);
  EXPECT_EQ(test::RunSim("compare " + kDefault).status, 2);
  // Every byte value after the title, truncated lines and runs of numbers: refused or compared, never a crash.
  std::string noise = "Published record (MemInfoProtocol)\n";
  for (int i = 0; i < 4096; ++i) noise += char((i * 37) % 256);
  noise += "\n    +0x99999999999999999999 00\n  0x00 X u8 0x0\n";
  c = test::RunSim("compare " + kDefault + " " + WriteDump("dump_noise.txt", noise));
  EXPECT_TRUE(c.status == 1 || c.status == 2) << c.output;
}

}  // namespace
