// Booting again in one process: a platform resets DRAM by what the previous boot
// touched, not by clearing all of it, so that reset must miss nothing.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/platform_fixture.h"
#include "sim/report/report.h"

namespace {

TEST(PlatformReset, EveryBundledScenarioLeavesNothingBehindAndBootsAgainTheSame) {
  std::vector<std::filesystem::path> files;
  for (const auto& f : std::filesystem::directory_iterator(std::string(MEMINFO_SOURCE_DIR) + "/scenarios"))
    if (f.path().extension() == ".toml") files.push_back(f.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  // The scenarios that extend default.toml, as they were written out in full
  // before: each boots and reports exactly as its full copy does.
  const std::filesystem::path fullCopies = std::string(MEMINFO_SOURCE_DIR) + "/tests/sim/scenario/flat";
  size_t compared = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const sim::Scenario scenario = sim::LoadScenario(file.string());
    const std::filesystem::path full = fullCopies / file.filename();
    const bool hasFull = std::filesystem::exists(full);
    std::string reports[3];
    for (size_t i = 0; i < (hasFull ? 3u : 2u); ++i) {
      {
        std::ifstream in(full);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        sim::Platform p(i < 2 ? scenario : sim::ParseScenario(text, file.string()));
        const sim::BootResult result = p.Boot();
        reports[i] = sim::JsonReport(p, result, {}, true).dump() + sim::TextReport(p, result);
      }
      sim::PhysicalMemory::Instance().Reset();
      EXPECT_EQ(test::FirstNonZeroDramByte(), 0u) << "a byte the boot wrote survived the reset";
    }
    EXPECT_EQ(reports[0], reports[1]);
    if (hasFull) EXPECT_EQ(reports[0], reports[2]) << "differs from its full copy " << full;
    compared += hasFull;
  }
  EXPECT_EQ(compared, 6u);
}

}  // namespace
