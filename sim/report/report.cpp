#include "sim/report/report.h"

#include <sstream>

#include "sim/report/channels_report.h"
#include "sim/report/report_accesses.h"
#include "sim/report/report_calls.h"
#include "sim/report/report_drivers.h"
#include "sim/report/report_drux.h"
#include "sim/report/report_fabric_mmio.h"
#include "sim/report/report_format.h"
#include "sim/report/report_heap.h"
#include "sim/report/report_mmio_requests.h"
#include "sim/report/report_nothing.h"
#include "sim/report/report_pool.h"
#include "sim/report/report_record.h"
#include "sim/report/report_s3.h"
#include "sim/report/report_steps.h"
#include "sim/report/report_traps.h"
#include "sim/report/report_writes.h"

namespace sim {

namespace {

using nlohmann::json;

std::string Outcome(const BootResult& result) {
  if (result.halted) return "halted";
  if (result.runaway) return "ran_away";
  return "completed";
}

// The head of the text report: the scenario, the driver, how the boot ended.
std::string HeadText(const Platform& platform, const BootResult& result, const ReportOptions& options) {
  const Scenario& s = platform.scenario();
  Table head({"Scenario", s.name.empty() ? "(unnamed)" : s.name});
  if (!s.description.empty()) head.Row({"", s.description});
  head.Row({"File", s.path.empty() ? "(none)" : s.path});
  head.Row({"Driver", options.driver.backend == "emulator" ? "the image " + options.driver.image + ", in the CPU emulator"
                                                           : "linked into meminfo-sim (host build)"});
  const std::string outcome = Outcome(result);
  head.Row({"Outcome", outcome == "completed" ? "completed: the entry returned and every boot event ran"
                       : outcome == "halted"  ? "halted: a fatal trap stopped the platform"
                                              : "ran away: the access limit stopped the platform"});
  head.Row({"Entry", result.entryReturned ? "returned " + StatusName(result.entryStatus) + " (" +
                                                HexText(result.entryStatus, kStatusDigits) + ")"
                                          : "did not return (the platform " +
                                                std::string(result.halted ? "halted" : "ran away") + " during it)"});
  return head.Render("");
}

}  // namespace

std::string MemoryTypeName(uint32_t type) {
  static const char* const kNames[] = {"EfiReservedMemoryType", "EfiLoaderCode",         "EfiLoaderData",
                                       "EfiBootServicesCode",   "EfiBootServicesData",   "EfiRuntimeServicesCode",
                                       "EfiRuntimeServicesData", "EfiConventionalMemory"};
  if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
  if (type >= 0x80000000u) return "OS-defined " + HexText(type, 8);
  if (type >= 0x70000000u) return "OEM-defined " + HexText(type, 8);
  return "unknown " + HexText(type, 8);
}

nlohmann::json JsonReport(Platform& platform, const BootResult& result, const DriverInfo& driver, bool trace) {
  const Scenario& s = platform.scenario();
  json j;
  j["schema_version"] = kReportSchemaVersion;
  j["scenario"] = {{"name", s.name}, {"description", s.description}, {"path", s.path}};
  j["driver"] = {{"backend", driver.backend}, {"image", driver.image.empty() ? json(nullptr) : json(driver.image)}};
  j["outcome"] = Outcome(result);

  json entry = {{"returned", result.entryReturned}};
  if (result.entryReturned) PutStatus(entry, result.entryStatus);
  j["entry"] = entry;

  j["record"] = RecordJson(platform);
  j["signals"] = SignalsJson(result);
  j["pcd_writes"] = PcdWritesJson(platform);
  j["traps"] = TrapsJson(platform);
  j["channels"] = ChannelsJson(platform);
  j["heap"] = HeapJson(platform);
  j["fabric_mmio"] = FabricMmioJson(platform);
  if (!result.mmioRequests.empty()) j["fabric_mmio"]["requests"] = MmioRequestsJson(result.mmioRequests);
  j["drux"] = DruxJson(platform);
  j["pool"] = PoolJson(platform);
  j["pool_faults"] = PoolFaultsJson(platform);
  j["drivers"] = DriversJson(platform, result);
  j["s3"] = S3Json(platform);
  j["events"] = EventsJson(platform);
  j["calls"] = CallsJson(platform);
  j["accesses"] = AccessesJson(platform, trace);
  j["nothing"] = NothingJson(platform);
  return j;
}

std::string TextReport(Platform& platform, const BootResult& result, const ReportOptions& options) {
  std::ostringstream out;
  out << HeadText(platform, result, options);
  out << "\n";
  out << RecordText(platform);
  out << "\n";
  out << RecordBuffersText(platform);
  out << DruxText(platform) << "\n";
  out << SignalsText(result);
  out << "\n";
  out << DriversText(platform, result);
  out << S3Text(platform);
  out << "\n";
  out << PcdWritesText(platform);
  out << "\n";
  out << TrapsText(platform);
  out << "\n";
  out << ChannelsText(platform);
  out << "\n";
  out << HeapText(platform);
  out << "\n";
  out << FabricMmioText(platform) << MmioRequestsText(result.mmioRequests);
  out << "\n";
  out << PoolText(platform);
  out << "\n";
  out << EventsText(platform);
  out << "\n";
  out << AccessesText(platform);
  out << "\n" << StepsText(platform);
  out << "\n" << NothingText(platform);
  if (options.trace) {
    out << "\n";
    out << AccessLogText(platform);
  }
  if (options.verbose) {
    out << "\n";
    out << CallsText(platform);
  }
  return out.str();
}

}  // namespace sim
