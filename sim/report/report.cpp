#include "sim/report/report.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <vector>

#include "core/meminfo.h"
#include "sim/report/channels_report.h"
#include "sim/report/report_drivers.h"
#include "sim/report/report_fabric_mmio.h"
#include "sim/report/report_s3.h"
#include "sim/report/report_drux.h"
#include "sim/report/report_heap.h"
#include "sim/report/report_snapshot.h"
#include "sim/report/report_nothing.h"
#include "sim/report/report_steps.h"
#include "sim/report/report_json.h"
#include "sim/report/report_mmio_requests.h"

namespace sim {

namespace {

using nlohmann::json;

// The published record's layout, field by field, in offset order.
struct RecordField {
  const char* name;
  size_t offset;
  int width;  // bytes
};
#define MEMINFO_FIELD(f) RecordField{#f, offsetof(MemInfoRecord, f), int(sizeof(MemInfoRecord{}.f))}
constexpr RecordField kRecordFields[] = {
    MEMINFO_FIELD(Token16Flag),        MEMINFO_FIELD(Reserved1),           MEMINFO_FIELD(SmiCommandPort),
    MEMINFO_FIELD(Token467Byte),       MEMINFO_FIELD(Token242Flag),        MEMINFO_FIELD(Token243Word),
    MEMINFO_FIELD(RootRegLowOverride), MEMINFO_FIELD(Reserved9),           MEMINFO_FIELD(RootRegLow),
    MEMINFO_FIELD(RootRegHighOverride), MEMINFO_FIELD(Reserved13),         MEMINFO_FIELD(RootRegHigh),
    MEMINFO_FIELD(ChipSelectCount),    MEMINFO_FIELD(ChipSelectEntries),   MEMINFO_FIELD(ChannelMap),
};
#undef MEMINFO_FIELD

constexpr bool FieldsCoverRecord() {
  size_t next = 0;
  for (const RecordField& f : kRecordFields) {
    if (f.offset != next) return false;
    next += size_t(f.width);
  }
  return next == sizeof(MemInfoRecord);
}
static_assert(FieldsCoverRecord(), "every byte of MemInfoRecord is listed once, in order");

constexpr int kAddressDigits = 16;
constexpr int kStatusDigits = 16;

// The record as it sits in memory after the boot.
struct RecordView {
  bool present = false;
  uint64_t address = 0;
  uint64_t handle = 0;
  bool readable = false;  // all 40 bytes lie in DRAM
  std::vector<uint8_t> bytes;

  uint64_t Value(const RecordField& f) const {
    uint64_t v = 0;
    for (int i = 0; i < f.width; ++i) v |= uint64_t(bytes[f.offset + size_t(i)]) << (8 * i);
    return v;
  }
  uint64_t Value(const char* name) const {
    for (const RecordField& f : kRecordFields)
      if (std::string_view(f.name) == name) return Value(f);
    return 0;
  }
};

RecordView ReadRecord(Platform& platform) {
  RecordView r;
  for (const InstalledInterface& i : platform.firmware().Interfaces()) {
    if (!GuidEqual(i.protocol, MemInfoProtocolGuid)) continue;
    r.present = true;
    r.address = i.interface;
    r.handle = i.handle;
    break;
  }
  if (r.present && platform.memory().Contains(r.address, sizeof(MemInfoRecord))) {
    r.readable = true;
    r.bytes = platform.memory().ReadBytes(r.address, sizeof(MemInfoRecord));
  }
  return r;
}

std::string Outcome(const BootResult& result) {
  if (result.halted) return "halted";
  if (result.runaway) return "ran_away";
  return "completed";
}

std::string ByteDump(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  std::string out;
  for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
    if (!out.empty()) out += ' ';
    out += HexText(bytes[i], 2).substr(2);
  }
  return out;
}

// ---- JSON ----

// Every address, register value, code and status: the number, and beside it the
// same number as text under the key with "_hex" appended.
void PutStatus(json& j, uint64_t status) {
  Put(j, "status", status, kStatusDigits);
  j["status_name"] = StatusName(status);
}

json JsonBuffer(bool present, uint64_t address) {
  json j = {{"present", present}};
  if (present) Put(j, "address", address, kAddressDigits);
  return j;
}

json JsonRecord(Platform& platform) {
  const RecordView r = ReadRecord(platform);
  json j = {{"present", r.present}};
  if (!r.present) return j;
  Put(j, "address", r.address, kAddressDigits);
  Put(j, "handle", r.handle, kAddressDigits);
  j["on_image_handle"] = r.handle == platform.firmware().ImageHandle();
  j["readable"] = r.readable;
  if (!r.readable) return j;

  j["bytes"] = r.bytes;
  j["bytes_hex"] = ByteDump(r.bytes, 0, r.bytes.size());
  json fields = json::object();
  for (const RecordField& f : kRecordFields) {
    json field = {{"offset", f.offset}, {"width", f.width}};
    Put(field, "value", r.Value(f), 2 * f.width);
    fields[f.name] = field;
  }
  j["fields"] = fields;
  const uint64_t channelMap = r.Value("ChannelMap");
  const uint64_t entries = r.Value("ChipSelectEntries");
  j["channel_map"] = JsonBuffer(channelMap != 0, channelMap);
  if (channelMap != 0) SnapshotJson(platform, channelMap, j["channel_map"]);
  j["chip_select_table"] = JsonBuffer(entries != 0, entries);
  j["chip_select_table"]["count"] = r.Value("ChipSelectCount");
  if (entries != 0) ChipSelectJson(platform, entries, r.Value("ChipSelectCount"), j["chip_select_table"]);
  return j;
}

json JsonWrite(const InternalWrite& w) {
  json j = json::object();
  Put(j, "bus", w.bus, 2);
  Put(j, "index", w.index, 8);
  Put(j, "value", w.value, 8);
  return j;
}

json JsonTraps(Platform& platform) {
  const Hardware& hw = platform.hardware();
  json codes = json::array();
  for (uint32_t c : hw.TrapCodes()) {
    json code = json::object();
    Put(code, "code", c, 8);
    codes.push_back(code);
  }
  json j = {{"queries", codes}, {"halted", hw.Halted()}};
  if (hw.Halted()) {
    Put(j, "halt_code", hw.HaltCode(), 8);
    json display = json::array();
    for (uint32_t v : hw.HaltDisplay()) {
      json shown = json::object();
      Put(shown, "value", v, 8);
      Put(shown, "low_byte", v & 0xFF, 2);
      display.push_back(shown);
    }
    j["display"] = display;
  }
  return j;
}

// ---- text ----

// Columns left-aligned, two spaces apart, each row indented.
class Table {
 public:
  explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
  void Row(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  Table& RightAlign(size_t column) {
    if (right_.size() <= column) right_.resize(column + 1, false);
    right_[column] = true;
    return *this;
  }
  std::string Render(const std::string& indent) const {
    std::vector<size_t> widths;
    for (const auto& row : rows_) {
      if (widths.size() < row.size()) widths.resize(row.size(), 0);
      for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows_) {
      std::string line = indent;
      for (size_t c = 0; c < row.size(); ++c) {
        const std::string pad(widths[c] - row[c].size(), ' ');
        const bool right = c < right_.size() && right_[c];
        line += right ? pad + row[c] : row[c];
        if (c + 1 < row.size()) line += (right ? "" : pad) + "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
    return out;
  }

 private:
  std::vector<std::vector<std::string>> rows_;
  std::vector<bool> right_;
};

std::string WidthName(int bytes) {
  return bytes == 1 ? "u8" : bytes == 2 ? "u16" : bytes == 4 ? "u32" : "u64";
}

void TextRecord(std::ostringstream& out, Platform& platform) {
  const RecordView r = ReadRecord(platform);
  out << "Published record (MemInfoProtocol)\n";
  if (!r.present) {
    out << "  absent: nothing was installed under " << GuidText(MemInfoProtocolGuid) << "\n";
    return;
  }
  out << "  Interface  " << HexText(r.address, kAddressDigits) << "\n";
  out << "  Handle     " << HexText(r.handle, kAddressDigits)
      << (r.handle == platform.firmware().ImageHandle() ? " (the image handle)" : " (not the image handle)") << "\n";
  if (!r.readable) {
    out << "  unreadable: the interface address does not lie in DRAM\n";
    return;
  }
  Table t({"Offset", "Field", "Type", "Value"});
  for (const RecordField& f : kRecordFields)
    t.Row({HexText(f.offset, 2), f.name, WidthName(f.width), HexText(r.Value(f), 2 * f.width)});
  out << t.Render("  ");
  out << "  Bytes\n";
  for (size_t at = 0; at < r.bytes.size(); at += 16) out << "    +" << HexText(at, 2) << "  " << ByteDump(r.bytes, at, 16) << "\n";

  const uint64_t channelMap = r.Value("ChannelMap");
  const uint64_t entries = r.Value("ChipSelectEntries");
  out << "  Channel map snapshot  "
      << (channelMap == 0 ? std::string("absent (ChannelMap is 0)") : "at " + HexText(channelMap, kAddressDigits))
      << "\n";
  out << "  Chip-select table     "
      << (entries == 0 ? std::string("absent (ChipSelectEntries is 0)")
                       : "at " + HexText(entries, kAddressDigits))
      << ", ChipSelectCount " << r.Value("ChipSelectCount") << "\n";
}

void TextSignals(std::ostringstream& out, const BootResult& result) {
  out << "Boot events and root-register writes\n";
  if (result.signals.empty()) {
    out << "  none: no boot event was signalled\n";
    return;
  }
  for (size_t i = 0; i < result.signals.size(); ++i) {
    const SignalRecord& s = result.signals[i];
    out << "  Signal " << i + 1 << " (" << s.event << "): " << s.writes.size()
        << (s.writes.size() == 1 ? " write" : " writes")
        << (s.completed ? "" : ", then the platform stopped during this signal") << "\n";
    if (s.writes.empty()) continue;
    Table t({"Bus", "Index", "Value"});
    for (const InternalWrite& w : s.writes) t.Row({HexText(w.bus, 2), HexText(w.index, 8), HexText(w.value, 8)});
    out << t.Render("    ");
  }
}

void TextPcdWrites(std::ostringstream& out, Platform& platform) {
  const auto& writes = platform.firmware().PcdWrites();
  out << "PCD writes\n";
  if (writes.empty()) {
    out << "  none\n";
    return;
  }
  Table t({"Token", "Type", "Value", "Status"});
  for (const PcdWrite& w : writes)
    t.Row({std::to_string(w.token), WidthName(w.width), HexText(w.value, 2 * w.width), StatusName(w.status)});
  out << t.Render("  ");
}

void TextTraps(std::ostringstream& out, Platform& platform) {
  const Hardware& hw = platform.hardware();
  out << "Fatal traps\n";
  std::string codes;
  for (uint32_t c : hw.TrapCodes()) codes += (codes.empty() ? "" : ", ") + HexText(c, 8);
  out << "  Agent queries  " << (codes.empty() ? "none" : codes) << "\n";
  if (!hw.Halted()) {
    out << "  Halted         no\n";
    return;
  }
  out << "  Halted         yes, on code " << HexText(hw.HaltCode(), 8) << "\n";
  out << "  Post-code display while halted (a two-digit display shows the low byte)\n";
  Table t({"#", "Value", "Low byte"});
  t.RightAlign(0);
  for (size_t i = 0; i < hw.HaltDisplay().size(); ++i) {
    const uint32_t v = hw.HaltDisplay()[i];
    t.Row({std::to_string(i + 1), HexText(v, 8), HexText(v & 0xFF, 2)});
  }
  out << t.Render("    ");
}

void TextPool(std::ostringstream& out, Platform& platform) {
  const auto& pool = platform.firmware().Pool();
  out << "Pool allocations\n";
  if (pool.empty()) {
    out << "  none\n";
    return;
  }
  Table t({"Address", "Size", "Type", "Freed", "By"});
  t.RightAlign(1);
  for (const PoolBlock& b : pool)
    t.Row({HexText(b.address, kAddressDigits), std::to_string(b.size), MemoryTypeName(b.type),
           b.freed ? (b.reused ? "yes, reused" : "yes") : "no", b.byPlatform ? "platform" : "driver"});
  out << t.Render("  ");
  out << PoolFaultsText(platform);
}

void TextCalls(std::ostringstream& out, Platform& platform) {
  const auto& calls = platform.firmware().Calls();
  out << "Firmware service calls\n";
  if (calls.empty()) {
    out << "  none\n";
    return;
  }
  Table t({"#", "Service", "Status", "Detail"});
  t.RightAlign(0);
  for (size_t i = 0; i < calls.size(); ++i)
    t.Row({std::to_string(i + 1), calls[i].service, StatusName(calls[i].status), calls[i].detail});
  out << t.Render("  ");
}

// Every access in order, as the platform saw it.
void TextTrace(std::ostringstream& out, Platform& platform) {
  out << "Hardware access log\n";
  Table t({"#", "Kind", "Op", "Width", "Address", "Value"});
  t.RightAlign(0);
  size_t n = 0;
  for (const Access& a : platform.hardware().Log()) {
    t.Row({std::to_string(++n), AccessKindName(a.kind), a.write ? "write" : "read",
           a.width ? std::to_string(8 * a.width) : "-", HexText(a.address, a.kind == AccessKind::Port ? 4 : 8),
           HexText(a.value, a.width == 0 ? 2 : 2 * a.width)});
  }
  out << t.Render("  ");
}

void TextAccesses(std::ostringstream& out, Platform& platform) {
  const Hardware& hw = platform.hardware();
  const auto counts = hw.Counts();
  out << "Hardware accesses\n";
  Table t({"Kind", "Count"});
  t.RightAlign(1);
  for (int k = 0; k < kAccessKindCount; ++k)
    t.Row({AccessKindName(static_cast<AccessKind>(k)), std::to_string(counts[size_t(k)])});
  t.Row({"total", std::to_string(hw.TotalAccesses())});
  out << t.Render("  ");
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

  j["record"] = JsonRecord(platform);

  json signals = json::array();
  for (size_t i = 0; i < result.signals.size(); ++i) {
    json writes = json::array();
    for (const InternalWrite& w : result.signals[i].writes) writes.push_back(JsonWrite(w));
    signals.push_back(
        {{"event", result.signals[i].event}, {"completed", result.signals[i].completed}, {"writes", writes}});
  }
  j["signals"] = signals;

  json pcd = json::array();
  for (const PcdWrite& w : platform.firmware().PcdWrites()) {
    json write = {{"token", w.token}, {"width", w.width}};
    Put(write, "value", w.value, 2 * w.width);
    PutStatus(write, w.status);
    pcd.push_back(write);
  }
  j["pcd_writes"] = pcd;

  j["traps"] = JsonTraps(platform);
  j["channels"] = ChannelsJson(platform);
  j["heap"] = HeapJson(platform);
  j["fabric_mmio"] = FabricMmioJson(platform);
  if (!result.mmioRequests.empty()) j["fabric_mmio"]["requests"] = MmioRequestsJson(result.mmioRequests);
  j["drux"] = DruxJson(platform);

  json pool = json::array();
  for (const PoolBlock& b : platform.firmware().Pool()) {
    json block = {{"size", b.size},   {"type", b.type},     {"type_name", MemoryTypeName(b.type)},
                  {"freed", b.freed}, {"reused", b.reused}, {"owner", b.byPlatform ? "platform" : "driver"}};
    Put(block, "address", b.address, kAddressDigits);
    pool.push_back(block);
  }
  j["pool"] = pool;
  j["pool_faults"] = PoolFaultsJson(platform);
  j["drivers"] = DriversJson(platform, result);
  j["s3"] = S3Json(platform);
  j["events"] = EventsJson(platform);

  json calls = json::array();
  for (const ServiceCall& c : platform.firmware().Calls()) {
    json call = {{"service", c.service}, {"detail", c.detail}};
    PutStatus(call, c.status);
    calls.push_back(call);
  }
  j["calls"] = calls;

  json counts = json::object();
  const auto n = platform.hardware().Counts();
  for (int k = 0; k < kAccessKindCount; ++k) counts[AccessKindName(static_cast<AccessKind>(k))] = n[size_t(k)];
  j["accesses"] = {{"counts", counts}, {"total", platform.hardware().TotalAccesses()}, {"steps", StepsJson(platform)}};
  j["nothing"] = NothingJson(platform);
  if (trace) {
    json log = json::array();
    for (const Access& a : platform.hardware().Log())
      log.push_back({{"kind", AccessKindName(a.kind)},
                     {"write", a.write},
                     {"width", a.width},
                     {"address", a.address},
                     {"address_hex", HexText(a.address, a.kind == AccessKind::Port ? 4 : 8)},
                     {"value", a.value},
                     {"value_hex", HexText(a.value, a.width == 0 ? 2 : 2 * a.width)}});
    j["accesses"]["log"] = log;
  }
  return j;
}

std::string TextReport(Platform& platform, const BootResult& result, const ReportOptions& options) {
  const Scenario& s = platform.scenario();
  std::ostringstream out;
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
  out << head.Render("");
  out << "\n";
  TextRecord(out, platform);
  out << "\n";
  if (const RecordView r = ReadRecord(platform); r.readable && r.Value("ChannelMap") != 0)
    out << SnapshotText(platform, r.Value("ChannelMap")) << "\n";
  if (const RecordView r = ReadRecord(platform); r.readable && r.Value("ChipSelectEntries") != 0)
    out << ChipSelectText(platform, r.Value("ChipSelectEntries"), r.Value("ChipSelectCount")) << "\n";
  out << DruxText(platform) << "\n";
  TextSignals(out, result);
  out << "\n";
  out << DriversText(platform, result);
  out << S3Text(platform);
  out << "\n";
  TextPcdWrites(out, platform);
  out << "\n";
  TextTraps(out, platform);
  out << "\n";
  out << ChannelsText(platform);
  out << "\n";
  out << HeapText(platform);
  out << "\n";
  out << FabricMmioText(platform) << MmioRequestsText(result.mmioRequests);
  out << "\n";
  TextPool(out, platform);
  out << "\n";
  out << EventsText(platform);
  out << "\n";
  TextAccesses(out, platform);
  out << "\n" << StepsText(platform);
  out << "\n" << NothingText(platform);
  if (options.trace) {
    out << "\n";
    TextTrace(out, platform);
  }
  if (options.verbose) {
    out << "\n";
    TextCalls(out, platform);
  }
  return out.str();
}

}  // namespace sim
