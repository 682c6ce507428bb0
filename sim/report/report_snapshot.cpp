#include "sim/report/report_snapshot.h"

#include <vector>

#include "apps/dump/record_text.h"
#include "core/channel_map.h"

namespace sim {

namespace {

using nlohmann::json;
using dump::kSnapshotFields;
using dump::SnapshotField;

constexpr size_t kSnapshotSize = sizeof(ChannelMapSnapshot);

uint64_t Element(const std::vector<uint8_t>& bytes, const SnapshotField& f, uint32_t slot, int element,
                 size_t* offset) {
  *offset = f.Offset + slot * f.SlotStride + size_t(element) * f.ElementStride;
  return dump::SnapshotElement(bytes.data(), f, slot, element);
}

// Socket, die and channel of a slot.
struct SlotPlace {
  uint32_t socket, die, channel;
};
SlotPlace Place(uint32_t slot) { return {slot / 8, slot / 2 % 4, slot % 2}; }

bool ReadSnapshot(const Platform& platform, uint64_t address, std::vector<uint8_t>* bytes) {
  if (!platform.memory().Contains(address, kSnapshotSize)) return false;
  *bytes = platform.memory().ReadBytes(address, kSnapshotSize);
  return true;
}

}  // namespace

void SnapshotJson(const Platform& platform, uint64_t address, json& channelMap) {
  std::vector<uint8_t> bytes;
  channelMap["readable"] = ReadSnapshot(platform, address, &bytes);
  if (bytes.empty()) return;
  channelMap["size"] = bytes.size();
  std::string hex;
  for (uint8_t b : bytes) hex += (hex.empty() ? "" : " ") + HexText(b, 2).substr(2);
  channelMap["bytes_hex"] = hex;
  channelMap["reserved_zero"] = dump::SnapshotReservedNonZero(bytes.data(), nullptr) == 0;
  json slots = json::array();
  for (uint32_t s = 0; s < kChannelSlotCount; ++s) {
    const SlotPlace p = Place(s);
    json slot = {{"slot", s}, {"socket", p.socket}, {"die", p.die}, {"channel", p.channel},
                 {"populated", dump::SnapshotSlotPopulated(bytes.data(), s)}};
    json fields = json::object();
    for (const SnapshotField& f : kSnapshotFields) {
      json offsets = json::array(), values = json::array(), valuesHex = json::array();
      for (int e = 0; e < f.Elements; ++e) {
        size_t at = 0;
        const uint64_t v = Element(bytes, f, s, e, &at);
        offsets.push_back(at);
        values.push_back(v);
        valuesHex.push_back(HexText(v, 2 * f.Width));
      }
      fields[f.Name] = {{"width", f.Width}, {"offsets", offsets}, {"values", values}, {"values_hex", valuesHex}};
    }
    slot["fields"] = fields;
    slots.push_back(slot);
  }
  channelMap["slots"] = slots;
}

}  // namespace sim
