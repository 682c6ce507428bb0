// MemInfoDump.efi, the record dump a board runs from the UEFI shell, run in the
// emulator after the real image's boot of every bundled scenario: what it
// prints on the console is the report's own sections for the record.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "core/meminfo.h"
#include "sim/board/platform.h"
#include "sim/board/mmio_request.h"
#include "sim/emu/emulator_dispatch.h"
#include "sim/report/report_record.h"
#include "sim/scenario/scenario.h"

#if defined(MEMINFO_IMAGE_PATH) && defined(MEMINFO_DUMP_APP_PATH)

namespace {

TEST(DumpApplication, PrintsTheReportsRecordSectionsAfterEveryBundledBoot) {
  size_t published = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(MEMINFO_SOURCE_DIR) + "/scenarios")) {
    if (entry.path().extension() != ".toml") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const sim::Scenario scenario = sim::LoadScenario(entry.path().string());
    sim::EmulatorDispatch emulator(MEMINFO_IMAGE_PATH);
    if (!sim::RequestsUnsupported(scenario, emulator).empty()) continue;
    sim::Platform platform(scenario, emulator);
    const sim::BootResult boot = platform.Boot();
    if (boot.halted || boot.runaway) continue;  // nothing runs on a stopped platform
    const bool present = platform.Installed(MemInfoProtocolGuid).has_value();
    published += present;
    const std::string expected = sim::DumpText(platform);

    uint64_t status = 0;
    ASSERT_TRUE(platform.RunApplication(MEMINFO_DUMP_APP_PATH, &status));
    EXPECT_EQ(status, present ? EFI_SUCCESS : EFI_NOT_FOUND);
    // Lines end in CR LF on the console, and only there.
    std::string console = platform.firmware().ConsoleText(), lines;
    for (size_t i = 0; i < console.size(); ++i) {
      if (console[i] == '\r' && i + 1 < console.size() && console[i + 1] == '\n') continue;
      lines += console[i];
    }
    EXPECT_EQ(console.size() - lines.size(), std::count(expected.begin(), expected.end(), '\n'));
    if (lines != expected) {
      size_t at = 0;
      while (at < lines.size() && at < expected.size() && lines[at] == expected[at]) ++at;
      const size_t from = expected.rfind('\n', at) == std::string::npos ? 0 : expected.rfind('\n', at) + 1;
      ADD_FAILURE() << "the console parts from the report at\n  report:  " << expected.substr(from, expected.find('\n', at) - from)
                    << "\n  console: " << lines.substr(from, lines.find('\n', at) - from);
    }
  }
  EXPECT_GE(published, 10u) << "most bundled scenarios publish a record";
}

}  // namespace

#endif
