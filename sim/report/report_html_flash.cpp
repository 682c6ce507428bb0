// The HTML page's flash layout: the flash window as an address map, then the
// entry table and every directory as a block with its entries. Shared by the
// run page and `meminfo-sim flash --inspect FILE --html OUT`.
#include <algorithm>

#include "sim/images/flash_listing_format.h"
#include "sim/report/report_html_parts.h"

namespace sim::html {

using namespace flash_listing;

namespace {

// Entries drawn per directory: a broken count may name millions.
constexpr size_t kMaxEntriesShown = 64;
constexpr uint64_t kEntryTableSize = sizeof(FirmwareEntryTable);

std::string Verdict(bool good, const std::string& text) {
  return std::string("<span class=\"") + (good ? "ok" : "bad") + "\">" + Escape(text) + "</span>";
}

// The bytes an entry names in the flash: PSP entries' locations, BIOS entries' sources.
std::vector<MapRegion> MapOf(const FlashInspection& r) {
  std::vector<MapRegion> map{{"boot flash", r.base, r.size, "flash"}};
  if (r.table) map.push_back({"entry table", *r.table, kEntryTableSize, "table"});
  for (const InspectedDirectory& d : r.directories) {
    if (!d.readable) continue;
    const uint64_t bytes = FlashDirectoryHeaderSize(d.kind) + FlashDirectoryEntrySize(d.kind) * d.EntryCount();
    map.push_back({KindName(d.kind), d.address, std::min(bytes, r.base + r.size - std::min(d.address, r.base + r.size)), "dir"});
    if (d.kind == FlashDirectoryKind::Combo) continue;
    for (size_t i = 0; i < std::min(d.EntryCount(), kMaxEntriesShown); ++i) {
      const InspectedEntry e = d.Entry(i);
      if (e.size == 0 || e.source < r.base || e.source - r.base >= r.size) continue;
      const uint64_t size = std::min<uint64_t>(e.size, r.base + r.size - e.source);
      map.push_back({Format("entry 0x%02X", unsigned(BiosEntryTypeWord::Type::Get(e.typeWord))), e.source, size, "entry"});
    }
  }
  return map;
}

std::string EntryBlock(const InspectedDirectory& d, const InspectedEntry& e, bool used) {
  std::string out = std::string("<div class=\"entry") + (used ? " used" : "") + "\">";
  if (d.kind == FlashDirectoryKind::Combo) {
    out += "<b>processor " + Hex32(e.processorId) + "</b><br>PSP directory " + Hex32(e.pspDirectory);
  } else {
    out += "<b>type " + Format("0x%02X", unsigned(BiosEntryTypeWord::Type::Get(e.typeWord))) + "</b> at " +
           Hex32(e.address) + "<br>" + SizeText(e.size) + (d.kind == FlashDirectoryKind::Psp ? " at " : " from ") +
           Address(e.source);
    if (d.kind != FlashDirectoryKind::Psp) out += "<br>to " + Address(e.destination);
  }
  if (used) out += "<br><span class=\"badge\">used by a look-up</span>";
  return out + "</div>";
}

std::string DirectoryBlock(const InspectedDirectory& d, const std::set<uint64_t>& used) {
  std::string out = "<div class=\"dir " + std::string(d.Valid() ? "good" : "broken") + "\"><h4>" + KindName(d.kind) +
                    " at " + Hex32(d.address) + "</h4><p>";
  std::string from;
  for (const std::string& f : d.reachedFrom) from += (from.empty() ? "" : ", ") + f;
  out += "reached from " + Escape(from.empty() ? "nothing" : from) + "<br>verdict: " + Verdict(d.Valid(), d.Verdict());
  if (d.readable) {
    out += "<br>magic " + Escape(MagicText(d.magic)) + " " + Verdict(d.MagicGood(), d.MagicGood() ? "good" : "bad") +
           ", " + std::to_string(d.count) + " entries";
    if (!d.ChecksumChecked()) out += "<br>checksum: not checked for this kind";
    else if (!d.entriesInFlash) out += "<br>checksum: " + Verdict(false, "entries outside the flash");
    else
      out += "<br>checksum stored " + Hex32(d.stored) + ", computed " + Hex32(d.computed) + " " +
             Verdict(d.stored == d.computed, d.stored == d.computed ? "holds" : "differs");
  }
  out += "</p><div class=\"entries\">";
  const size_t shown = std::min(d.EntryCount(), kMaxEntriesShown);
  for (size_t i = 0; i < shown; ++i) {
    const InspectedEntry e = d.Entry(i);
    out += EntryBlock(d, e, d.kind != FlashDirectoryKind::Combo && used.count(e.address));
  }
  out += "</div>";
  if (shown < d.EntryCount())
    out += "<p class=\"note\">" + std::to_string(d.EntryCount() - shown) + " more entries are not shown.</p>";
  return out + "</div>\n";
}

std::string ProcessorsTable(const FlashInspection& r) {
  std::string out =
      "<table><tr><th>Processor</th><th>Directories found</th><th>PSP directory</th><th>BIOS directory</th>"
      "<th>Level 2</th><th>Traps</th></tr>\n";
  for (const ProcessorVerdict& v : r.processors) {
    std::string traps;
    for (uint32_t t : v.traps) traps += (traps.empty() ? "" : ", ") + Hex32(t);
    const bool found = v.row >= 0 && v.tableFound;
    out += "<tr><td>" + Hex32(v.signature) + "</td><td>" + Verdict(v.Good(), v.Good() ? "yes" : "no") + "</td><td>" +
           (found ? Hex32(v.pspDirectory) + (v.pspValid ? " valid" : " invalid") : "-") + "</td><td>" +
           (found ? Hex32(v.biosDirectory) + (v.biosValid ? " valid" : " invalid") : "-") + "</td><td>" +
           (v.level2 ? Address(*v.level2) + (v.level2Valid ? " valid" : " invalid") : "-") + "</td><td>" +
           (traps.empty() ? "none" : traps) + "</td></tr>\n";
  }
  return out + "</table>\n";
}

}  // namespace

std::string FlashLayout(const FlashInspection& r, const std::set<uint64_t>& used, const std::string& usedWhat) {
  std::string out = "<p>" + Escape(r.name) + ": " + SizeText(r.size) + " from " + Hex32(r.base) +
                    " to 0xFFFFFFFF. Verdict: " + Verdict(r.Good(), r.Good() ? "good" : "has problems") + "</p>\n";
  if (!r.problems.empty()) {
    out += "<ul class=\"problems\">";
    for (const std::string& p : r.problems) out += "<li>" + Escape(p) + "</li>";
    out += "</ul>\n";
  }
  out += AddressMap(MapOf(r), "flash-map");
  out += "<h3>Entry table</h3>\n";
  if (!r.table) {
    out += "<p>" + Verdict(false, "no entry table at any of its positions") + "</p>\n";
  } else {
    out += "<div class=\"dir good\"><h4>entry table at " + Hex32(*r.table) + "</h4><p>PSP or combo directory " +
           Hex32(r.pspPointer) + "<br>BIOS directories " + Hex32(r.biosPointer[0]) + ", " + Hex32(r.biosPointer[1]) +
           "</p></div>\n";
  }
  out += "<h3>Directories</h3>\n<p class=\"note\">Entries marked \xE2\x80\x9Cused by a look-up\xE2\x80\x9D: " +
         Escape(usedWhat) + ".</p>\n<div class=\"dirs\">\n";
  for (const InspectedDirectory& d : r.directories) out += DirectoryBlock(d, used);
  out += "</div>\n<h3>Processors</h3>\n" + ProcessorsTable(r);
  return out;
}

}  // namespace sim::html
