#include "sim/machine/bus.h"

namespace sim {

// Bytes a scenario placed answer as stored (a byte of the access not placed
// reads as ones); an access that meets none of them meets nothing.
uint64_t Bus::ReadPlaced(uint64_t address, uint8_t width) {
  uint64_t v = 0;
  bool placed = false;
  for (int i = 0; i < width; ++i) {
    auto it = placed_.find(address + i);
    placed |= it != placed_.end();
    v |= uint64_t(it == placed_.end() ? 0xFF : it->second) << (8 * i);
  }
  if (!placed) NoteNothing(address, width, false);
  return v;
}

void Bus::WritePlaced(uint64_t address, uint8_t width, uint64_t value) {
  bool placed = false;
  for (int i = 0; i < width; ++i) {
    auto it = placed_.find(address + i);
    if (it == placed_.end()) continue;
    placed = true;
    it->second = uint8_t(value >> (8 * i));
  }
  if (!placed) NoteNothing(address, width, true);
}

void Bus::NoteNothing(uint64_t address, uint8_t width, bool write) {
  ++nothingTotal_;
  for (NothingAccess& n : nothing_) {
    if (n.address == address && n.width == width && n.write == write) {
      ++n.count;
      return;
    }
  }
  if (nothing_.size() < kNothingPlaces) nothing_.push_back({address, width, write, 1});
}

}  // namespace sim
