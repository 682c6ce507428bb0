// Shared by the fuzz targets that drive driver code on the virtual platform:
// fuzz input placed in the platform's DRAM with the memory around it poisoned,
// so the sanitizer reports any read or write the driver makes outside it.
#pragma once
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sim/machine/memory.h"

namespace fuzz {

// Bytes at a fixed DRAM address (8-aligned) for the life of the object: the
// `before` bytes below it and the `after` bytes past its end are poisoned, and
// given back to the platform when it goes.
class GuardedBytes {
 public:
  GuardedBytes(uint64_t address, const std::vector<uint8_t>& bytes, uint64_t before = 64, uint64_t after = 64)
      : low_(address - before), high_(address + bytes.size() + after) {
    sim::PhysicalMemory& memory = sim::PhysicalMemory::Instance();
    if (address % 8 != 0 || !memory.Contains(low_, high_ - low_)) std::abort();
    memory.WriteBytes(address, bytes.data(), bytes.size());
    ASAN_POISON_MEMORY_REGION(memory.Host(low_), before);
    ASAN_POISON_MEMORY_REGION(memory.Host(address + bytes.size()), after);
  }
  ~GuardedBytes() { ASAN_UNPOISON_MEMORY_REGION(sim::PhysicalMemory::Instance().Host(low_), high_ - low_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

 private:
  uint64_t low_, high_;
};

// Reads little-endian values from the front of a fuzz input; past its end, zeros.
struct Input {
  const uint8_t* data;
  size_t size;
  bool Empty() const { return size == 0; }
  uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  uint64_t Le(int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{Byte()} << (8 * i);
    return v;
  }
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> out(data, data + size);
    data += size;
    size = 0;
    return out;
  }
};

}  // namespace fuzz
