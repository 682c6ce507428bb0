// Little-endian loads and stores of an access's own width, for the models that
// keep bytes (DRAM, configuration space): a copy of a run-time length into a
// local costs a stalled load after it, a load of the access's width does not.
#pragma once
#include <cstdint>
#include <cstring>

namespace sim {

inline uint64_t AllOnes(uint8_t width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

inline uint64_t LoadLe(const uint8_t* p, uint8_t width) {
  switch (width) {
    case 1: return *p;
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    case 8: { uint64_t v; std::memcpy(&v, p, 8); return v; }
  }
  uint64_t v = 0;
  std::memcpy(&v, p, width > 8 ? 8 : width);
  return v;
}

inline void StoreLe(uint8_t* p, uint8_t width, uint64_t value) {
  switch (width) {
    case 1: *p = uint8_t(value); return;
    case 2: { const uint16_t v = uint16_t(value); std::memcpy(p, &v, 2); return; }
    case 4: { const uint32_t v = uint32_t(value); std::memcpy(p, &v, 4); return; }
    case 8: std::memcpy(p, &value, 8); return;
  }
  std::memcpy(p, &value, width > 8 ? 8 : width);
}

}  // namespace sim
