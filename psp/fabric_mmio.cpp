#include "psp/fabric_mmio.h"

#include "diag/debug_print.h"
#include "platform/access.h"
#include "platform/mem.h"
#include "platform/processor_registers.h"
#include "services/heap.h"

namespace {

constexpr uint64_t RoundToGranule(uint64_t value) { return value & ~(kMmioGranularity - 1); }

// The record a slot byte (socket << 4 | die) names; a byte from a damaged state
// still names one of the eight.
constexpr uint32_t SlotIndex(uint8_t slot) { return ((slot >> 4) & 1) * 4 + (slot & 3); }
constexpr uint8_t SlotByte(uint32_t index) { return uint8_t(((index / 4) << 4) | (index % 4)); }

// The state under its handle, or a new one split now. Null when a state found
// is too small to be one, or none can be made: the fabric reports no die, TopMem
// leaves nothing to share, or the heap has no room. Nothing is created then.
FabricMmioState* StateLocateOrCreate() {
  HeapLocateRequest found = {kHeapHandleFabricMmioState, 0, nullptr};
  if (HeapLocateBuffer(&found) == kHeapSuccess)
    return found.Size >= sizeof(FabricMmioState) ? static_cast<FabricMmioState*>(found.Data) : nullptr;
  FabricMmioState fresh;
  MemZero(&fresh, sizeof fresh);
  if (FabricMmioStateInit(&fresh) != EFI_SUCCESS) return nullptr;
  HeapAllocateRequest request = {sizeof(FabricMmioState), kHeapHandleFabricMmioState, kHeapPersistFabricMmioState,
                                 nullptr};
  if (HeapAllocateBuffer(&request) != kHeapSuccess) return nullptr;
  MemCopy(request.Data, &fresh, sizeof fresh);
  return static_cast<FabricMmioState*>(request.Data);
}

// The die a target names, as a slot index; false when a bus lies in no valid range.
bool TargetSlot(uint16_t target, uint32_t* slot) {
  using Range = FabricBusRange;
  using To = FabricDestination;
  uint8_t destination;
  if (FabricTarget::BySocketDie::IsSet(target)) {
    // Socket and die keep their target widths here: a die number of 4 to 7
    // spills into the socket bit.
    destination = uint8_t((FabricTarget::Socket::Get(target) << To::Socket::kLsb) |
                          (FabricTarget::Die::Get(target) << To::Die::kLsb) | To::kRootComponent);
  } else {
    const uint32_t bus = FabricTarget::Bus::Get(target);
    uint32_t i = 0;
    for (; i < Range::kCount; ++i) {
      const uint32_t range = FabricConfigRead(0, 0, Range::kFunction, Range::kAt + Range::kStride * i);
      if (Range::Enable::Get(range) == Range::Enable::kMax && Range::BusBase::Get(range) <= bus &&
          bus <= Range::BusLimit::Get(range)) {
        destination = uint8_t(Range::Destination::Get(range));
        break;
      }
    }
    if (i == Range::kCount) return false;
  }
  *slot = To::Socket::Get(destination) * 4 + To::Die::Get(destination);
  return true;
}

}  // namespace

uint8_t FabricDieCount() {
  const uint32_t present =
      FabricSystemConfig::DiePresent::Get(FabricConfigRead(0, 0, FabricSystemConfig::kFunction, FabricSystemConfig::kAt));
  return uint8_t(__builtin_ctz(present + 1));
}

EfiStatus FabricMmioStateInit(FabricMmioState* state) {
  const uint32_t config = FabricConfigRead(0, 0, FabricSystemConfig::kFunction, FabricSystemConfig::kAt);
  const uint32_t sockets = FabricSystemConfig::SecondSocket::IsSet(config) ? 2 : 1;
  const uint32_t dies = FabricDieCount();
  const uint64_t topMem = MsrRead(MsrTopMem::kAt);
  // No die to give space to, or no space below the configuration space.
  if (dies == 0 || topMem >= kBelowSharedEnd) return EFI_ABORTED;
  // Slot order is socket-major order. The state is zero-filled, so only bases
  // and sizes are written.
  const auto present = [&](uint32_t slot) { return slot / 4 < sockets && slot % 4 < dies; };

  // Below 4 GiB: socket 0, die 0 always, every other die its mask bit allows.
  uint32_t enabled = 0, lastSlot = 0, select = 0;
  for (uint32_t slot = 0; slot < kFabricMmioSlots; ++slot) {
    if (!present(slot)) continue;
    if (slot == 0 || ((PcdVyrAllocateMmioBelow4GOnSocketN >> (slot / 4 * dies + slot % 4)) & 1)) {
      state->BelowEnabled[slot] = 1;
      ++enabled;
      lastSlot = slot;
    }
    select |= FabricConfigRead(slot / 4, slot % 4, FabricAboveTopSelect::kFunction, FabricAboveTopSelect::kAt);
  }
  state->BelowRegion[0].Base = kBelowFirstDieBase;
  state->BelowRegion[0].Size = kBelowFirstDieSize;
  const uint64_t space = kBelowSharedEnd - topMem;
  // Many dies share the space among those other than (0, 0); few leave its
  // top as a spare region for socket 0, die 0 to spill into.
  const uint32_t parts = enabled >= 4 ? enabled - 1 : enabled;
  const uint64_t share = RoundToGranule(space / parts);
  uint64_t last = space - (parts - 1) * share;
  if (enabled < 4) {
    uint32_t slot = 0;
    while (state->BelowEnabled[slot]) ++slot;  // at most three of the eight are enabled
    state->BelowRegion[slot].Base = kBelowSharedEnd - last;
    state->BelowRegion[slot].Size = last;
    state->BelowSpareSlot = SlotByte(slot);
    state->BelowSparePresent = 1;
    last = share;
  }
  uint64_t at = topMem;
  for (uint32_t slot = 1; slot < kFabricMmioSlots; ++slot) {
    if (!state->BelowEnabled[slot]) continue;
    const uint64_t size = slot == lastSlot ? last : share;
    state->BelowRegion[slot].Base = at;
    state->BelowRegion[slot].Size = size;
    at += size;
  }

  // Above 4 GiB: every present die, from the second top of memory (1 TiB at
  // least) to the top the fabric selects; nothing when that top is not above it.
  const uint64_t topMem2 = MsrRead(MsrTopMem2::kAt);
  const uint64_t start = topMem2 > kAboveLowestStart ? topMem2 : kAboveLowestStart;
  const uint64_t top = FabricAboveTopSelect::LowerTop::IsSet(select) ? kAboveTopLow : kAboveTopHigh;
  const uint64_t above = top > start ? top - start : 0;
  const uint32_t count = sockets * dies;
  const uint64_t aboveShare = RoundToGranule(above / count);
  at = start;
  for (uint32_t slot = 0; slot < kFabricMmioSlots; ++slot) {
    if (!present(slot)) continue;
    const uint64_t size = slot == (sockets - 1) * 4 + dies - 1 ? above - (count - 1) * aboveShare : aboveShare;
    state->AboveRegion[slot].Base = at;
    state->AboveRegion[slot].Size = size;
    at += size;
  }
  if (topMem2 < kAboveSpareEnd && count < kFabricMmioSlots) {
    // The spare lies above 4 GiB even when TopMem2 shows no memory there.
    const uint64_t spareBase = topMem2 > 0x100000000 ? topMem2 : 0x100000000;
    const uint32_t slot = dies == 4 ? 4 : dies;
    state->AboveRegion[slot].Base = spareBase;
    state->AboveRegion[slot].Size = kAboveSpareEnd - spareBase;
    state->AboveSpareSlot = SlotByte(slot);
    state->AboveSparePresent = 1;
  }
  return EFI_SUCCESS;
}

// Out of line: the request and its spill into the spare region share one copy.
__attribute__((noinline)) uint64_t MmioRegionFree(const MmioRegion& region) {
  const uint64_t bottom = region.UsedFromBottom, top = region.UsedFromTop;
  return bottom <= region.Size && top <= region.Size - bottom ? region.Size - bottom - top : 0;
}

uint64_t MmioRegionTake(MmioRegion* region, uint64_t length) {
  if (length >= kMmioGranularity) {
    const uint64_t base = region->Base + region->UsedFromBottom;
    region->UsedFromBottom += length;
    return base;
  }
  region->UsedFromTop += length;
  return region->Base + region->Size - region->UsedFromTop;
}

EfiStatus FabricAddMmioMap(uint64_t* base, uint64_t* length, uint16_t target, uint8_t* attribute) {
  DebugPrint(kDebugLevelMmio, "WEX FabricAddMmioMap\n");
  FabricMmioState* state = StateLocateOrCreate();
  if (state == nullptr) return EFI_ABORTED;
  if (*length == 0) return EFI_SUCCESS;
  if (*length < kMmioSmallest) *length = kMmioSmallest;
  uint32_t slot;
  if (!TargetSlot(target, &slot)) return EFI_ABORTED;
  const uint8_t type = MmioAttributeType(*attribute);
  if (type <= kMmioTypeAbove4G) {
    const bool below = type == kMmioTypeBelow4G;
    if (below && !state->BelowEnabled[slot]) {
      DebugPrint(kDebugLevelMmio,
                 "  ERROR: KAVRO try to set MMIO for Socket %X Die %X, but seems MMIO allocation has been disabled for "
                 "this DIE by PcdVyrAllocateMmioBelow4GOnSocketN\n",
                 slot / 4, slot % 4);
      return EFI_ABORTED;
    }
    MmioRegion* regions = below ? state->BelowRegion : state->AboveRegion;
    MmioRegion* from = &regions[slot];
    uint64_t biggest = MmioRegionFree(*from);
    // Only socket 0, die 0 may spill into the spare region.
    if (biggest < *length && slot == 0 && (below ? state->BelowSparePresent : state->AboveSparePresent)) {
      MmioRegion* spare = &regions[SlotIndex(below ? state->BelowSpareSlot : state->AboveSpareSlot)];
      const uint64_t spareFree = MmioRegionFree(*spare);
      if (spareFree >= *length) from = spare;
      else if (spareFree > biggest) biggest = spareFree;
    }
    if (from == &regions[slot] && biggest < *length) {
      *base = 0;
      *length = biggest;
      DebugPrint(kDebugLevelMmio, "  No enough space, the biggest MMIO size is 0x%X0000\n", biggest >> 16);
      return EFI_OUT_OF_RESOURCES;
    }
    *base = MmioRegionTake(from, *length);
  }
  *attribute = uint8_t((*attribute & 0xF3) | 3);
  if (type != 2)
    DebugPrint(kDebugLevelMmio, "  Successfully Allocate MMIO at 0x%X0000 ~ 0x%XFFFF\n", *base >> 16,
               uint32_t((*base + *length) >> 16) - 1);
  return EFI_SUCCESS;
}
