#include "tools/meminfo_sim/compare_command.h"

#include <iostream>
#include <iterator>
#include <vector>

#include "sim/board/platform.h"
#include "sim/common/bounded_file.h"
#include "sim/report/record_compare.h"
#include "sim/report/report_record.h"

namespace sim {

namespace {

// A dump is a few hundred lines; a file many times that is not one.
constexpr uint64_t kDumpLimit = 4ull << 20;

// The dump's bytes, from a file or ("-") standard input, at most kDumpLimit; or why not.
std::string ReadDump(const std::string& path, std::vector<uint8_t>& bytes) {
  if (path != "-") return ReadBoundedFile(path, kDumpLimit, bytes);
  bytes.clear();
  char buffer[4096];
  while (std::cin.read(buffer, sizeof buffer) || std::cin.gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + std::cin.gcount());
    if (bytes.size() > kDumpLimit) return "standard input holds more than 4 MiB";
  }
  return "";
}

}  // namespace

int RunCompareCommand(const std::string& scenarioPath, const std::string& dumpPath, std::ostream& out,
                      std::ostream& err) {
  Scenario scenario;
  try {
    scenario = LoadScenario(scenarioPath);
  } catch (const ScenarioError& e) {
    err << "meminfo-sim: " << e.what() << "\n";
    return 2;
  }
  std::vector<uint8_t> bytes;
  if (const std::string why = ReadDump(dumpPath, bytes); !why.empty()) {
    err << "meminfo-sim: " << why << "\n";
    return 2;
  }
  std::vector<DumpField> found;
  if (const std::string why = ParseDump(DumpLines(bytes), found); !why.empty()) {
    err << "meminfo-sim: " << (dumpPath == "-" ? "standard input" : dumpPath) << ": " << why << "\n";
    return 2;
  }

  Platform platform(scenario);
  platform.Boot();
  const std::string predicted = DumpText(platform);
  std::vector<DumpField> expected;
  const std::vector<uint8_t> predictedBytes(predicted.begin(), predicted.end());
  if (const std::string why = ParseDump(DumpLines(predictedBytes), expected); !why.empty()) {
    err << "meminfo-sim: the scenario's own prediction does not parse: " << why << "\n";
    return 2;
  }

  size_t differences = 0, placed = 0;
  for (const DumpDifference& d : CompareDumps(expected, found)) {
    out << DifferenceText(d) << "\n";
    (d.placedElsewhere ? placed : differences) += 1;
  }
  if (differences == 0)
    out << "the dump shows what " << scenarioPath << " predicts: " << expected.size() << (expected.size() == 1 ? " field, " : " fields, ") << placed
        << " placed elsewhere\n";
  else
    out << differences << (differences == 1 ? " field differs" : " fields differ") << " from what " << scenarioPath
        << " predicts (" << placed << " placed elsewhere)\n";
  return differences == 0 ? 0 : 1;
}

}  // namespace sim
