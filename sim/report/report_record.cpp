#include "sim/report/report_record.h"

#include <cstddef>
#include <sstream>
#include <string_view>
#include <vector>

#include "core/meminfo.h"
#include "sim/report/report_drux.h"
#include "sim/report/report_format.h"
#include "sim/report/report_snapshot.h"

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

std::string ByteDump(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  std::string out;
  for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
    if (!out.empty()) out += ' ';
    out += HexText(bytes[i], 2).substr(2);
  }
  return out;
}

json JsonBuffer(bool present, uint64_t address) {
  json j = {{"present", present}};
  if (present) Put(j, "address", address, kAddressDigits);
  return j;
}

}  // namespace

json RecordJson(Platform& platform) {
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

std::string RecordText(Platform& platform) {
  const RecordView r = ReadRecord(platform);
  std::ostringstream out;
  out << "Published record (MemInfoProtocol)\n";
  if (!r.present) {
    out << "  absent: nothing was installed under " << GuidText(MemInfoProtocolGuid) << "\n";
    return out.str();
  }
  out << "  Interface  " << HexText(r.address, kAddressDigits) << "\n";
  out << "  Handle     " << HexText(r.handle, kAddressDigits)
      << (r.handle == platform.firmware().ImageHandle() ? " (the image handle)" : " (not the image handle)") << "\n";
  if (!r.readable) {
    out << "  unreadable: the interface address does not lie in DRAM\n";
    return out.str();
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
  return out.str();
}

std::string RecordBuffersText(Platform& platform) {
  const RecordView r = ReadRecord(platform);
  std::string out;
  if (r.readable && r.Value("ChannelMap") != 0) out += SnapshotText(platform, r.Value("ChannelMap")) + "\n";
  if (r.readable && r.Value("ChipSelectEntries") != 0)
    out += ChipSelectText(platform, r.Value("ChipSelectEntries"), r.Value("ChipSelectCount")) + "\n";
  return out;
}

}  // namespace sim
