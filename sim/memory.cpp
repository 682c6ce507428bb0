#include "sim/memory.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

PhysicalMemory& PhysicalMemory::Instance() {
  static PhysicalMemory memory;
  return memory;
}

PhysicalMemory::PhysicalMemory() {
  void* p = mmap(reinterpret_cast<void*>(kDramBase), kDramSize, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED || p != reinterpret_cast<void*>(kDramBase)) {
    std::fprintf(stderr, "virtual platform: cannot map DRAM at 0x%llx in this process\n",
                 static_cast<unsigned long long>(kDramBase));
    std::abort();
  }
  base_ = static_cast<uint8_t*>(p);
}

void PhysicalMemory::Reset() {
  // Dropping the pages zeroes them at the cost of the pages a boot touched,
  // not of the whole window.
  if (madvise(base_, kDramSize, MADV_DONTNEED) != 0) std::memset(base_, 0, kDramSize);
  firmwareNext_ = kDramBase;
  poolNext_ = kPoolBase;
}

std::vector<uint8_t> PhysicalMemory::ReadBytes(uint64_t address, uint64_t length) const {
  std::vector<uint8_t> out(length, 0xFF);
  if (length != 0 && Contains(address, length)) std::memcpy(out.data(), Host(address), length);
  return out;
}

void PhysicalMemory::WriteBytes(uint64_t address, const void* data, uint64_t length) {
  if (length != 0 && Contains(address, length)) std::memcpy(Host(address), data, length);
}

static uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) & ~(a - 1); }

uint64_t PhysicalMemory::FirmwareAlloc(uint64_t size) {
  uint64_t at = AlignUp(firmwareNext_, 16);
  if (size > kFirmwareRegionSize || at + size > kDramBase + kFirmwareRegionSize) return 0;
  firmwareNext_ = at + size;
  std::memset(Host(at), 0, size);
  return at;
}

uint64_t PhysicalMemory::PoolAlloc(uint64_t size) {
  // Guard bytes before and after the block keep neighbours apart and show a
  // write outside it.
  uint64_t at = AlignUp(poolNext_, 16) + kPoolGuardSize;
  if (size > kDramSize || at + size + kPoolGuardSize > kDramBase + kDramSize) return 0;
  poolNext_ = at + size + kPoolGuardSize;
  std::memset(Host(at - kPoolGuardSize), kPoolGuardByte, kPoolGuardSize);
  std::memset(Host(at), kFreshPoolByte, size);
  std::memset(Host(at + size), kPoolGuardByte, kPoolGuardSize);
  return at;
}

}  // namespace sim
