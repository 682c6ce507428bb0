#include "sim/report/report_record.h"

#include <cstddef>
#include <string_view>
#include <vector>

#include "apps/dump/record_text.h"
#include "core/meminfo.h"
#include "sim/report/report_drux.h"
#include "sim/report/report_format.h"
#include "sim/report/report_snapshot.h"

namespace sim {

namespace {

using nlohmann::json;

using dump::kRecordFields;
using dump::RecordField;

// The record as it sits in memory after the boot.
struct RecordView {
  bool present = false;
  uint64_t address = 0;
  uint64_t handle = 0;
  bool readable = false;  // all 40 bytes lie in DRAM
  std::vector<uint8_t> bytes;

  uint64_t Value(const RecordField& f) const { return dump::LittleEndian(bytes.data(), f.offset, f.width); }
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

namespace {

void Append(void* text, const char* piece, size_t length) { static_cast<std::string*>(text)->append(piece, length); }

const uint8_t* DramBytes(void* memory, uint64_t address, uint64_t size) {
  const auto* m = static_cast<const PhysicalMemory*>(memory);
  return m->Contains(address, size) ? m->Host(address) : nullptr;
}

dump::Reader DramReader(Platform& platform) {
  return {DramBytes, const_cast<void*>(static_cast<const void*>(&platform.memory()))};
}

dump::RecordPlace Place(Platform& platform, const RecordView& r) {
  return {r.address, r.handle, r.handle == platform.firmware().ImageHandle()};
}

// The record's section (RecordText) or the whole dump (DumpText) as the
// shared renderer writes it; the absent section when nothing is installed.
using Render = void (*)(const dump::Sink&, const dump::RecordPlace&, const dump::Reader&);
std::string Rendered(Platform& platform, Render render) {
  const RecordView r = ReadRecord(platform);
  std::string out;
  const dump::Sink sink{Append, &out};
  if (!r.present) dump::RecordAbsentText(sink);
  else render(sink, Place(platform, r), DramReader(platform));
  return out;
}

}  // namespace

std::string RecordText(Platform& platform) { return Rendered(platform, dump::RecordText); }

std::string RecordBuffersText(Platform& platform) {
  const RecordView r = ReadRecord(platform);
  std::string out;
  if (r.present) dump::RecordBuffersText(dump::Sink{Append, &out}, r.address, DramReader(platform));
  return out;
}

std::string DumpText(Platform& platform) { return Rendered(platform, dump::DumpText); }

}  // namespace sim
