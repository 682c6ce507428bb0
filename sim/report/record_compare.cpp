#include "sim/report/record_compare.h"

#include <cctype>
#include <map>
#include <sstream>
#include <tuple>

#include "sim/common/text.h"

namespace sim {

namespace {

constexpr const char* kRecordTitle = "Published record (MemInfoProtocol)";
constexpr const char* kSnapshotTitle = "Channel map snapshot (ChannelMapSnapshot)";
constexpr const char* kChipSelectTitle = "Chip-select table (ChipSelectTable)";

// The line with ANSI escape sequences and trailing blanks removed.
std::string Clean(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1b') {
      if (i + 1 < raw.size() && raw[i + 1] == '[') {
        i += 2;
        while (i < raw.size() && !(raw[i] >= '@' && raw[i] <= '~')) ++i;
      } else {
        ++i;
      }
      continue;
    }
    out += raw[i];
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '\r' || out.back() == '\t')) out.pop_back();
  return out;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool IsNumber(const std::string& w) {
  if (w.empty() || w.size() > 18) return false;
  size_t i = StartsWith(w, "0x") ? 2 : 0;
  if (i == w.size()) return false;
  for (; i < w.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(w[i])) || (!StartsWith(w, "0x") && !std::isdigit(static_cast<unsigned char>(w[i]))))
      return false;
  return true;
}

bool IsZero(const std::string& value) {
  if (!IsNumber(value)) return false;
  return value.find_first_not_of("0x") == std::string::npos;
}

struct Parser {
  const std::vector<std::string>& lines;
  std::vector<DumpField>& fields;
  std::string section;
  std::string row;
  size_t at = 0;  // index of the line being read

  void Add(std::string field, std::string value, DumpField::Placement placement = DumpField::Content) {
    fields.push_back({section, row, std::move(field), std::move(value), placement, at + 1});
  }
  std::string Fail(const std::string& why) const { return "line " + std::to_string(at + 1) + ": " + why; }

  std::string RecordLine(const std::string& l) {
    const std::vector<std::string> w = Words(l);
    if (StartsWith(l, "  absent: ") || StartsWith(l, "  unreadable: ")) return Add("state", l.substr(2)), "";
    if (StartsWith(l, "  Interface  ") && w.size() == 2) return Add("Interface", w[1], DumpField::Place), "";
    if (StartsWith(l, "  Handle     ") && w.size() >= 2) {
      Add("Handle", w[1], DumpField::Place);
      Add("Handle's kind", l.substr(l.find(w[1]) + w[1].size()));
      return "";
    }
    if (l == "  Offset  Field                Type  Value" || l == "  Bytes") return "";
    if (StartsWith(l, "  Channel map snapshot  ")) {
      const std::string v = l.substr(24);
      Add("Channel map snapshot", v, StartsWith(v, "at ") ? DumpField::Place : DumpField::Content);
      return "";
    }
    if (StartsWith(l, "  Chip-select table     ")) {
      const std::string v = l.substr(24);
      const size_t comma = v.find(", ChipSelectCount ");
      if (comma == std::string::npos) return Fail("a chip-select table line without its ChipSelectCount");
      Add("Chip-select table", v.substr(0, comma), StartsWith(v, "at ") ? DumpField::Place : DumpField::Content);
      Add("Chip-select table's count", v.substr(comma + 18));
      return "";
    }
    if (StartsWith(l, "    +0x") && w.size() >= 2 && w.size() <= 17) {
      uint64_t base = 0;
      if (w[0].size() != 5 || !IsNumber(w[0].substr(1))) return Fail("a bytes line without its offset");
      base = std::stoull(w[0].substr(3), nullptr, 16);
      for (size_t i = 1; i < w.size(); ++i) {
        const uint64_t offset = base + i - 1;
        // The bytes of ChipSelectEntries and ChannelMap (offsets 0x18 to 0x27) are placement.
        Add("byte +" + HexText(offset, 2), w[i], offset >= 0x18 && offset < 0x28 ? DumpField::PlaceQuiet : DumpField::Content);
      }
      return "";
    }
    if (w.size() == 4 && StartsWith(l, "  0x") && IsNumber(w[0]) && IsNumber(w[3])) {
      const bool pointer = w[1] == "ChipSelectEntries" || w[1] == "ChannelMap";
      Add(w[1], w[3], pointer ? DumpField::Place : DumpField::Content);
      return "";
    }
    return Fail("not a line of the record's section: \"" + l.substr(0, 80) + "\"");
  }

  // A block's first lines: "unreadable: ..." or "At <address>, <what>".
  bool BlockHeadLine(const std::string& l, const std::vector<std::string>& w, const char* what) {
    if (StartsWith(l, "  unreadable: ")) return Add("state", l.substr(2)), true;
    if (!StartsWith(l, "  At ") || w.size() < 2) return false;
    std::string address = w[1];
    if (!address.empty() && address.back() == ',') address.pop_back();
    Add("At", address, DumpField::Place);
    Add(what, l.substr(l.find(',') + 2));
    return true;
  }

  std::string SnapshotLine(const std::string& l) {
    const std::vector<std::string> w = Words(l);
    if (BlockHeadLine(l, w, "size and reserved bytes")) return "";
    if (StartsWith(l, "  Elements: ")) return Add("legend", l.substr(2)), "";
    if (StartsWith(l, "  AddrCfg, DimmCfg by DIMM")) return Add("legend's second line", l.substr(2)), "";
    if (StartsWith(l, "  All zero: ") || l == "  Every slot is all zero.") {
      row.clear();
      return Add("all-zero slots", l.substr(2)), "";
    }
    if (StartsWith(l, "  Slot ") && w.size() >= 3) {
      row = "slot " + w[1].substr(0, w[1].size() - 1);
      Add("place", l.substr(l.find(':') + 2));
      return "";
    }
    if (StartsWith(l, "    ") && !row.empty() && w.size() >= 2) {
      size_t n = 1;
      while (n < w.size() && IsNumber(w[n])) ++n;
      if (n == 1) return Fail("a snapshot field without values");
      for (size_t e = 1; e < n; ++e) Add(n == 2 ? w[0] : w[0] + "[" + std::to_string(e - 1) + "]", w[e]);
      if (n < w.size()) Add(w[0] + " decoded", l.substr(l.find(w[n], l.find(w[n - 1]) + w[n - 1].size())));
      return "";
    }
    return Fail("not a line of the channel map snapshot's section: \"" + l.substr(0, 80) + "\"");
  }

  std::string ChipSelectLine(const std::string& l) {
    const std::vector<std::string> w = Words(l);
    if (BlockHeadLine(l, w, "entries and reserved bytes")) return "";
    if (l == "     #  Socket  Die  Channel  DIMM  Rank  Sequence") return "";
    if (w.size() == 7) {
      for (const std::string& v : w)
        if (!IsNumber(v)) return Fail("a chip-select entry with a value that is not a number: \"" + v.substr(0, 24) + "\"");
      static const char* const kColumns[] = {"Socket", "Die", "Channel", "DIMM", "Rank", "Sequence"};
      row = "entry " + w[0];
      for (size_t c = 0; c < 6; ++c) Add(kColumns[c], w[c + 1]);
      row.clear();
      return "";
    }
    return Fail("not a line of the chip-select table's section: \"" + l.substr(0, 80) + "\"");
  }

  std::string Parse() {
    while (at < lines.size() && Clean(lines[at]) != kRecordTitle) ++at;
    if (at == lines.size()) return "no line \"" + std::string(kRecordTitle) + "\": not a record dump";
    for (;;) {
      const std::string title = at < lines.size() ? Clean(lines[at]) : "";
      if (title == kRecordTitle) section = "Published record";
      else if (title == kSnapshotTitle) section = "Channel map snapshot";
      else if (title == kChipSelectTitle) section = "Chip-select table";
      else return "";
      row.clear();
      const std::string name = section;
      for (++at; at < lines.size(); ++at) {
        const std::string l = Clean(lines[at]);
        if (l.empty()) break;
        const std::string why = name == "Published record" ? RecordLine(l)
                                : name == "Channel map snapshot" ? SnapshotLine(l) : ChipSelectLine(l);
        if (!why.empty()) return why;
      }
      if (at < lines.size()) ++at;  // the empty line
    }
  }
};

std::string FieldName(const DumpField& f) {
  return f.section + (f.row.empty() ? "" : ", " + f.row) + ", " + f.field;
}

}  // namespace

std::vector<std::string> DumpLines(const std::vector<uint8_t>& bytes) {
  std::string text;
  size_t start = 0;
  bool wide = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  if (wide) start = 2;
  else if (bytes.size() >= 4 && bytes[1] == 0 && bytes[3] == 0 && bytes[0] != 0) wide = true;
  if (!wide && bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
  if (wide) {
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
      const unsigned c = bytes[i] | unsigned(bytes[i + 1]) << 8;
      text += c < 0x80 ? char(c) : '?';
    }
  } else {
    text.assign(bytes.begin() + long(start), bytes.end());
  }
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string ParseDump(const std::vector<std::string>& lines, std::vector<DumpField>& fields) {
  fields.clear();
  Parser p{lines, fields, "", "", 0};
  return p.Parse();
}

std::vector<DumpDifference> CompareDumps(const std::vector<DumpField>& expected, const std::vector<DumpField>& found) {
  using Key = std::tuple<std::string, std::string, std::string>;
  std::map<Key, size_t> where;
  for (size_t i = 0; i < found.size(); ++i) where.emplace(Key{found[i].section, found[i].row, found[i].field}, i);
  std::vector<bool> matched(found.size(), false);
  std::vector<DumpDifference> out;
  for (const DumpField& e : expected) {
    const auto it = where.find(Key{e.section, e.row, e.field});
    if (it == where.end()) {
      out.push_back({e, DumpField{}, false});
      continue;
    }
    matched[it->second] = true;
    const DumpField& f = found[it->second];
    if (e.value == f.value) continue;
    // A pointer's bytes move with it, a 0 byte becoming another as well; the
    // pointer fields themselves say whether a block is there.
    if (e.placement == DumpField::PlaceQuiet && f.placement == DumpField::PlaceQuiet) continue;
    const bool placed = e.placement != DumpField::Content && f.placement != DumpField::Content &&
                        !IsZero(e.value) && !IsZero(f.value);
    out.push_back({e, f, placed});
  }
  for (size_t i = 0; i < found.size(); ++i)
    if (!matched[i]) out.push_back({DumpField{}, found[i], false});
  return out;
}

std::string DifferenceText(const DumpDifference& d) {
  const DumpField& named = d.expected.field.empty() ? d.found : d.expected;
  std::string out = (d.placedElsewhere ? "placed elsewhere: " : "differs: ") + FieldName(named) + ": expected ";
  out += d.expected.field.empty() ? "(no such field)" : d.expected.value;
  out += ", found ";
  out += d.found.field.empty() ? "(no such field)" : d.found.value + " (dump line " + std::to_string(d.found.line) + ")";
  return out;
}

}  // namespace sim
