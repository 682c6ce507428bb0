// A board's dump of the published record (MemInfoDump.efi's text) held against
// what a scenario predicts (sim::DumpText), field by field: `meminfo-sim compare`.
//
// Both texts are read by one parser into fields (section, row, field, value).
// Addresses are placement: where the firmware put the record, its handle and
// the blocks the record points to differ between a board and a scenario, so
// the interface and handle addresses, the record's two pointer fields (and
// their bytes) and the blocks' "At" addresses are reported as "placed
// elsewhere", not as a difference. That a pointer is 0 on one side and not on
// the other is a difference; what lies at the pointers is compared field by
// field.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct DumpField {
  std::string section;  // "Published record", "Channel map snapshot", "Chip-select table"
  std::string row;      // "slot 3", "entry 7", or empty
  std::string field;    // "RootRegLow", "BaseAddr[2]", "Socket", ...
  std::string value;
  enum Placement : uint8_t { Content, Place, PlaceQuiet } placement = Content;
  size_t line = 0;  // 1-based line of the text it came from
};

// The dump's text from a file's bytes: UTF-16LE (with or without its byte-order
// mark, as the UEFI shell's redirection writes it) or 8-bit text; line ends CR
// LF or LF, terminal escape sequences and trailing blanks dropped.
std::vector<std::string> DumpLines(const std::vector<uint8_t>& bytes);

// Parses the sections from the line "Published record (MemInfoProtocol)" on, up
// to the first line after a section that starts none. Returns an empty text, or
// why not with the 1-based line ("line 12: ...").
std::string ParseDump(const std::vector<std::string>& lines, std::vector<DumpField>& fields);

struct DumpDifference {
  DumpField expected, found;  // a side without the field has an empty field name
  bool placedElsewhere = false;  // both placed, at different addresses: not a difference
};
std::vector<DumpDifference> CompareDumps(const std::vector<DumpField>& expected, const std::vector<DumpField>& found);

// "Chip-select table, entry 3, Socket: expected 1, found 0 (dump line 88)".
std::string DifferenceText(const DumpDifference& d);

}  // namespace sim
