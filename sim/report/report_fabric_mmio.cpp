#include "sim/report/report_fabric_mmio.h"

#include <cstring>
#include <optional>
#include <sstream>

#include "psp/fabric_mmio.h"
#include "psp/psp_window.h"
#include "sim/firmware/heap_list.h"

namespace sim {

namespace {

using nlohmann::json;

struct Section {
  uint64_t window = 0;     // the base the window registers show; 0: none
  std::string placedBy;    // "none", "platform" (before the boot) or "driver"
  std::optional<uint64_t> address;  // the state's data
  uint32_t size = 0;
  alignas(8) FabricMmioState state{};  // its 64-bit fields read in place
  bool readable = false;   // the buffer holds a whole state
};

Section Collect(const Platform& platform) {
  Section s;
  s.window = platform.hardware().PspWindowBase();
  bool written = false;
  for (const InternalWrite& w : platform.hardware().InternalWrites())
    written |= w.bus == 0 && w.index == PspWindowBaseLow::kAt;
  s.placedBy = written ? "driver" : s.window != 0 ? "platform" : "none";
  const auto node = FindHeapBuffer(ReadHeapList(platform.memory(), platform.firmware()), kHeapHandleFabricMmioState);
  if (!node) return s;
  s.address = node->node + sizeof(HeapBufferNode);
  s.size = node->header.Size;
  if (s.size >= sizeof(FabricMmioState) && platform.memory().Contains(*s.address, sizeof(FabricMmioState))) {
    const auto bytes = platform.memory().ReadBytes(*s.address, sizeof(FabricMmioState));
    std::memcpy(&s.state, bytes.data(), sizeof s.state);
    s.readable = true;
  }
  return s;
}

// What a slot holds: a die's region, a spare, or nothing.
std::string Role(const FabricMmioState& st, uint32_t slot, bool below) {
  const bool spare = below ? st.BelowSparePresent && st.BelowSpareSlot == ((slot / 4) << 4 | slot % 4)
                           : st.AboveSparePresent && st.AboveSpareSlot == ((slot / 4) << 4 | slot % 4);
  if (spare) return "spare";
  const MmioRegion& r = below ? st.BelowRegion[slot] : st.AboveRegion[slot];
  return r.Base == 0 && r.Size == 0 && r.UsedFromTop == 0 && r.UsedFromBottom == 0 ? "empty" : "die";
}

std::string RegionText(const MmioRegion& r) {
  if (r.Size == 0 && r.Base == 0) return "-";
  return HexText(r.Base, 12) + "-" + HexText(r.Base + r.Size - (r.Size != 0), 12) + " size " + HexText(r.Size) +
         ", used " + HexText(r.UsedFromBottom) + " up, " + HexText(r.UsedFromTop) + " down, free " +
         HexText(MmioRegionFree(r));
}

json RegionJson(const MmioRegion& r, const std::string& role) {
  return {{"role", role},
          {"base", r.Base},
          {"base_hex", HexText(r.Base, 16)},
          {"size", r.Size},
          {"size_hex", HexText(r.Size, 16)},
          {"used_from_top", r.UsedFromTop},
          {"used_from_bottom", r.UsedFromBottom},
          {"free", MmioRegionFree(r)}};
}

}  // namespace

std::string FabricMmioText(const Platform& platform) {
  const Section s = Collect(platform);
  std::ostringstream out;
  out << "PSP window and fabric MMIO (heap buffer 0xA03D)\n";
  out << "  PSP window  ";
  if (s.window == 0) out << "no base\n";
  else
    out << HexText(s.window, 8) << "-" << HexText(s.window + kPspWindowLength - 1, 8)
        << (s.placedBy == "driver" ? ", placed by the driver\n" : ", placed before the boot\n");
  if (!s.address) {
    out << "  Allocator   no state: nothing asked it for a range\n";
    return out.str();
  }
  out << "  Allocator   state at " << HexText(*s.address, 16) << ", " << s.size << " bytes\n";
  if (!s.readable) {
    out << "  (too small to hold the state)\n";
    return out.str();
  }
  for (uint32_t slot = 0; slot < kFabricMmioSlots; ++slot) {
    const std::string below = Role(s.state, slot, true), above = Role(s.state, slot, false);
    if (below == "empty" && above == "empty" && !s.state.BelowEnabled[slot]) continue;
    out << "    socket " << slot / 4 << " die " << slot % 4
        << (s.state.BelowEnabled[slot] ? "" : " (below 4 GiB disabled)") << "\n";
    out << "      below 4 GiB" << (below == "spare" ? " (spare)" : "") << "  " << RegionText(s.state.BelowRegion[slot])
        << "\n";
    out << "      above 4 GiB" << (above == "spare" ? " (spare)" : "") << "  " << RegionText(s.state.AboveRegion[slot])
        << "\n";
  }
  return out.str();
}

json FabricMmioJson(const Platform& platform) {
  const Section s = Collect(platform);
  json j;
  j["psp_window"] = {{"base", s.window == 0 ? json(nullptr) : json(s.window)},
                     {"base_hex", s.window == 0 ? json(nullptr) : json(HexText(s.window, 8))},
                     {"placed_by", s.placedBy}};
  json state = {{"present", s.address.has_value()}};
  if (s.address) {
    state["address"] = *s.address;
    state["address_hex"] = HexText(*s.address, 16);
    state["size"] = s.size;
    state["readable"] = s.readable;
    if (s.readable) {
      json slots = json::array();
      for (uint32_t slot = 0; slot < kFabricMmioSlots; ++slot)
        slots.push_back({{"socket", slot / 4},
                         {"die", slot % 4},
                         {"below_enabled", s.state.BelowEnabled[slot] != 0},
                         {"below", RegionJson(s.state.BelowRegion[slot], Role(s.state, slot, true))},
                         {"above", RegionJson(s.state.AboveRegion[slot], Role(s.state, slot, false))}});
      state["slots"] = slots;
    }
  }
  j["allocator"] = state;
  return j;
}

}  // namespace sim
