#include "sim/report/report_html.h"

#include <algorithm>
#include <optional>
#include <set>

#include "core/chip_select.h"
#include "sim/common/address_map.h"
#include "sim/report/report_html_parts.h"

namespace sim {

namespace {

using nlohmann::json;
using html::At;
using html::Escape;
using html::Flag;
using html::Items;
using html::MapRegion;
using html::Str;
using html::U64;

// Pool blocks drawn on the map at most: a boot that allocates thousands would
// hide the rest of the map.
constexpr size_t kMaxPoolBlocks = 48;
constexpr size_t kMaxTableRows = 512;

std::string Row(std::initializer_list<std::string> cells, const char* tag = "td") {
  std::string out = "<tr>";
  for (const std::string& c : cells) out += std::string("<") + tag + ">" + c + "</" + tag + ">";
  return out + "</tr>\n";
}

std::string Head(const json& j) {
  const std::string name = Str(At(j, {"scenario", "name"}));
  const std::string outcome = Str(j.value("outcome", json()));
  std::string out = "<h1>A picture of the boot: " + Escape(name.empty() ? "(unnamed)" : name) + "</h1>\n<table class=\"head\">";
  out += Row({"Description", Escape(Str(At(j, {"scenario", "description"})))});
  out += Row({"File", Escape(Str(At(j, {"scenario", "path"})))});
  out += Row({"Driver", Str(At(j, {"driver", "backend"})) == "emulator" ? "the image, in the CPU emulator"
                                                                          : "linked into meminfo-sim (host build)"});
  out += Row({"Outcome", std::string("<span class=\"") + (outcome == "completed" ? "ok" : "bad") + "\" id=\"outcome\">" +
                             Escape(outcome) + "</span>"});
  const json& entry = At(j, {"entry"});
  out += Row({"Entry", Flag(At(entry, {"returned"})) ? "returned " + Escape(Str(At(entry, {"status_name"})))
                                                       : "did not return"});
  return out + "</table>\n";
}

// The post-code display as it stood when the platform halted, and what it showed before.
std::string Trap(const json& j) {
  const json& t = At(j, {"traps"});
  if (!Flag(At(t, {"halted"}))) {
    const size_t queries = Items(At(t, {"queries"})).size();
    return "<h2>Fatal trap</h2>\n<p>None: the platform did not halt" +
           (queries ? " (" + std::to_string(queries) + " trap queries answered by the agent)" : std::string()) +
           ".</p>\n";
  }
  std::string code = Str(At(t, {"halt_code_hex"}));
  if (code.rfind("0x", 0) == 0) code.erase(0, 2);
  std::string out = "<h2>Fatal trap</h2>\n<p>The platform halted in the trap's display loop with code " +
                    Escape(Str(At(t, {"halt_code_hex"}))) + ".</p>\n<div class=\"postcode\" id=\"postcode\">";
  for (char c : code) out += std::string("<span>") + Escape(std::string(1, c)) + "</span>";
  out += "</div>\n<p>What the post-code display showed, in turn:</p>\n<div class=\"shown\">";
  size_t n = 0;
  for (const json& shown : Items(At(t, {"display"})))
    if (n++ < kMaxTableRows) out += "<code>" + Escape(Str(At(shown, {"value_hex"}))) + "</code> ";
  return out + "</div>\n";
}

std::vector<MapRegion> MapOf(const json& j, const FlashInspection* flash) {
  std::vector<MapRegion> map{{"DRAM", kDramBase, kDramSize, "dram"},
                             {"data placed by the scenario", kPlacedDataBase, kPlacedDataEnd - kPlacedDataBase, "placed"},
                             {"PCI configuration space", kPciConfigBase, kPciConfigSize, "config"}};
  // The first regions are those a map cut short (kMaxMapRegions) keeps.
  const json& mmio = At(j, {"fabric_mmio"});
  if (flash) map.push_back({"boot flash window", flash->base, flash->size, "flash"});
  if (!At(mmio, {"psp_window", "base"}).is_null())
    map.push_back({"PSP window", U64(At(mmio, {"psp_window", "base"})), kPspWindowSize, "psp"});
  const json& record = At(j, {"record"});
  if (Flag(At(record, {"present"})))
    map.push_back({"the record", U64(At(record, {"address"})), Items(At(record, {"bytes"})).size(), "alloc"});
  if (Flag(At(record, {"channel_map", "present"})))
    map.push_back({"channel-map snapshot", U64(At(record, {"channel_map", "address"})),
                   U64(At(record, {"channel_map", "size"})), "alloc"});
  if (Flag(At(record, {"chip_select_table", "present"})))
    map.push_back({"chip-select table", U64(At(record, {"chip_select_table", "address"})), sizeof(ChipSelectTable), "alloc"});
  const json& s3 = At(j, {"s3"});
  if (Flag(At(s3, {"record", "present"})))
    map.push_back({"S3 record", U64(At(s3, {"record", "address"})), (Str(At(s3, {"record", "bytes_hex"})).size() + 1) / 3, "alloc"});
  if (Flag(At(s3, {"table", "present"})))
    map.push_back({std::string("S3 save table") + (Flag(At(s3, {"table", "freed"})) ? " (freed)" : ""),
                   U64(At(s3, {"table", "address"})), U64(At(s3, {"table", "size"})), "alloc"});
  for (const json& w : Items(At(j, {"drux", "walks"})))
    if (Str(At(w, {"where"})) == "memory")
      map.push_back({"DRUX block", U64(At(w, {"address"})), U64(At(w, {"size"})), "alloc"});
  if (Flag(At(mmio, {"allocator", "present"})))
    map.push_back({"fabric MMIO allocator state", U64(At(mmio, {"allocator", "address"})),
                   U64(At(mmio, {"allocator", "size"})), "alloc"});
  for (const json& slot : Items(At(mmio, {"allocator", "slots"})))
    for (const char* half : {"below", "above"}) {
      const std::string role = Str(At(slot, {half, "role"}));
      if (role == "empty") continue;
      map.push_back({"socket " + std::to_string(U64(At(slot, {"socket"}))) + " die " +
                         std::to_string(U64(At(slot, {"die"}))) + " MMIO " + half + " 4 GiB" +
                         (role == "spare" ? " (spare)" : ""),
                     U64(At(slot, {half, "base"})), U64(At(slot, {half, "size"})), role == "spare" ? "spare" : "mmio"});
    }
  for (const json& b : Items(At(j, {"heap", "buffers"})))
    map.push_back({"heap buffer " + Str(At(b, {"handle_hex"})), U64(At(b, {"address"})), U64(At(b, {"size"})), "alloc"});
  size_t pool = 0;
  for (const json& p : Items(At(j, {"pool"}))) {
    if (pool == kMaxPoolBlocks) break;
    const uint64_t at = U64(At(p, {"address"})), size = U64(At(p, {"size"}));
    bool named = false;
    for (const MapRegion& r : map) named |= r.start == at && r.size == size;
    if (named) continue;
    ++pool;
    map.push_back({"pool block (" + Str(At(p, {"owner"})) + ", " + Str(At(p, {"type_name"})) +
                       (Flag(At(p, {"freed"})) ? ", freed" : "") + ")",
                   at, size, "pool"});
  }
  return map;
}

std::string ChannelMap(const json& j) {
  const json& cm = At(j, {"record", "channel_map"});
  if (!Flag(At(cm, {"present"}))) return "<p>Absent: the driver built no channel map.</p>\n";
  std::string out = "<table id=\"channel-map\">" +
                    Row({"Slot", "Socket", "Die", "Channel", "Chip selects", "Mask", "Base addresses", "Address masks"}, "th");
  for (const json& s : Items(At(cm, {"slots"}))) {
    if (!Flag(At(s, {"populated"}))) continue;
    const auto values = [&](const char* field) {
      std::string v;
      for (const json& x : Items(At(s, {"fields", field, "values_hex"}))) v += (v.empty() ? "" : " ") + Escape(Str(x));
      return v;
    };
    out += Row({std::to_string(U64(At(s, {"slot"}))), std::to_string(U64(At(s, {"socket"}))),
                std::to_string(U64(At(s, {"die"}))), std::to_string(U64(At(s, {"channel"}))), values("CsEnabledCount"),
                values("CsEnabledMask"), values("BaseAddr"), values("AddrMask")});
  }
  return out + "</table>\n";
}

std::string ChipSelects(const json& j) {
  const json& t = At(j, {"record", "chip_select_table"});
  if (!Flag(At(t, {"present"}))) return "<p>Absent: the driver built no chip-select table.</p>\n";
  if (!Flag(At(t, {"readable"}))) return "<p>Unreadable: the table does not lie in DRAM.</p>\n";
  std::string out = "<p>" + std::to_string(U64(At(t, {"count"}))) + " entries; the rest " +
                    (Flag(At(t, {"rest_zero"})) ? "all zero" : "<span class=\"bad\">NOT all zero</span>") + ".</p>\n" +
                    "<table id=\"chip-selects\">" + Row({"#", "Socket", "Die", "Channel", "DIMM", "Rank", "Sequence"}, "th");
  size_t i = 0;
  for (const json& e : Items(At(t, {"entries"})))
    out += Row({std::to_string(i++), std::to_string(U64(At(e, {"socket"}))), std::to_string(U64(At(e, {"die"}))),
                std::to_string(U64(At(e, {"channel"}))), std::to_string(U64(At(e, {"dimm"}))),
                std::to_string(U64(At(e, {"rank"}))), std::to_string(U64(At(e, {"sequence"})))});
  return out + "</table>\n";
}

// One bar per boot step, its kinds of access stacked.
std::string Steps(const json& j) {
  const json& steps = At(j, {"accesses", "steps"});
  uint64_t most = 1;
  for (int s = 0; s < kBootStepCount; ++s) most = std::max(most, U64(At(steps, {BootStepName(BootStep(s)), "total"})));
  std::string out = "<div class=\"bars\" id=\"steps\">\n";
  for (int s = 0; s < kBootStepCount; ++s) {
    const json& step = At(steps, {BootStepName(BootStep(s))});
    const uint64_t total = U64(At(step, {"total"}));
    std::string bar, what;
    for (const char* kind : {"memory", "mmio", "port", "msr", "cpuid"}) {
      const uint64_t n = U64(At(step, {"counts", kind}));
      if (n == 0) continue;
      bar += "<span class=\"k-" + std::string(kind) + "\" style=\"width:" + std::to_string(n * 600 / most) +
             "px\"></span>";
      what += (what.empty() ? "" : ", ") + std::to_string(n) + " " + kind;
    }
    out += "<div class=\"bar\"><span class=\"step\">" + std::string(BootStepName(BootStep(s))) +
           "</span><span class=\"fill\">" + bar + "</span><span class=\"count\">" + std::to_string(total) +
           (what.empty() ? "" : " (" + what + ")") + "</span></div>\n";
  }
  return out + "</div>\n<p class=\"note\">Other kinds of access (debug and control registers, the time-stamp counter, "
               "pauses, tagged ports, trap queries) count in the totals only.</p>\n";
}

std::string S3(const json& j) {
  const json& s3 = At(j, {"s3"});
  const auto yes = [](bool v, const char* good, const char* bad) {
    return std::string("<span class=\"") + (v ? "ok\">" : "bad\">") + (v ? good : bad) + "</span>";
  };
  std::string out = "<table id=\"s3\">";
  const json& r = At(s3, {"record"});
  out += Row({"Shared record", !Flag(At(r, {"present"})) ? "absent"
                               : "at " + Escape(Str(At(r, {"address_hex"}))) + ", owned by " + Escape(Str(At(r, {"owner"}))) +
                                     ": boot script " + yes(U64(At(r, {"boot_script_locked"})) != 0, "locked", "not locked") +
                                     ", table " + yes(U64(At(r, {"table_closed"})) != 0, "closed", "not closed")});
  const json& t = At(s3, {"table"});
  out += Row({"Save table", !Flag(At(t, {"present"})) ? "absent"
                            : "at " + Escape(Str(At(t, {"address_hex"}))) + ", " + html::SizeText(U64(At(t, {"size"}))) +
                                  ": " + yes(Flag(At(t, {"terminated"})), "terminated", "not terminated") + ", " +
                                  yes(Flag(At(t, {"freed"})), "freed", "not freed")});
  size_t n = 0;
  for (const json& m : Items(At(s3, {"messages"})))
    if (n++ < kMaxTableRows)
      out += Row({"Message sent", "command " + std::to_string(U64(At(m, {"command"}))) + " in buffer " +
                                      Escape(Str(At(m, {"buffer_hex"}))) + ": " + Escape(Str(At(m, {"status_name"}))) +
                                      (Flag(At(m, {"s3_handler"})) ? ", to the S3 handler" : "")});
  if (n == 0) out += Row({"Message sent", "none"});
  return out + "</table>\n";
}

// Entries the look-ups of one boot returned.
std::set<uint64_t> Returned(const json& j) {
  std::set<uint64_t> used;
  for (const json& e : Items(At(j, {"drux", "entries_returned"}))) used.insert(U64(At(e, {"entry"})));
  return used;
}

}  // namespace

std::string HtmlReport(Platform& platform, const BootResult& result, const DriverInfo& driver) {
  const json j = JsonReport(platform, result, driver);
  std::optional<FlashInspection> flash;
  if (const FlashImage* image = platform.hardware().Flash()) flash = InspectFlash(*image, "the platform's boot flash");
  std::string body = Head(j) + Trap(j);
  body += "<h2>Physical address map</h2>\n" + html::AddressMap(MapOf(j, flash ? &*flash : nullptr), "address-map");
  body += "<h2>Boot flash</h2>\n";
  body += flash ? html::FlashLayout(*flash, Returned(j), "the entries this boot's look-ups returned")
                : "<p>The platform has no boot flash.</p>\n";
  body += "<h2>Channel map: populated slots</h2>\n" + ChannelMap(j);
  body += "<h2>Chip-select table</h2>\n" + ChipSelects(j);
  body += "<h2>Hardware accesses per boot step</h2>\n" + Steps(j);
  body += "<h2>S3 closing</h2>\n" + S3(j);
  const std::string name = Str(At(j, {"scenario", "name"}));
  return html::Page("meminfo-sim: " + (name.empty() ? std::string("(unnamed)") : name), body);
}

std::string FlashInspectionHtml(const FlashInspection& r) {
  // The entries each judged processor's lookups reach in a normal boot.
  std::set<uint64_t> used;
  for (const ProcessorVerdict& v : r.processors)
    for (const auto& l : v.lookups) {
      const uint64_t at = l.normal.level == 2 && v.level2 ? *v.level2 : v.biosDirectory;
      for (const InspectedDirectory& d : r.directories)
        if (l.normal.level != 0 && d.address == at && d.kind != FlashDirectoryKind::Combo && l.normal.index < d.EntryCount())
          used.insert(d.Entry(l.normal.index).address);
    }
  return html::Page("meminfo-sim: flash " + r.name,
                    "<h1>Boot flash: " + Escape(r.name) + "</h1>\n" +
                        html::FlashLayout(r, used, "the entries the judged processors' look-ups reach"));
}

}  // namespace sim
