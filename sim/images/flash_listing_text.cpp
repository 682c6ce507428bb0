// The flash inspection as text: the entry table, each directory with its
// entries, each processor's verdict and lookups, and the result.
#include <algorithm>
#include <string>

#include "sim/images/flash_listing.h"
#include "sim/images/flash_listing_format.h"

namespace sim {

using namespace flash_listing;

namespace {

constexpr size_t kEntriesShown = 64;  // per directory

// Text built a line at a time.
struct Lines {
  std::string text;
  void operator()(const std::string& s) { text += s + "\n"; }
};

std::string LookupText(const LookupSource& s) {
  if (s.level == 0) return "not found";
  return Format("level %d #%zu at %s", s.level, s.index, Address(s.source).c_str());
}

void FlashAndEntryTableText(const FlashInspection& r, Lines& line) {
  const std::string size = r.size % (1 << 20) == 0   ? std::to_string(r.size >> 20) + " MiB"
                           : r.size % (1 << 10) == 0 ? std::to_string(r.size >> 10) + " KiB"
                                                     : std::to_string(r.size) + " bytes";
  line(Format("Boot flash %s: %s (%s bytes) at %s to 0xFFFFFFFF", r.name.c_str(), size.c_str(), HexText(r.size).c_str(),
              Hex32(r.base).c_str()));

  line("");
  line("Firmware entry table (searched in this order)");
  for (const auto& p : r.positions) {
    std::string state;
    if (!p.inFlash) state = "outside the flash";
    else if (r.table && *r.table == p.address) state = "found: the table";
    else if (p.value == kFirmwareEntryTableSignature) state = "found, but an earlier position wins";
    else state = "no signature (" + Hex32(p.value) + ")";
    line(Format("  %s  %s", Hex32(p.address).c_str(), state.c_str()));
  }
  if (r.table) {
    auto pointer = [](uint32_t p) { return Hex32(p) + (NoPointer(p) ? "  (none)" : ""); };
    line(Format("  offset 0x14  PSP or combo directory         %s", pointer(r.pspPointer).c_str()));
    line(Format("  offset 0x18  BIOS directory for %s  %s", Hex32(kProcessorFlashRows[0].Signature).c_str(),
                pointer(r.biosPointer[0]).c_str()));
    line(Format("  offset 0x1C  BIOS directory for %s  %s", Hex32(kProcessorFlashRows[1].Signature).c_str(),
                pointer(r.biosPointer[1]).c_str()));
  }
}

// The first kEntriesShown entries of a directory in the flash, under their column heads.
void EntriesText(const InspectedDirectory& d, Lines& line) {
  switch (d.kind) {
    case FlashDirectoryKind::Combo:
      line("     #  processor ID  PSP directory");
      break;
    case FlashDirectoryKind::Psp:
      line("     #  type  type word   size        location");
      break;
    default:
      line("     #  type  type word   size        source              destination");
      break;
  }
  for (size_t i = 0; i < d.EntryCount() && i < kEntriesShown; ++i) {
    const InspectedEntry e = d.Entry(i);
    if (d.kind == FlashDirectoryKind::Combo)
      line(Format("  %4zu  %s    %s", i, Hex32(e.processorId).c_str(), Hex32(e.pspDirectory).c_str()));
    else if (d.kind == FlashDirectoryKind::Psp)
      line(Format("  %4zu  0x%02X  %s  %s  %s", i, BiosEntryTypeWord::Type::Get(e.typeWord), Hex32(e.typeWord).c_str(), Hex32(e.size).c_str(),
                  Hex64(e.source).c_str()));
    else
      line(Format("  %4zu  0x%02X  %s  %s  %s  %s", i, BiosEntryTypeWord::Type::Get(e.typeWord), Hex32(e.typeWord).c_str(),
                  Hex32(e.size).c_str(), Hex64(e.source).c_str(), Hex64(e.destination).c_str()));
  }
  if (d.EntryCount() > kEntriesShown)
    line(Format("  ... and %zu more (--json lists them all)", d.EntryCount() - kEntriesShown));
}

void DirectoryText(const InspectedDirectory& d, Lines& line) {
  line("");
  std::string from;
  for (const std::string& f : d.reachedFrom) from += (from.empty() ? "" : "; ") + f;
  line(Format("%s at %s (from %s)", KindName(d.kind), Hex32(d.address).c_str(), from.c_str()));
  if (!d.readable) {
    line("  outside the flash");
    return;
  }
  const std::string checksum = !d.ChecksumChecked()             ? Hex32(d.stored) + " (not checked)"
                               : !d.entriesInFlash              ? Hex32(d.stored) + " (not computed)"
                               : d.stored == d.computed         ? "good (" + Hex32(d.stored) + ")"
                                                                : "BAD (stored " + Hex32(d.stored) + ", computed " + Hex32(d.computed) + ")";
  line(Format("  magic     %s %s", MagicText(d.magic).c_str(),
              d.MagicGood() ? "good" : ("BAD, expected " + MagicText(FlashDirectoryMagic(d.kind))).c_str()));
  line(Format("  entries   %u%s", d.count, d.entriesInFlash ? "" : "  BAD: they run past the end of the flash"));
  line("  checksum  " + checksum);
  if (d.EntryCount() == 0) return;
  EntriesText(d, line);
}

// Where each lookup of a processor whose directories are good is answered from.
void LookupsText(const ProcessorVerdict& v, Lines& line) {
  if (v.level2)
    line(Format("  level 2         %s  %s", Address(*v.level2).c_str(),
                v.level2Valid ? "good: its entries win unless the PSP booted in recovery" : "BAD: level 1 serves every lookup"));
  else
    line("  level 2         none");
  int width = 19;
  for (const auto& l : v.lookups) width = std::max(width, int(LookupText(l.normal).size()));
  line(Format("  type  %-*s  PSP in recovery", width, "PSP booted normally"));
  for (const auto& l : v.lookups)
    line(Format("  0x%02X  %-*s  %s", l.type, width, LookupText(l.normal).c_str(), LookupText(l.recovery).c_str()));
}

void ProcessorText(const ProcessorVerdict& v, Lines& line) {
  line("");
  if (v.row < 0) {
    line(Format("Processor %s matches neither %s nor %s: every lookup fails", Hex32(v.signature).c_str(),
                Hex32(kProcessorFlashRows[0].Signature).c_str(), Hex32(kProcessorFlashRows[1].Signature).c_str()));
    return;
  }
  const ProcessorFlashRow& row = kProcessorFlashRows[v.row];
  const std::string matching = v.signature == row.Signature ? "" : ", matching " + Hex32(row.Signature);
  line(Format("Processor %s%s (BIOS directory at offset 0x%X, combo ID %s)", Hex32(v.signature).c_str(), matching.c_str(),
              unsigned(offsetof(FirmwareEntryTable, BiosDirectory) + 4 * row.BiosTableIndex),
              Hex32(row.ComboProcessorId).c_str()));
  if (!v.tableFound) {
    line("  no entry table: every lookup fails");
    return;
  }
  auto good = [](bool ok) { return ok ? "good" : "BAD"; };
  const std::string via = v.comboEntry >= 0 ? Format("  (combo entry %d)", v.comboEntry) : "";
  line(Format("  PSP directory   %s  %s%s", Hex32(v.pspDirectory).c_str(), good(v.pspValid), via.c_str()));
  line(Format("  BIOS directory  %s  %s", Hex32(v.biosDirectory).c_str(), good(v.biosValid)));
  if (!v.traps.empty()) {
    std::string traps;
    for (uint32_t t : v.traps) traps += " " + Hex32(t);
    line("  the driver traps with" + traps + " and every lookup fails");
    return;
  }
  LookupsText(v, line);
}

void ResultText(const FlashInspection& r, Lines& line) {
  line("");
  if (r.Good()) {
    line("Result: good");
  } else {
    line("Result: " + std::to_string(r.problems.size()) + (r.problems.size() == 1 ? " problem" : " problems"));
    for (const std::string& p : r.problems) line("  " + p);
  }
}

}  // namespace

std::string FlashInspectionText(const FlashInspection& r) {
  Lines line;
  FlashAndEntryTableText(r, line);
  for (const InspectedDirectory& d : r.directories) DirectoryText(d, line);
  for (const ProcessorVerdict& v : r.processors) ProcessorText(v, line);
  ResultText(r, line);
  return line.text;
}

}  // namespace sim
