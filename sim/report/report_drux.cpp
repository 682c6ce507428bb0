#include "sim/report/report_drux.h"

#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "core/chip_select.h"
#include "sim/images/drux_block.h"
#include "sim/report/report_json.h"

namespace sim {

namespace {

using nlohmann::json;

std::string Pad(std::string s, size_t width, bool right = false) {
  if (s.size() >= width) return s;
  return right ? std::string(width - s.size(), ' ') + s : s + std::string(width - s.size(), ' ');
}

// A byte of the platform as it stands after the boot, read without recording:
// DRAM, the boot flash, or data a scenario placed elsewhere; 0xFF where nothing is.
uint8_t Peek(Platform& p, uint64_t address) {
  if (p.memory().Contains(address, 1)) return p.memory().Read<uint8_t>(address);
  uint64_t v = 0;
  if (p.hardware().Flash() && p.hardware().Flash()->Read(address, 1, &v)) return uint8_t(v);
  uint8_t b = 0xFF;
  for (const MemoryPlacement& m : p.scenario().placements)
    if (address >= m.address && address - m.address < m.bytes.size()) b = m.bytes[address - m.address];
  return b;
}

uint64_t PeekValue(Platform& p, uint64_t address, unsigned bytes) {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v |= uint64_t(Peek(p, address + i)) << (8 * i);
  return v;
}

std::string Where(Platform& p, uint64_t address) {
  if (p.memory().Contains(address, 1)) return "memory";
  if (p.hardware().Flash() && p.hardware().Flash()->Contains(address, 1)) return "flash";
  return "other";
}

uint64_t PeekValueOf(const std::vector<uint8_t>& bytes, size_t at) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8 && at + i < bytes.size(); ++i) v |= uint64_t(bytes[at + i]) << (8 * i);
  return v;
}

bool Reads(const Access& a, unsigned width, uint64_t address) {
  return !a.write && a.width == width && a.address == address &&
         (a.kind == AccessKind::Memory || a.kind == AccessKind::Mmio);
}

// What the access log shows of the driver's flash look-ups and DRUX walks.
struct Observed {
  uint64_t directoryChecks = 0;  // reads that found the entry table's signature
  struct Found {
    uint64_t entry, typeWord, source, destination;
    uint32_t size;
  };
  std::vector<Found> found;  // BIOS directory entries returned, in order
  std::map<uint64_t, uint64_t> walks;  // block address -> walks
  std::vector<uint64_t> order;         // blocks in the order first walked
  std::set<uint64_t> pastSize;         // blocks a walk read on from (the size gave entries)
};

Observed Observe(Platform& p) {
  Observed o;
  const auto& log = p.hardware().Log();
  const FlashImage* flash = p.hardware().Flash();
  for (size_t i = 0; i < log.size(); ++i) {
    const Access& a = log[i];
    if (a.write) continue;
    if (a.width == 4 && a.value == kFirmwareEntryTableSignature && flash && flash->Contains(a.address, 4))
      for (uint64_t at : kFirmwareEntryTableAddresses) o.directoryChecks += at == a.address;
    // An entry the lookup returns: its type word, size, source and destination, read in a row.
    if (i + 3 < log.size() && a.width == 4 && flash && flash->Contains(a.address, sizeof(BiosDirectoryEntry)) &&
        Reads(log[i + 1], 4, a.address + 4) && Reads(log[i + 2], 8, a.address + 8) &&
        Reads(log[i + 3], 8, a.address + 16)) {
      o.found.push_back({a.address, a.value, log[i + 2].value, log[i + 3].value, uint32_t(log[i + 1].value)});
      i += 3;
      continue;
    }
    // A walk of a block the driver can be sent to (one the DRUX information HOB
    // names, or a copy an entry 0x63 returned so far) begins with its size
    // field; the version follows only when the size gives entries (not 0 or
    // erased, and not taking the block past the flash's end or the top of the
    // address space).
    if (a.address >= offsetof(DruxBlockHeader, Size) && Reads(a, 4, a.address)) {
      const uint64_t block = a.address - offsetof(DruxBlockHeader, Size);
      bool candidate = false;
      for (const HobDesc& h : p.scenario().hobs)
        if (GuidEqual(h.name, kDruxInfoHobGuid) && h.data.size() >= sizeof(DruxInfo))
          candidate |= PeekValueOf(h.data, offsetof(DruxInfo, DruxAddr)) == block;
      for (const auto& f : o.found) candidate |= uint8_t(BiosEntryTypeWord::Type::Get(f.typeWord)) == kBiosEntryDruxCopy && f.source == block;
      if (!candidate) continue;
      if (o.walks[block]++ == 0) o.order.push_back(block);
      if (i + 1 < log.size() && Reads(log[i + 1], 4, block + offsetof(DruxBlockHeader, Version))) o.pastSize.insert(block);
    }
  }
  return o;
}

DruxWalk WalkAt(Platform& p, const Observed& o, uint64_t block) {
  DruxWalk w = WalkDruxBlock([&](uint64_t offset, unsigned bytes) { return PeekValue(p, block + offset, bytes); });
  // A size the driver read no further after gave no entries, whatever its value.
  if (!o.pastSize.count(block)) {
    w.sizeValid = false;
    w.entries.clear();
  }
  return w;
}

}  // namespace

void ChipSelectJson(Platform& platform, uint64_t address, uint64_t count, json& table) {
  table["readable"] = platform.memory().Contains(address, sizeof(ChipSelectTable));
  if (!table["readable"]) return;
  const auto bytes = platform.memory().ReadBytes(address, sizeof(ChipSelectTable));
  const uint64_t shown = std::min<uint64_t>(count, kChipSelectTableEntries);
  bool restZero = true;
  json entries = json::array();
  for (size_t i = 0; i < bytes.size(); ++i)
    if ((i >= 16 * shown || i % 16 >= offsetof(ChipSelectEntry, Reserved)) && bytes[i] != 0) restZero = false;
  for (uint64_t i = 0; i < shown; ++i) {
    ChipSelectEntry e;
    std::memcpy(&e, bytes.data() + 16 * i, sizeof e);
    entries.push_back({{"sequence", e.Sequence}, {"socket", e.Socket}, {"die", e.Die}, {"channel", e.Channel},
                       {"dimm", e.Dimm}, {"rank", e.Rank}});
  }
  table["rest_zero"] = restZero;
  table["entries"] = entries;
}

std::string DruxText(Platform& platform) {
  const Observed o = Observe(platform);
  std::ostringstream out;
  out << "Flash look-ups and DRUX walks\n";
  out << "  Directory checks  " << o.directoryChecks << " (each look-up finds the entry table and checks the directories)\n";
  out << "  Entries returned  " << (o.found.empty() ? "none" : std::to_string(o.found.size())) << "\n";
  if (!o.found.empty()) {
    out << "       #  Type  Entry at    Size        Source              Destination\n";
    for (size_t i = 0; i < o.found.size(); ++i) {
      const auto& f = o.found[i];
      out << "    " << Pad(std::to_string(i + 1), 4, true) << "  " << HexText(BiosEntryTypeWord::Type::Get(f.typeWord), 2) << "  "
          << HexText(f.entry, 8) << "  " << HexText(f.size, 8) << "  " << HexText(f.source, 16) << "  "
          << HexText(f.destination, 16) << "\n";
    }
  }
  uint64_t walks = 0;
  for (const auto& [block, n] : o.walks) walks += n;
  out << "  DRUX walks        " << (walks == 0 ? "none" : std::to_string(walks)) << "\n";
  for (uint64_t block : o.order) {
    const DruxWalk w = WalkAt(platform, o, block);
    out << "    Block at " << HexText(block, 8) << " (" << Where(platform, block) << "), walked " << o.walks.at(block)
        << " times: signature " << HexText(w.signature, 8) << (w.signature == kDruxSignature ? " (DRUX)" : "")
        << ", version " << w.version << ", size " << HexText(w.size, 8)
        << (w.sizeValid ? "" : " (invalid: no entries)") << ", first entry at " << HexText(w.firstOffset) << "\n";
    if (w.entries.empty()) continue;
    out << "      Offset      Group       Type        Instance    Size\n";
    for (const DruxWalkedEntry& e : w.entries)
      out << "      " << HexText(e.offset, 8) << "  " << HexText(e.header.GroupID, 8) << "  "
          << HexText(e.header.TypeId, 8) << "  " << HexText(e.header.Instance, 8) << "  "
          << HexText(e.header.EntrySize, 8) << (e.listed ? "" : "  (the walk ends here: size outside the block)")
          << "\n";
  }
  return out.str();
}

json DruxJson(Platform& platform) {
  const Observed o = Observe(platform);
  json found = json::array();
  for (const auto& f : o.found) {
    json e = {{"type", BiosEntryTypeWord::Type::Get(f.typeWord)}, {"size", f.size}};
    Put(e, "entry", f.entry, 8);
    Put(e, "type_word", f.typeWord, 8);
    Put(e, "source", f.source, 16);
    Put(e, "destination", f.destination, 16);
    found.push_back(e);
  }
  json walks = json::array();
  for (uint64_t block : o.order) {
    const DruxWalk w = WalkAt(platform, o, block);
    json b = {{"where", Where(platform, block)}, {"walks", o.walks.at(block)}, {"version", w.version},
              {"size_valid", w.sizeValid}, {"first_offset", w.firstOffset}};
    Put(b, "address", block, 16);
    Put(b, "signature", w.signature, 8);
    Put(b, "size", w.size, 8);
    json entries = json::array();
    for (const DruxWalkedEntry& e : w.entries)
      entries.push_back({{"offset", e.offset}, {"group", e.header.GroupID}, {"type", e.header.TypeId},
                         {"instance", e.header.Instance}, {"size", e.header.EntrySize}, {"listed", e.listed}});
    b["entries"] = entries;
    walks.push_back(b);
  }
  return {{"directory_checks", o.directoryChecks}, {"entries_returned", found}, {"walks", walks}};
}

}  // namespace sim
