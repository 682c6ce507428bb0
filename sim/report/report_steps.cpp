#include "sim/report/report_steps.h"

#include <algorithm>
#include <array>
#include <vector>

namespace sim {

namespace {
using Counts = std::array<uint64_t, kAccessKindCount>;

uint64_t Sum(const Counts& c) {
  uint64_t n = 0;
  for (uint64_t v : c) n += v;
  return n;
}
}  // namespace

nlohmann::json StepsJson(const Platform& platform) {
  nlohmann::json steps = nlohmann::json::object();
  for (int s = 0; s < kBootStepCount; ++s) {
    const Counts& c = platform.hardware().StepCounts(static_cast<BootStep>(s));
    nlohmann::json counts = nlohmann::json::object();
    for (int k = 0; k < kAccessKindCount; ++k) counts[AccessKindName(static_cast<AccessKind>(k))] = c[size_t(k)];
    steps[BootStepName(static_cast<BootStep>(s))] = {{"counts", counts}, {"total", Sum(c)}};
  }
  return steps;
}

std::string StepsText(const Platform& platform) {
  const Hardware& hw = platform.hardware();
  std::string out = "Hardware accesses by step\n";
  if (hw.TotalAccesses() == 0) return out + "  none\n";
  const Counts total = hw.Counts();
  std::vector<int> kinds;
  for (int k = 0; k < kAccessKindCount; ++k)
    if (total[size_t(k)] != 0) kinds.push_back(k);

  std::vector<std::vector<std::string>> rows;
  rows.push_back({"Step"});
  for (int k : kinds) rows.back().push_back(AccessKindName(static_cast<AccessKind>(k)));
  rows.back().push_back("total");
  auto row = [&](const std::string& name, const Counts& c) {
    rows.push_back({name});
    for (int k : kinds) rows.back().push_back(std::to_string(c[size_t(k)]));
    rows.back().push_back(std::to_string(Sum(c)));
  };
  for (int s = 0; s < kBootStepCount; ++s)
    row(BootStepName(static_cast<BootStep>(s)), hw.StepCounts(static_cast<BootStep>(s)));
  row("total", total);

  // The step names left-aligned, the counts right-aligned, two spaces apart.
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& r : rows)
    for (size_t c = 0; c < r.size(); ++c) widths[c] = std::max(widths[c], r[c].size());
  for (const auto& r : rows) {
    std::string line = "  " + r[0] + std::string(widths[0] - r[0].size(), ' ');
    for (size_t c = 1; c < r.size(); ++c) line += "  " + std::string(widths[c] - r[c].size(), ' ') + r[c];
    out += line + "\n";
  }
  return out;
}

}  // namespace sim
