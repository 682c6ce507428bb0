#include "sim/report/report_snapshot.h"

#include <sstream>
#include <vector>

#include "core/channel_map.h"

namespace sim {

namespace {

using nlohmann::json;

constexpr size_t kSnapshotSize = sizeof(ChannelMapSnapshot);

#define SNAPSHOT_FIELD(f, elements, slotStride, elementStride)                                                    \
  SnapshotField {                                                                                                 \
    #f, offsetof(ChannelMapSnapshot, f), int(sizeof(ChannelMapSnapshot{}.f) / (16 * (elements))), elements, \
        slotStride, elementStride                                                                                 \
  }

struct ReservedRange {
  size_t offset, size;
};
constexpr ReservedRange kReserved[] = {
    {offsetof(ChannelMapSnapshot, Reserved160), sizeof(ChannelMapSnapshot{}.Reserved160)},
    {offsetof(ChannelMapSnapshot, Reserved960), sizeof(ChannelMapSnapshot{}.Reserved960)},
    {offsetof(ChannelMapSnapshot, ReservedD20), sizeof(ChannelMapSnapshot{}.ReservedD20)},
};

uint64_t Element(const std::vector<uint8_t>& bytes, const SnapshotField& f, uint32_t slot, int element,
                 size_t* offset = nullptr) {
  const size_t at = f.Offset + slot * f.SlotStride + size_t(element) * f.ElementStride;
  if (offset) *offset = at;
  uint64_t v = 0;
  for (int i = 0; i < f.Width; ++i) v |= uint64_t(bytes[at + size_t(i)]) << (8 * i);
  return v;
}

bool Populated(const std::vector<uint8_t>& bytes, uint32_t slot) {
  for (const SnapshotField& f : kSnapshotFields)
    for (int e = 0; e < f.Elements; ++e)
      if (Element(bytes, f, slot, e) != 0) return true;
  return false;
}

std::vector<size_t> NonZeroReserved(const std::vector<uint8_t>& bytes) {
  std::vector<size_t> out;
  for (const ReservedRange& r : kReserved)
    for (size_t i = r.offset; i < r.offset + r.size; ++i)
      if (bytes[i] != 0) out.push_back(i);
  return out;
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

// "2, 4 to 15"
std::string SlotList(const std::vector<uint32_t>& slots) {
  std::string out;
  for (size_t i = 0; i < slots.size();) {
    size_t j = i;
    while (j + 1 < slots.size() && slots[j + 1] == slots[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(slots[i]);
    if (j > i) out += (j == i + 1 ? ", " : " to ") + std::to_string(slots[j]);
    i = j + 1;
  }
  return out;
}

}  // namespace

constexpr SnapshotField kSnapshotFields[16] = {
    SNAPSHOT_FIELD(CsEnabledCount, 1, 1, 0), SNAPSHOT_FIELD(CsEnabledMask, 1, 1, 0),
    SNAPSHOT_FIELD(AddrHashBank, 5, 4, 0x40), SNAPSHOT_FIELD(AddrHashCS, 2, 8, 4),
    SNAPSHOT_FIELD(BaseAddr, 4, 16, 4),      SNAPSHOT_FIELD(BaseAddrSec, 4, 16, 4),
    SNAPSHOT_FIELD(AddrMask, 2, 8, 4),       SNAPSHOT_FIELD(AddrMaskSec, 2, 8, 4),
    SNAPSHOT_FIELD(AddrCfg, 4, 16, 4),       SNAPSHOT_FIELD(BankBit, 2, 8, 4),
    SNAPSHOT_FIELD(RowHiLo, 2, 8, 4),        SNAPSHOT_FIELD(ColSelLo, 2, 8, 4),
    SNAPSHOT_FIELD(ColSelHi, 2, 8, 4),       SNAPSHOT_FIELD(RmSel, 2, 8, 4),
    SNAPSHOT_FIELD(RmSelSec, 2, 8, 4),       SNAPSHOT_FIELD(DimmCfg, 4, 16, 4),
};
#undef SNAPSHOT_FIELD

namespace {
// The fields of all 16 slots and the reserved ranges cover every byte once.
constexpr bool FieldsCoverTheSnapshot() {
  int covered[kSnapshotSize] = {};
  for (const SnapshotField& f : kSnapshotFields) {
    for (uint32_t s = 0; s < kChannelSlotCount; ++s)
      for (int e = 0; e < f.Elements; ++e)
        for (int i = 0; i < f.Width; ++i) {
          const size_t at = f.Offset + s * f.SlotStride + size_t(e) * f.ElementStride + size_t(i);
          if (at >= kSnapshotSize) return false;
          ++covered[at];
        }
  }
  for (const ReservedRange& r : kReserved)
    for (size_t i = r.offset; i < r.offset + r.size; ++i) ++covered[i];
  for (int c : covered)
    if (c != 1) return false;
  return true;
}
static_assert(FieldsCoverTheSnapshot(), "every byte of ChannelMapSnapshot is one field's or reserved");
}  // namespace

std::string SnapshotText(const Platform& platform, uint64_t address) {
  std::ostringstream out;
  out << "Channel map snapshot (ChannelMapSnapshot)\n";
  std::vector<uint8_t> bytes;
  if (!ReadSnapshot(platform, address, &bytes)) {
    out << "  unreadable: its " << kSnapshotSize << " bytes at " << HexText(address, 16) << " do not lie in DRAM\n";
    return out.str();
  }
  const std::vector<size_t> reserved = NonZeroReserved(bytes);
  out << "  At " << HexText(address, 16) << ", " << kSnapshotSize << " bytes; reserved bytes "
      << (reserved.empty() ? "all zero" : std::to_string(reserved.size()) + " not zero, the first at offset " +
                                              HexText(reserved.front(), 3))
      << "\n";
  out << "  Elements: AddrHashBank n 0-4, AddrHashCS n 0-1; BaseAddr, BaseAddrSec by chip select 0-3;\n"
         "  AddrCfg, DimmCfg by DIMM 0-3 (2 and 3 unused); the others by DIMM 0-1. All-zero slots are not shown.\n";
  std::vector<uint32_t> empty;
  for (uint32_t s = 0; s < kChannelSlotCount; ++s) {
    if (!Populated(bytes, s)) {
      empty.push_back(s);
      continue;
    }
    const SlotPlace p = Place(s);
    out << "  Slot " << s << ": socket " << p.socket << ", die " << p.die << ", channel " << p.channel << "\n";
    for (const SnapshotField& f : kSnapshotFields) {
      std::string line = "    " + std::string(f.Name) + std::string(16 - std::string_view(f.Name).size(), ' ');
      for (int e = 0; e < f.Elements; ++e) {
        const uint64_t v = Element(bytes, f, s, e);
        line += (e ? "  " : "") +
                (std::string_view(f.Name) == "CsEnabledCount" ? std::to_string(v) : HexText(v, 2 * f.Width));
      }
      if (std::string_view(f.Name) == "DimmCfg") {
        const uint64_t d0 = Element(bytes, f, s, 0), d1 = Element(bytes, f, s, 1);
        using W = SnapshotDimmCfg;
        line += "  DDR4eEn " + std::to_string(W::Ddr4eEn::Get(uint32_t(d0))) + " " +
                std::to_string(W::Ddr4eEn::Get(uint32_t(d1))) + ", BankGroupEn " +
                std::to_string(W::BankGroupEn::Get(uint32_t(d0))) + " " + std::to_string(W::BankGroupEn::Get(uint32_t(d1)));
      }
      out << line << "\n";
    }
  }
  if (empty.size() == kChannelSlotCount) out << "  Every slot is all zero.\n";
  else if (!empty.empty()) out << "  All zero: slot" << (empty.size() == 1 ? " " : "s ") << SlotList(empty) << "\n";
  return out.str();
}

void SnapshotJson(const Platform& platform, uint64_t address, json& channelMap) {
  std::vector<uint8_t> bytes;
  channelMap["readable"] = ReadSnapshot(platform, address, &bytes);
  if (bytes.empty()) return;
  channelMap["size"] = bytes.size();
  std::string hex;
  for (uint8_t b : bytes) hex += (hex.empty() ? "" : " ") + HexText(b, 2).substr(2);
  channelMap["bytes_hex"] = hex;
  channelMap["reserved_zero"] = NonZeroReserved(bytes).empty();
  json slots = json::array();
  for (uint32_t s = 0; s < kChannelSlotCount; ++s) {
    const SlotPlace p = Place(s);
    json slot = {{"slot", s}, {"socket", p.socket}, {"die", p.die}, {"channel", p.channel},
                 {"populated", Populated(bytes, s)}};
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
