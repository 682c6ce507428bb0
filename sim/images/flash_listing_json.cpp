// The flash inspection as JSON: the whole document at once, or streamed so
// that a directory's entries never stand in memory as JSON.
#include <ostream>
#include <string>
#include <vector>

#include "sim/images/flash_listing.h"
#include "sim/images/flash_listing_format.h"

namespace sim {

using namespace flash_listing;

namespace {

using nlohmann::json;

json LookupJson(const LookupSource& s) {
  if (s.level == 0) return nullptr;
  return {{"level", s.level}, {"index", s.index}, {"source", Hex64(s.source)}};
}

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
    ej["type"] = Format("0x%02X", BiosEntryTypeWord::Type::Get(e.typeWord));
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
