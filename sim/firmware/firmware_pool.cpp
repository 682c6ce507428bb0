// The firmware's pool memory: allocation by type with first-fit reuse of freed
// blocks, and the guard and freed-byte checks that catch overruns, double frees
// and writes after a free.
#include "sim/firmware/firmware.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// Pool memory comes in the UEFI types below EfiConventionalMemory, the ACPI and
// MMIO types after it (but not persistent memory), and the OEM and OS ranges.
bool ValidPoolType(uint32_t type) {
  return (type < 14 && type != EfiConventionalMemory) || type >= 0x70000000u;
}
}  // namespace

const char* PoolFaultName(PoolFault::Kind kind) {
  switch (kind) {
    case PoolFault::UseAfterFree: return "use_after_free";
    case PoolFault::DoubleFree: return "double_free";
    case PoolFault::NotAllocated: return "not_allocated";
    case PoolFault::Overrun: return "overrun";
  }
  return "?";
}

// A freed block is reused first fit, by type; it is checked before it is
// handed out again.
uint64_t Firmware::AllocatePool(uint32_t type, uint64_t size, uint64_t* address) {
  ++allocationCalls_;
  steps_.AllocatePool(type, size);
  std::string detail = "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
  uint64_t status = 0;
  uint64_t at = 0;
  if (address == nullptr || !ValidPoolType(type)) status = EFI_INVALID_PARAMETER;
  else if (config_.faults.failAllocation == allocationCalls_) status = EFI_OUT_OF_RESOURCES;
  if (status == 0) {
    for (size_t i = 0; i < pool_.size() && at == 0; ++i) {
      PoolBlock& b = pool_[i];
      if (!b.freed || b.reused || b.type != type || b.size < size) continue;
      CheckBlock(i);
      b.reused = true;
      at = b.address;
      std::memset(memory_.Host(at), kFreshPoolByte, size);
      std::memset(memory_.Host(at + size), kPoolGuardByte, b.size - size + kPoolGuardSize);
    }
    if (at == 0 && (at = memory_.PoolAlloc(size)) == 0) status = EFI_OUT_OF_RESOURCES;
  }
  if (status == 0) {
    pool_.push_back({at, size, type, false, calls_.size()});
    *address = at;
    detail += " at " + HexText(at);
  }
  Log("AllocatePool", detail, status);
  return status;
}

uint64_t Firmware::PlacePool(uint32_t type, uint64_t size) {
  const uint64_t at = memory_.PoolAlloc(size);
  if (at != 0) pool_.push_back({at, size, type, false, kNoCall, false, true});
  return at;
}

// The block handed out last at an address is the one a free refers to.
uint64_t Firmware::FreePool(uint64_t address) {
  uint64_t status = EFI_INVALID_PARAMETER;
  auto it = std::find_if(pool_.rbegin(), pool_.rend(), [&](const PoolBlock& b) { return b.address == address; });
  if (it == pool_.rend()) {
    poolFaults_.push_back({PoolFault::NotAllocated, address, 0, 0, 0});
  } else if (it->freed) {
    poolFaults_.push_back({PoolFault::DoubleFree, address, it->size, 0, 0});
  } else {
    it->freed = true;
    std::memset(memory_.Host(address), kFreedPoolByte, it->size);
    status = 0;
  }
  Log("FreePool", HexText(address), status);
  return status;
}

void Firmware::CheckBlock(size_t index) {
  const PoolBlock& b = pool_[index];
  if (!b.reused && !overrunBlocks_.count(index)) {
    const uint8_t* before = memory_.Host(b.address - kPoolGuardSize);
    const uint8_t* after = memory_.Host(b.address + b.size);
    uint64_t changed = 0, first = 0;
    for (uint64_t i = 0; i < 2 * kPoolGuardSize; ++i) {
      const bool low = i < kPoolGuardSize;
      if ((low ? before[i] : after[i - kPoolGuardSize]) == kPoolGuardByte) continue;
      if (changed++ == 0) first = low ? uint64_t(int64_t(i) - int64_t(kPoolGuardSize)) : b.size + i - kPoolGuardSize;
    }
    if (changed != 0) {
      overrunBlocks_.insert(index);
      poolFaults_.push_back({PoolFault::Overrun, b.address, b.size, first, changed});
    }
  }
  if (!b.freed || b.reused || checkedBlocks_.count(index)) return;
  const uint8_t* bytes = memory_.Host(b.address);
  uint64_t first = b.size, changed = 0;
  for (uint64_t i = 0; i < b.size; ++i) {
    if (bytes[i] == kFreedPoolByte) continue;
    if (changed++ == 0) first = i;
  }
  if (changed == 0) return;
  checkedBlocks_.insert(index);
  poolFaults_.push_back({PoolFault::UseAfterFree, b.address, b.size, first, changed});
}

void Firmware::CheckPool() {
  for (size_t i = 0; i < pool_.size(); ++i) CheckBlock(i);
}

}  // namespace sim
