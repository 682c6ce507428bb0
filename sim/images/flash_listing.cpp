#include "sim/images/flash_listing.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <cstdarg>
#include <cstdio>
#include <ostream>

#include "sim/common/text.h"

namespace sim {

namespace {

constexpr uint32_t kSignatureMask = 0x0FFF0F00;  // what CpuSignatureMatches compares
constexpr size_t kEntriesShown = 64;             // per directory, in the text

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char b[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(b, sizeof b, format, args);
  va_end(args);
  return b;
}

std::string Hex32(uint64_t v) { return HexText(v, 8); }
std::string Hex64(uint64_t v) { return HexText(v, 16); }
// An address as short as it can be: 8 digits below 4 GiB.
std::string Address(uint64_t v) { return v <= 0xFFFFFFFF ? Hex32(v) : Hex64(v); }

// "$PSP" when the four bytes are printable, else the number.
std::string MagicText(uint32_t magic) {
  std::string s = "\"";
  for (int i = 0; i < 4; ++i) {
    const char c = char(magic >> (8 * i));
    if (c < 0x20 || c > 0x7E || c == '"') return Hex32(magic);
    s += c;
  }
  return s + "\"";
}

const char* KindName(FlashDirectoryKind kind) {
  switch (kind) {
    case FlashDirectoryKind::Psp: return "PSP directory";
    case FlashDirectoryKind::Combo: return "combo directory";
    case FlashDirectoryKind::Bios: return "BIOS directory";
    case FlashDirectoryKind::BiosLevel2: return "level-2 BIOS directory";
  }
  return "?";
}

// An entry-table pointer that names nothing.
bool NoPointer(uint32_t p) { return p == 0 || p == 0xFFFFFFFF; }

uint32_t Read32(const FlashImage& image, uint64_t address) {
  uint64_t v = 0;
  image.Read(address, 4, &v);
  return uint32_t(v);
}
uint64_t Read64(const FlashImage& image, uint64_t address) {
  uint64_t v = 0;
  image.Read(address, 8, &v);
  return v;
}

class Inspector {
 public:
  explicit Inspector(FlashImage image) : shared_(std::make_shared<const FlashImage>(std::move(image))), image_(*shared_) {}

  uint32_t Read32(uint64_t address) const { return sim::Read32(image_, address); }

  InspectedDirectory Inspect(uint64_t address, FlashDirectoryKind kind) const {
    InspectedDirectory d;
    d.address = address;
    d.kind = kind;
    d.image = shared_;
    const uint64_t header = FlashDirectoryHeaderSize(kind), each = FlashDirectoryEntrySize(kind);
    d.readable = image_.Contains(address, header);
    if (!d.readable) return d;
    d.magic = Read32(address);
    d.stored = Read32(address + offsetof(FlashDirectoryHeader, Checksum));
    d.count = Read32(address + offsetof(FlashDirectoryHeader, Count));
    const uint64_t length = header + each * d.count;
    d.entriesInFlash = image_.Contains(address, length);
    if (!d.entriesInFlash) return d;
    const uint8_t* p = image_.bytes.data() + (address + kChecksumStart - image_.base);
    d.computed = Fletcher32Words((length - kChecksumStart) / 2,
                                 [p](uint64_t i) -> uint32_t { return uint32_t(p[2 * i] | (p[2 * i + 1] << 8)); });
    return d;
  }

  // Adds the directory to the list once, noting where it was reached from.
  size_t Reach(uint64_t address, FlashDirectoryKind kind, const std::string& from) {
    const auto [at, added] = reached_.try_emplace({address, kind}, directories_.size());
    if (added) directories_.push_back(Inspect(address, kind));
    directories_[at->second].reachedFrom.push_back(from);
    return at->second;
  }

  FlashInspection Run(const std::string& name, std::vector<uint32_t> signatures) {
    FlashInspection r;
    r.name = name;
    r.base = image_.base;
    r.size = image_.Size();
    for (uint64_t at : kFirmwareEntryTableAddresses) {
      const FlashInspection::Position p{at, image_.Contains(at, 4), Read32(at)};
      if (p.inFlash && p.value == kFirmwareEntryTableSignature && !r.table) r.table = at;
      r.positions.push_back(p);
    }
    if (!r.table) r.problems.push_back("no firmware entry table at any of its six positions");
    if (r.table) {
      r.pspPointer = Read32(*r.table + offsetof(FirmwareEntryTable, PspDirectory));
      for (int i = 0; i < 2; ++i) r.biosPointer[i] = Read32(*r.table + offsetof(FirmwareEntryTable, BiosDirectory) + 4 * i);
      Discover(r);
    }
    r.directories = std::move(directories_);
    for (const InspectedDirectory& d : r.directories)
      if (!d.Valid()) r.problems.push_back(std::string(KindName(d.kind)) + " at " + Hex32(d.address) + ": " + d.Verdict());

    const bool asked = !signatures.empty();
    if (!asked)
      for (const ProcessorFlashRow& row : kProcessorFlashRows) signatures.push_back(row.Signature);
    bool anyGood = false;
    for (uint32_t s : signatures) {
      r.processors.push_back(Judge(r, s));
      const ProcessorVerdict& v = r.processors.back();
      anyGood |= v.Good();
      if (asked && !v.Good()) r.problems.push_back("processor " + Hex32(s) + ": its lookups fail");
    }
    // A flash may serve one processor kind only, but one that serves neither
    // (pointers of 0 or all ones, say) traps on every lookup of any processor.
    if (!asked && r.table && !anyGood) r.problems.push_back("no processor finds its directories: every lookup fails");
    return r;
  }

 private:
  // The combo directory's magic is there (its header lies in the flash).
  bool IsCombo(uint64_t address) const {
    return image_.Contains(address, FlashDirectoryHeaderSize(FlashDirectoryKind::Combo)) &&
           Read32(address) == FlashDirectoryMagic(FlashDirectoryKind::Combo);
  }

  // Reach() adds to directories_, so the entries are read by index, one at a time.
  void Discover(const FlashInspection& r) {
    if (!NoPointer(r.pspPointer)) {
      const bool combo = IsCombo(r.pspPointer);
      const size_t i = Reach(r.pspPointer, combo ? FlashDirectoryKind::Combo : FlashDirectoryKind::Psp, "entry table 0x14");
      for (size_t k = 0; combo && k < directories_[i].EntryCount(); ++k) {
        const InspectedEntry e = directories_[i].Entry(k);
        Reach(e.pspDirectory, FlashDirectoryKind::Psp, "combo entry " + std::to_string(k) + " (ID " + Hex32(e.processorId) + ")");
      }
    }
    for (int i = 0; i < 2; ++i)
      if (!NoPointer(r.biosPointer[i]))
        Reach(r.biosPointer[i], FlashDirectoryKind::Bios, i == 0 ? "entry table 0x18" : "entry table 0x1C");
    for (size_t i = 0; i < directories_.size(); ++i) {
      if (directories_[i].kind != FlashDirectoryKind::Bios) continue;
      const uint64_t at = directories_[i].address;
      for (size_t k = 0; k < directories_[i].EntryCount(); ++k) {
        const InspectedEntry e = directories_[i].Entry(k);
        if (uint8_t(e.typeWord) == kBiosEntryLevel2)
          Reach(e.source, FlashDirectoryKind::BiosLevel2, "entry " + std::to_string(k) + " of the BIOS directory at " + Hex32(at));
      }
    }
  }

  // The directory as the table's discovery inspected it, or else inspected into `scratch`.
  const InspectedDirectory& Reached(const FlashInspection& r, uint64_t address, FlashDirectoryKind kind,
                                    InspectedDirectory& scratch) const {
    const auto at = reached_.find({address, kind});
    return at != reached_.end() ? r.directories[at->second] : (scratch = Inspect(address, kind));
  }

  static LookupSource First(const InspectedDirectory& d, int level, uint8_t type) {
    for (size_t i = 0; i < d.EntryCount(); ++i) {
      const InspectedEntry e = d.Entry(i);
      if (uint8_t(e.typeWord) == type) return {level, i, e.source};
    }
    return {};
  }

  // Where a lookup of each type is answered from in the directory, in one pass;
  // `types` gains those not seen before, in the order met.
  static std::array<LookupSource, 256> FirstOfEach(const InspectedDirectory& d, int level, std::vector<uint8_t>& types) {
    std::array<LookupSource, 256> first{};
    for (size_t i = 0; i < d.EntryCount(); ++i) {
      const InspectedEntry e = d.Entry(i);
      LookupSource& f = first[uint8_t(e.typeWord)];
      if (f.level != 0) continue;
      f = {level, i, e.source};
      if (std::find(types.begin(), types.end(), uint8_t(e.typeWord)) == types.end()) types.push_back(uint8_t(e.typeWord));
    }
    return first;
  }

  ProcessorVerdict Judge(const FlashInspection& r, uint32_t signature) const {
    ProcessorVerdict v;
    v.signature = signature;
    for (int i = 0; i < 2; ++i)
      if ((signature & kSignatureMask) == kProcessorFlashRows[i].Signature) {
        v.row = i;
        break;
      }
    v.tableFound = r.table.has_value();
    if (v.row < 0 || !v.tableFound) return v;
    const ProcessorFlashRow& row = kProcessorFlashRows[v.row];
    v.biosDirectory = r.biosPointer[row.BiosTableIndex];
    v.pspDirectory = r.pspPointer;
    InspectedDirectory comboScratch, pspScratch, level1Scratch, level2Scratch;
    const InspectedDirectory& combo =
        IsCombo(r.pspPointer) ? Reached(r, r.pspPointer, FlashDirectoryKind::Combo, comboScratch) : comboScratch;
    if (combo.MagicGood())
      for (size_t i = 0; i < combo.EntryCount(); ++i)
        if (const InspectedEntry e = combo.Entry(i); e.processorId == row.ComboProcessorId) {
          v.pspDirectory = e.pspDirectory;
          v.comboEntry = int(i);
          break;
        }
    v.pspValid = Reached(r, v.pspDirectory, FlashDirectoryKind::Psp, pspScratch).Valid();
    const InspectedDirectory& level1 = Reached(r, v.biosDirectory, FlashDirectoryKind::Bios, level1Scratch);
    v.biosValid = level1.Valid();
    if (!v.pspValid) v.traps.push_back(kTrapPspDirectoryInvalid);
    if (!v.biosValid) v.traps.push_back(kTrapBiosDirectoryInvalid);
    if (!v.pspValid || !v.biosValid) return v;

    const InspectedDirectory* level2 = &level2Scratch;
    const LookupSource l2 = First(level1, 1, kBiosEntryLevel2);
    if (l2.level != 0) {
      v.level2 = l2.source;
      level2 = &Reached(r, l2.source, FlashDirectoryKind::BiosLevel2, level2Scratch);
      v.level2Valid = level2->Valid();
    }
    std::vector<uint8_t> types;
    const std::array<LookupSource, 256> fromLevel1 = FirstOfEach(level1, 1, types);
    const std::array<LookupSource, 256> fromLevel2 =
        v.level2Valid ? FirstOfEach(*level2, 2, types) : std::array<LookupSource, 256>{};
    for (uint8_t type : types) {
      ProcessorVerdict::Lookup l{type, {}, fromLevel1[type]};
      l.normal = l.recovery;
      if (type != kBiosEntryLevel2 && fromLevel2[type].level != 0) l.normal = fromLevel2[type];
      v.lookups.push_back(l);
    }
    return v;
  }

  std::shared_ptr<const FlashImage> shared_;
  const FlashImage& image_;
  std::vector<InspectedDirectory> directories_;
  std::map<std::pair<uint64_t, FlashDirectoryKind>, size_t> reached_;  // index into directories_
};

std::string LookupText(const LookupSource& s) {
  if (s.level == 0) return "not found";
  return Format("level %d #%zu at %s", s.level, s.index, Address(s.source).c_str());
}

nlohmann::json LookupJson(const LookupSource& s) {
  if (s.level == 0) return nullptr;
  return {{"level", s.level}, {"index", s.index}, {"source", Hex64(s.source)}};
}

}  // namespace

InspectedEntry InspectedDirectory::Entry(size_t i) const {
  const uint64_t at = address + FlashDirectoryHeaderSize(kind) + i * FlashDirectoryEntrySize(kind);
  InspectedEntry e;
  e.address = at;
  if (kind == FlashDirectoryKind::Combo) {
    e.processorId = Read32(*image, at + offsetof(ComboDirectoryEntry, ProcessorId));
    e.pspDirectory = Read32(*image, at + offsetof(ComboDirectoryEntry, PspDirectory));
  } else {
    e.typeWord = Read32(*image, at);
    e.size = Read32(*image, at + 4);
    e.source = Read64(*image, at + 8);
    if (kind != FlashDirectoryKind::Psp) e.destination = Read64(*image, at + offsetof(BiosDirectoryEntry, Destination));
  }
  return e;
}

std::string InspectedDirectory::Verdict() const {
  if (!readable) return "outside the flash";
  if (!MagicGood())
    return "BAD magic " + MagicText(magic) + " (" + Hex32(magic) + "), expected " + MagicText(FlashDirectoryMagic(kind));
  if (!entriesInFlash) return "BAD count: its " + std::to_string(count) + " entries run past the end of the flash";
  if (!ChecksumChecked()) return "good";
  if (stored != computed) return "BAD checksum (stored " + Hex32(stored) + ", computed " + Hex32(computed) + ")";
  return "good";
}

FlashInspection InspectFlash(FlashImage image, const std::string& name, std::vector<uint32_t> signatures) {
  return Inspector(std::move(image)).Run(name, std::move(signatures));
}

std::string FlashInspectionText(const FlashInspection& r) {
  std::string out;
  auto line = [&](const std::string& s) { out += s + "\n"; };
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

  for (const InspectedDirectory& d : r.directories) {
    line("");
    std::string from;
    for (const std::string& f : d.reachedFrom) from += (from.empty() ? "" : "; ") + f;
    line(Format("%s at %s (from %s)", KindName(d.kind), Hex32(d.address).c_str(), from.c_str()));
    if (!d.readable) {
      line("  outside the flash");
      continue;
    }
    const std::string checksum = !d.ChecksumChecked()             ? Hex32(d.stored) + " (not checked)"
                                 : !d.entriesInFlash              ? Hex32(d.stored) + " (not computed)"
                                 : d.stored == d.computed         ? "good (" + Hex32(d.stored) + ")"
                                                                  : "BAD (stored " + Hex32(d.stored) + ", computed " + Hex32(d.computed) + ")";
    line(Format("  magic     %s %s", MagicText(d.magic).c_str(),
                d.MagicGood() ? "good" : ("BAD, expected " + MagicText(FlashDirectoryMagic(d.kind))).c_str()));
    line(Format("  entries   %u%s", d.count, d.entriesInFlash ? "" : "  BAD: they run past the end of the flash"));
    line("  checksum  " + checksum);
    if (d.EntryCount() == 0) continue;
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
        line(Format("  %4zu  0x%02X  %s  %s  %s", i, e.typeWord & 0xFF, Hex32(e.typeWord).c_str(), Hex32(e.size).c_str(),
                    Hex64(e.source).c_str()));
      else
        line(Format("  %4zu  0x%02X  %s  %s  %s  %s", i, e.typeWord & 0xFF, Hex32(e.typeWord).c_str(),
                    Hex32(e.size).c_str(), Hex64(e.source).c_str(), Hex64(e.destination).c_str()));
    }
    if (d.EntryCount() > kEntriesShown)
      line(Format("  ... and %zu more (--json lists them all)", d.EntryCount() - kEntriesShown));
  }

  for (const ProcessorVerdict& v : r.processors) {
    line("");
    if (v.row < 0) {
      line(Format("Processor %s matches neither %s nor %s: every lookup fails", Hex32(v.signature).c_str(),
                  Hex32(kProcessorFlashRows[0].Signature).c_str(), Hex32(kProcessorFlashRows[1].Signature).c_str()));
      continue;
    }
    const ProcessorFlashRow& row = kProcessorFlashRows[v.row];
    const std::string matching = v.signature == row.Signature ? "" : ", matching " + Hex32(row.Signature);
    line(Format("Processor %s%s (BIOS directory at offset 0x%X, combo ID %s)", Hex32(v.signature).c_str(), matching.c_str(),
                unsigned(offsetof(FirmwareEntryTable, BiosDirectory) + 4 * row.BiosTableIndex),
                Hex32(row.ComboProcessorId).c_str()));
    if (!v.tableFound) {
      line("  no entry table: every lookup fails");
      continue;
    }
    auto good = [](bool ok) { return ok ? "good" : "BAD"; };
    const std::string via = v.comboEntry >= 0 ? Format("  (combo entry %d)", v.comboEntry) : "";
    line(Format("  PSP directory   %s  %s%s", Hex32(v.pspDirectory).c_str(), good(v.pspValid), via.c_str()));
    line(Format("  BIOS directory  %s  %s", Hex32(v.biosDirectory).c_str(), good(v.biosValid)));
    if (!v.traps.empty()) {
      std::string traps;
      for (uint32_t t : v.traps) traps += " " + Hex32(t);
      line("  the driver traps with" + traps + " and every lookup fails");
      continue;
    }
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

  line("");
  if (r.Good()) {
    line("Result: good");
  } else {
    line("Result: " + std::to_string(r.problems.size()) + (r.problems.size() == 1 ? " problem" : " problems"));
    for (const std::string& p : r.problems) line("  " + p);
  }
  return out;
}

namespace {

using nlohmann::json;

// The document without its directories.
json InspectionJson(const FlashInspection& r) {
  json j;
  j["file"] = r.name;
  j["base"] = Hex32(r.base);
  j["size"] = r.size;
  json table;
  table["positions"] = json::array();
  for (const auto& p : r.positions)
    table["positions"].push_back({{"address", Hex32(p.address)},
                                  {"in_flash", p.inFlash},
                                  {"value", p.inFlash ? json(Hex32(p.value)) : json(nullptr)}});
  table["address"] = r.table ? json(Hex32(*r.table)) : json(nullptr);
  table["psp_directory"] = r.table ? json(Hex32(r.pspPointer)) : json(nullptr);
  table["bios_directories"] = r.table ? json::array({Hex32(r.biosPointer[0]), Hex32(r.biosPointer[1])}) : json(nullptr);
  j["entry_table"] = table;

  j["processors"] = json::array();
  for (const ProcessorVerdict& v : r.processors) {
    json pj = {{"signature", Hex32(v.signature)},
               {"matches", v.row >= 0 ? json(Hex32(kProcessorFlashRows[v.row].Signature)) : json(nullptr)},
               {"good", v.Good()}};
    if (v.row >= 0 && v.tableFound) {
      pj["psp_directory"] = Hex32(v.pspDirectory);
      pj["combo_entry"] = v.comboEntry >= 0 ? json(v.comboEntry) : json(nullptr);
      pj["psp_directory_valid"] = v.pspValid;
      pj["bios_directory"] = Hex32(v.biosDirectory);
      pj["bios_directory_valid"] = v.biosValid;
      pj["traps"] = json::array();
      for (uint32_t t : v.traps) pj["traps"].push_back(Hex32(t));
      pj["level2"] = v.level2 ? json(Hex64(*v.level2)) : json(nullptr);
      pj["level2_valid"] = v.level2Valid;
      pj["lookups"] = json::array();
      for (const auto& l : v.lookups)
        pj["lookups"].push_back({{"type", Format("0x%02X", l.type)},
                                 {"normal", LookupJson(l.normal)},
                                 {"recovery", LookupJson(l.recovery)}});
    }
    j["processors"].push_back(pj);
  }
  j["good"] = r.Good();
  j["problems"] = r.problems;
  return j;
}

// A directory without its entries; those of one in the flash go under "entries".
json DirectoryJson(const InspectedDirectory& d) {
  json dj = {{"address", Hex32(d.address)},   {"kind", FlashDirectoryKindKey(d.kind)},
             {"reached_from", d.reachedFrom}, {"in_flash", d.readable},
             {"valid", d.Valid()},            {"verdict", d.Verdict()}};
  if (d.readable) {
    dj["magic"] = Hex32(d.magic);
    dj["magic_good"] = d.MagicGood();
    dj["count"] = d.count;
    dj["entries_in_flash"] = d.entriesInFlash;
    dj["checksum"] = {{"stored", Hex32(d.stored)},
                      {"computed", d.entriesInFlash ? json(Hex32(d.computed)) : json(nullptr)},
                      {"checked", d.ChecksumChecked()},
                      {"good", d.entriesInFlash ? json(d.stored == d.computed) : json(nullptr)}};
  }
  return dj;
}

json EntryJson(const InspectedDirectory& d, const InspectedEntry& e) {
  json ej = {{"address", Hex32(e.address)}};
  if (d.kind == FlashDirectoryKind::Combo) {
    ej["processor_id"] = Hex32(e.processorId);
    ej["psp_directory"] = Hex32(e.pspDirectory);
  } else {
    ej["type"] = Format("0x%02X", e.typeWord & 0xFF);
    ej["type_word"] = Hex32(e.typeWord);
    ej["size"] = e.size;
    ej[d.kind == FlashDirectoryKind::Psp ? "location" : "source"] = Hex64(e.source);
    if (d.kind != FlashDirectoryKind::Psp) ej["destination"] = Hex64(e.destination);
  }
  return ej;
}

// Writes JSON piece by piece exactly as json::dump(2) lays out the whole:
// members in key order, two spaces per level, "{}" and "[]" when empty.
class PrettyWriter {
 public:
  explicit PrettyWriter(std::ostream& out) : out_(out) {}

  void Open(char bracket) {
    out_ << bracket;
    items_.push_back(0);
  }
  void Close(char bracket) {
    const bool empty = items_.back() == 0;
    items_.pop_back();
    if (!empty) out_ << '\n' << std::string(2 * items_.size(), ' ');
    out_ << bracket;
  }
  // The next element of the array being written, or the next member's key.
  void Element() {
    out_ << (items_.back()++ == 0 ? "\n" : ",\n") << std::string(2 * items_.size(), ' ');
  }
  void Key(const std::string& key) {
    Element();
    out_ << Dump(json(key), -1) << ": ";
  }
  // A whole value at the current depth.
  void Value(const json& v) {
    const std::string text = Dump(v, 2), indent(2 * items_.size(), ' ');
    size_t from = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; from = nl + 1, nl = text.find('\n', from))
      out_.write(text.data() + from, std::streamsize(nl + 1 - from)) << indent;
    out_.write(text.data() + from, std::streamsize(text.size() - from));
  }
  // The object's members, and `key` (absent from it) written by `write` at its place in key order.
  template <class Write>
  void Object(const json& members, const std::string& key, Write write) {
    Open('{');
    bool written = key.empty();
    for (auto it = members.begin(); it != members.end(); ++it) {
      if (!written && key < it.key()) {
        Key(key);
        write();
        written = true;
      }
      Key(it.key());
      Value(it.value());
    }
    if (!written) {
      Key(key);
      write();
    }
    Close('}');
  }

  // Text that is not UTF-8 (a file name) is written with replacement characters, never refused.
  static std::string Dump(const json& v, int indent) {
    return v.dump(indent, ' ', false, json::error_handler_t::replace);
  }

 private:
  std::ostream& out_;
  std::vector<size_t> items_;  // items written so far at each open level
};

}  // namespace

nlohmann::json FlashInspectionJson(const FlashInspection& r) {
  json j = InspectionJson(r);
  j["directories"] = json::array();
  for (const InspectedDirectory& d : r.directories) {
    json dj = DirectoryJson(d);
    if (d.readable) {
      dj["entries"] = json::array();
      for (size_t i = 0; i < d.EntryCount(); ++i) dj["entries"].push_back(EntryJson(d, d.Entry(i)));
    }
    j["directories"].push_back(dj);
  }
  return j;
}

void WriteFlashInspectionJson(const FlashInspection& r, std::ostream& out) {
  PrettyWriter w(out);
  w.Object(InspectionJson(r), "directories", [&] {
    w.Open('[');
    for (const InspectedDirectory& d : r.directories) {
      w.Element();
      w.Object(DirectoryJson(d), d.readable ? "entries" : "", [&] {
        w.Open('[');
        for (size_t i = 0; i < d.EntryCount(); ++i) {
          w.Element();
          w.Value(EntryJson(d, d.Entry(i)));
        }
        w.Close(']');
      });
    }
    w.Close(']');
  });
  out << "\n";
}

}  // namespace sim
