// The fault sweep: boots a scenario once per failure point (each pool
// allocation, protocol installation, event creation and protocol look-up the
// drivers make in a sound boot, failed in turn) and checks every run.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/firmware/dispatch.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct SweepPoint {
  std::string kind;    // "allocation", "installation", "event", "event_ex", "lookup"
  uint64_t call = 0;   // the call of that kind that fails, 1-based
  std::string detail;  // what the call was in the sound boot
  std::string outcome;                // the drivers' statuses, or where the platform halted
  std::vector<std::string> problems;  // empty: every check passed
};

struct SweepResult {
  std::vector<std::string> baselineProblems;  // the sound boot's own
  std::vector<SweepPoint> points;
  bool Passed() const;
};

SweepResult RunSweep(const Scenario& scenario, Dispatch& dispatch = HostDispatch());
std::string SweepText(const SweepResult& result);
std::string SweepJson(const SweepResult& result);

}  // namespace sim
