#include "sim/machine/memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

PhysicalMemory& PhysicalMemory::Instance() {
  static PhysicalMemory memory;
  return memory;
}

PhysicalMemory::PhysicalMemory() {
  // Anonymous pages: the host maps each on first use and it reads as zero.
  void* p = mmap(reinterpret_cast<void*>(kDramBase), kDramSize, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED || p != reinterpret_cast<void*>(kDramBase)) {
    std::fprintf(stderr, "virtual platform: cannot map DRAM at 0x%llx in this process\n",
                 static_cast<unsigned long long>(kDramBase));
    std::abort();
  }
  base_ = static_cast<uint8_t*>(p);
  stacks_.reserve(4);
}

SIM_BOOKKEEPING void PhysicalMemory::Touch(uint64_t address, uint64_t length) {
  if (length == 0 || address >= kDramBase + kDramSize || address + length <= kDramBase) return;
  const uint64_t first = (std::max(address, kDramBase) - kDramBase) / kDramPageSize;
  const uint64_t last = (std::min(address + length, kDramBase + kDramSize) - 1 - kDramBase) / kDramPageSize;
  for (uint64_t page = first; page <= last; ++page) touched_[page / 64] |= 1ull << (page % 64);
}

SIM_BOOKKEEPING void PhysicalMemory::AddStack(uint64_t pointer, uint64_t top) {
  if (Contains(top - 1, 1)) stacks_.push_back({pointer, top});
}

SIM_BOOKKEEPING bool PhysicalMemory::PageIsZero(uint64_t page) const {
  const uint64_t* words = reinterpret_cast<const uint64_t*>(base_ + page * kDramPageSize);
  uint64_t any = 0;
  for (uint64_t i = 0; i < kDramPageSize / 8; ++i) any |= words[i];
  return any == 0;
}

uint64_t PhysicalMemory::TouchedPages() const {
  uint64_t n = 0;
  for (uint64_t w : touched_) n += uint64_t(__builtin_popcountll(w));
  return n;
}

SIM_BOOKKEEPING void PhysicalMemory::Reset() {
  // Each stack from its lowest pointer up; frames below the lowest one seen
  // (calls that reached no platform service) written pages directly below it.
  for (const StackSpan& s : stacks_) {
    const uint64_t low = std::max(std::min(s.low, s.top - 1), kDramBase);
    Touch(low, s.top - low);
    for (uint64_t page = (low - kDramBase) / kDramPageSize; page-- > 0 && !PageIsZero(page);)
      touched_[page / 64] |= 1ull << (page % 64);
  }
  stacks_.clear();
  for (uint64_t w = 0; w < touched_.size(); ++w) {
    for (uint64_t bits = touched_[w]; bits != 0; bits &= bits - 1) {
      const uint64_t page = w * 64 + uint64_t(__builtin_ctzll(bits));
      std::memset(base_ + page * kDramPageSize, 0, kDramPageSize);
    }
    touched_[w] = 0;
  }
  firmwareNext_ = kDramBase;
  poolNext_ = kPoolBase;
}

std::vector<uint8_t> PhysicalMemory::ReadBytes(uint64_t address, uint64_t length) const {
  std::vector<uint8_t> out(length, 0xFF);
  if (length != 0 && Contains(address, length)) std::memcpy(out.data(), Host(address), length);
  return out;
}

void PhysicalMemory::WriteBytes(uint64_t address, const void* data, uint64_t length) {
  if (length == 0 || !Contains(address, length)) return;
  Touch(address, length);
  std::memcpy(Host(address), data, length);
}

static uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) & ~(a - 1); }

uint64_t PhysicalMemory::FirmwareAlloc(uint64_t size) {
  uint64_t at = AlignUp(firmwareNext_, 16);
  if (size > kFirmwareRegionSize || at + size > kDramBase + kFirmwareRegionSize) return 0;
  firmwareNext_ = at + size;
  Touch(at, size);
  std::memset(Host(at), 0, size);
  return at;
}

uint64_t PhysicalMemory::PoolAlloc(uint64_t size) {
  // Guard bytes before and after the block keep neighbours apart and show a
  // write outside it.
  uint64_t at = AlignUp(poolNext_, 16) + kPoolGuardSize;
  if (size > kDramSize || at + size + kPoolGuardSize > kDramBase + kDramSize) return 0;
  // The guards count as touched too: reset must restore them.
  Touch(poolNext_, at + size + kPoolGuardSize - poolNext_);
  poolNext_ = at + size + kPoolGuardSize;
  std::memset(Host(at - kPoolGuardSize), kPoolGuardByte, kPoolGuardSize);
  std::memset(Host(at), kFreshPoolByte, size);
  std::memset(Host(at + size), kPoolGuardByte, kPoolGuardSize);
  return at;
}

}  // namespace sim
