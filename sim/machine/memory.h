// Physical memory of the virtual platform: a DRAM window mapped at its own
// physical address in the host process, so addresses the firmware hands to the
// driver are the same numbers on both sides.
//
// The window's pages are mapped lazily by the host and read as zero until
// written. A platform resets it by zeroing only what the previous boot touched:
// the pages written through this class (its allocators and writers, or Touch),
// and the stacks the driver and the platform ran on (NoteStack).
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/common/address_map.h"

// The platform's own bookkeeping, run on every access the driver makes (the
// access log, the stacks seen, the reset's page scans): no fuzzer learns
// anything from its branches, and tracing them was a large part of what each
// fuzz execution cost, so the coverage instrumentation leaves it out.
#define SIM_BOOKKEEPING __attribute__((no_sanitize("coverage")))

namespace sim {

constexpr uint64_t kFirmwareRegionSize = 1ull << 20;  // firmware's own structures at the start
constexpr uint64_t kStackBase = kDramBase + kFirmwareRegionSize;  // the stack the driver runs on
constexpr uint64_t kStackSize = 1ull << 20;
constexpr uint64_t kPoolBase = kStackBase + kStackSize;
constexpr uint8_t kFreshPoolByte = 0xAF;           // new pool blocks are not zero
constexpr uint8_t kFreedPoolByte = 0xDF;
constexpr uint64_t kDramPageSize = 4096;
// Guard bytes on both sides of every pool block: a write outside a block shows.
constexpr uint8_t kPoolGuardByte = 0xFD;
constexpr uint64_t kPoolGuardSize = 16;

class PhysicalMemory {
 public:
  // Maps the window on first use; the process keeps it for its life.
  static PhysicalMemory& Instance();

  // Back to all zero: zeroes the pages touched since the last reset.
  void Reset();
  bool Contains(uint64_t address, uint64_t length) const {
    return address >= kDramBase && length <= kDramSize && address - kDramBase <= kDramSize - length;
  }
  uint8_t* Host(uint64_t address) { return base_ + (address - kDramBase); }
  const uint8_t* Host(uint64_t address) const { return base_ + (address - kDramBase); }

  template <class T>
  T Read(uint64_t address) const {
    T v{};
    if (Contains(address, sizeof(T))) std::memcpy(&v, Host(address), sizeof(T));
    return v;
  }
  template <class T>
  void Write(uint64_t address, T value) {
    if (!Contains(address, sizeof(T))) return;
    Touch(address, sizeof(T));
    std::memcpy(Host(address), &value, sizeof(T));
  }
  std::vector<uint8_t> ReadBytes(uint64_t address, uint64_t length) const;
  void WriteBytes(uint64_t address, const void* data, uint64_t length);

  // Bump allocation in the firmware's own region (tables, handles, events); 0
  // when the region is full.
  uint64_t FirmwareAlloc(uint64_t size);
  // Bump allocation in the pool region; 0 when the window is full.
  uint64_t PoolAlloc(uint64_t size);

  // Whoever writes through Host() says so here, so the next reset undoes it.
  void Touch(uint64_t address, uint64_t length);
  // A stack pointer seen on a stack that grows down from `top`. The reset zeroes
  // each stack from the lowest pointer seen on it (and any written pages
  // directly below, frames deeper than the last one seen) up to its top.
  SIM_BOOKKEEPING void NoteStack(uint64_t pointer, uint64_t top) {
    if (pointer >= top || pointer < kDramBase) return;  // not on that stack
    for (StackSpan& s : stacks_) {
      if (s.top == top) {
        if (pointer < s.low) s.low = pointer;
        return;
      }
    }
    AddStack(pointer, top);
  }
  // Pages the next reset will zero; for figures and tests.
  uint64_t TouchedPages() const;

 private:
  static constexpr uint64_t kPages = kDramSize / kDramPageSize;
  struct StackSpan {
    uint64_t low, top;
  };
  PhysicalMemory();
  void AddStack(uint64_t pointer, uint64_t top);
  bool PageIsZero(uint64_t page) const;

  uint8_t* base_ = nullptr;
  uint64_t firmwareNext_ = kDramBase;
  uint64_t poolNext_ = kPoolBase;
  std::array<uint64_t, kPages / 64> touched_{};  // one bit per page
  std::vector<StackSpan> stacks_;
};

}  // namespace sim
