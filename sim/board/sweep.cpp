#include "sim/board/sweep.h"

#include <exception>
#include <sstream>

#include <nlohmann/json.hpp>

#include "core/channel_map.h"
#include "core/meminfo.h"
#include "services/s3_save.h"
#include "sim/board/platform.h"

namespace sim {

namespace {

struct Kind {
  const char* name;
  const char* service;
  uint64_t FirmwareFaults::*fault;
};
constexpr Kind kKinds[] = {
    {"allocation", "AllocatePool", &FirmwareFaults::failAllocation},
    {"installation", "InstallProtocolInterface", &FirmwareFaults::failInstallCall},
    {"event", "CreateEvent", &FirmwareFaults::failCreateEvent},
    {"event_ex", "CreateEventEx", &FirmwareFaults::failCreateEventEx},
    {"lookup", "LocateProtocol", &FirmwareFaults::failLocateCall},
};

// The calls of a kind the drivers made, in order (the platform's own
// installations are not the drivers').
std::vector<std::string> CallsOf(const Firmware& fw, const Kind& kind) {
  std::vector<std::string> details;
  for (const ServiceCall& c : fw.Calls())
    if (c.service == kind.service && c.detail.find("(the platform's)") == std::string::npos)
      details.push_back(c.detail);
  return details;
}

// The live block of the given type that holds [address, address + size), if any.
const PoolBlock* LiveBlock(const Firmware& fw, uint64_t address, uint64_t size, std::optional<uint32_t> type) {
  for (const PoolBlock& b : fw.Pool())
    if (!b.freed && address >= b.address && size <= b.size && address - b.address <= b.size - size &&
        (!type || b.type == *type))
      return &b;
  return nullptr;
}

// The checks after every boot.
std::vector<std::string> Check(Platform& p, const BootResult& r) {
  std::vector<std::string> problems;
  const Firmware& fw = p.firmware();
  if (r.runaway) problems.push_back("ran past the access limit");
  for (const PoolFault& f : fw.PoolFaults())
    problems.push_back(std::string("pool fault: ") + PoolFaultName(f.kind) + " at " + HexText(f.address));
  for (const auto& e : fw.StaleEvents())
    problems.push_back("event " + HexText(e.handle) + " still open with a notify function in unloaded driver " +
                       std::to_string(e.image));
  if (fw.StaleNotifies() != 0)
    problems.push_back(std::to_string(fw.StaleNotifies()) + " signals of events of an unloaded driver");
  // A driver that failed is unloaded: nothing it installed may point into it.
  for (const InstalledInterface& i : fw.Interfaces())
    if (i.image && fw.Unloaded(*i.image) && !LiveBlock(fw, i.interface, 1, std::nullopt))
      problems.push_back(GuidName(i.protocol) + " still installed with interface " + HexText(i.interface) +
                         " inside unloaded driver " + std::to_string(*i.image));
  // A published record is whole: in reserved memory of its own, reserved bytes
  // zero, and what it points to there too.
  for (const InstalledInterface& i : fw.Interfaces()) {
    if (!GuidEqual(i.protocol, MemInfoProtocolGuid)) continue;
    const std::string at = "record at " + HexText(i.interface) + ": ";
    if (!LiveBlock(fw, i.interface, sizeof(MemInfoRecord), EfiReservedMemoryType)) {
      problems.push_back(at + "not in a live reserved-memory block");
      continue;
    }
    const auto rec = p.memory().Read<MemInfoRecord>(i.interface);
    if (rec.Reserved1 || rec.Reserved9 || rec.Reserved13) problems.push_back(at + "reserved bytes set");
    if ((rec.ChipSelectCount == 0) != (rec.ChipSelectEntries == 0))
      problems.push_back(at + "chip-select count and table disagree");
    if (rec.ChipSelectEntries && !LiveBlock(fw, rec.ChipSelectEntries, 1, EfiReservedMemoryType))
      problems.push_back(at + "chip-select table not in live reserved memory");
    if (rec.ChannelMap && !LiveBlock(fw, rec.ChannelMap, sizeof(ChannelMapSnapshot), EfiReservedMemoryType))
      problems.push_back(at + "channel map not in live reserved memory");
  }
  // The shared S3 record likewise, when published.
  if (const auto s3 = fw.PcdValue(PcdS3PrivateData); s3 && *s3 != 0 &&
      !LiveBlock(fw, *s3, sizeof(VyrS3LibPrivateData), std::nullopt))
    problems.push_back("S3 record at " + HexText(*s3) + " not in a live pool block");
  return problems;
}

std::string Outcome(const Platform& p, const BootResult& r) {
  std::string out;
  for (const DriverRun& d : r.drivers) {
    if (!out.empty()) out += ", ";
    out += "driver " + std::to_string(d.image) + " " + (d.returned ? StatusName(d.status) : "did not return");
  }
  if (r.halted) {
    out += "; halted in the trap";
    for (uint32_t code : p.hardware().TrapCodes()) out += " " + HexText(code);
  }
  size_t records = 0;
  for (const InstalledInterface& i : p.firmware().Interfaces()) records += GuidEqual(i.protocol, MemInfoProtocolGuid);
  out += "; " + std::to_string(records) + (records == 1 ? " record" : " records");
  return out;
}

// Boots once; a crash of the emulated image is a problem of the run.
void BootAndCheck(const Scenario& s, Dispatch& dispatch, std::string* outcome, std::vector<std::string>* problems,
                  std::vector<std::vector<std::string>>* calls) {
  try {
    Platform p(s, dispatch);
    const BootResult r = p.Boot();
    *outcome = Outcome(p, r);
    *problems = Check(p, r);
    if (calls)
      for (const Kind& k : kKinds) calls->push_back(CallsOf(p.firmware(), k));
    p.firmware().ClearPoolFaults();  // reported here
  } catch (const std::exception& e) {
    *outcome = "crashed";
    problems->push_back(std::string("crash: ") + e.what());
  }
}

}  // namespace

bool SweepResult::Passed() const {
  if (!baselineProblems.empty()) return false;
  for (const SweepPoint& p : points)
    if (!p.problems.empty()) return false;
  return true;
}

SweepResult RunSweep(const Scenario& scenario, Dispatch& dispatch) {
  SweepResult result;
  std::string outcome;
  std::vector<std::vector<std::string>> calls;
  BootAndCheck(scenario, dispatch, &outcome, &result.baselineProblems, &calls);
  for (size_t k = 0; k < calls.size(); ++k) {
    for (size_t n = 0; n < calls[k].size(); ++n) {
      SweepPoint point{kKinds[k].name, n + 1, calls[k][n], {}, {}};
      Scenario s = scenario;
      s.faults = FirmwareFaults{};
      s.faults.missingProtocols = scenario.faults.missingProtocols;
      s.faults.*kKinds[k].fault = n + 1;
      BootAndCheck(s, dispatch, &point.outcome, &point.problems, nullptr);
      result.points.push_back(point);
    }
  }
  return result;
}

std::string SweepText(const SweepResult& r) {
  std::ostringstream out;
  out << "Failure points: " << r.points.size() << "\n";
  for (const std::string& p : r.baselineProblems) out << "  sound boot: PROBLEM " << p << "\n";
  for (const SweepPoint& p : r.points) {
    out << "  " << p.kind << " #" << p.call << " (" << p.detail << "): " << p.outcome
        << (p.problems.empty() ? ": ok" : "") << "\n";
    for (const std::string& problem : p.problems) out << "    PROBLEM " << problem << "\n";
  }
  out << (r.Passed() ? "Every check passed\n" : "Checks FAILED\n");
  return out.str();
}

std::string SweepJson(const SweepResult& r) {
  nlohmann::json points = nlohmann::json::array();
  for (const SweepPoint& p : r.points)
    points.push_back({{"kind", p.kind}, {"call", p.call}, {"detail", p.detail}, {"outcome", p.outcome},
                      {"problems", p.problems}});
  nlohmann::json j = {{"failure_points", r.points.size()},
                      {"passed", r.Passed()},
                      {"baseline_problems", r.baselineProblems},
                      {"points", points}};
  return j.dump(2) + "\n";
}

}  // namespace sim
