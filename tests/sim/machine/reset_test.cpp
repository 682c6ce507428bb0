// Booting again in one process: a platform resets DRAM by what the previous boot
// touched, not by clearing all of it, so that reset must miss nothing.
#include <algorithm>
#include <filesystem>

#include "tests/support/platform_fixture.h"
#include "sim/report/report.h"

namespace {

TEST(PlatformReset, EveryBundledScenarioLeavesNothingBehindAndBootsAgainTheSame) {
  std::vector<std::filesystem::path> files;
  for (const auto& f : std::filesystem::directory_iterator(std::string(MEMINFO_SOURCE_DIR) + "/scenarios"))
    if (f.path().extension() == ".toml") files.push_back(f.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const sim::Scenario scenario = sim::LoadScenario(file.string());
    std::string reports[2];
    for (std::string& report : reports) {
      {
        sim::Platform p(scenario);
        report = sim::JsonReport(p, p.Boot(), {}, true).dump();
      }
      sim::PhysicalMemory::Instance().Reset();
      EXPECT_EQ(test::FirstNonZeroDramByte(), 0u) << "a byte the boot wrote survived the reset";
    }
    EXPECT_EQ(reports[0], reports[1]);
  }
}

}  // namespace
