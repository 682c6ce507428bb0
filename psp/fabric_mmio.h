// The fabric MMIO allocator: divides the MMIO space below and above 4 GiB among
// the fabric's sockets and dies and hands out ranges from each die's region.
// Its state lives in the shared heap buffer kHeapHandleFabricMmioState, so every
// driver of the package (and the earlier boot phase) continues the same split.
// Ranges are never given back.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "platform/access.h"
#include "platform/register.h"
#include "uefi/base.h"

// One region: ranges are taken downward from the top (small ones) and upward
// from the bottom (16 MiB or more). All fields zero: an empty region. Aligned
// to 4 like the 524-byte state that holds sixteen of them.
#pragma pack(push, 4)
struct MmioRegion {
  uint64_t Base;
  uint64_t Size;
  uint64_t UsedFromTop;
  uint64_t UsedFromBottom;
};
#pragma pack(pop)
static_assert(sizeof(MmioRegion) == 32 && alignof(MmioRegion) == 4 && offsetof(MmioRegion, Size) == 8 &&
              offsetof(MmioRegion, UsedFromTop) == 16 && offsetof(MmioRegion, UsedFromBottom) == 24);

// Slot index = socket x 4 + die. A spare region occupies a slot that has no
// die of its own; its slot byte is socket << 4 | die.
constexpr uint32_t kFabricMmioSlots = 8;
#pragma pack(push, 4)
struct FabricMmioState {
  MmioRegion AboveRegion[kFabricMmioSlots];
  MmioRegion BelowRegion[kFabricMmioSlots];
  uint8_t BelowEnabled[kFabricMmioSlots];
  uint8_t BelowSparePresent;
  uint8_t BelowSpareSlot;
  uint8_t AboveSparePresent;
  uint8_t AboveSpareSlot;
};
#pragma pack(pop)
static_assert(sizeof(FabricMmioState) == 524 && offsetof(FabricMmioState, BelowRegion) == 256 &&
              offsetof(FabricMmioState, BelowEnabled) == 512 && offsetof(FabricMmioState, BelowSparePresent) == 520 &&
              offsetof(FabricMmioState, BelowSpareSlot) == 521 &&
              offsetof(FabricMmioState, AboveSparePresent) == 522 && offsetof(FabricMmioState, AboveSpareSlot) == 523);

constexpr uint8_t kHeapPersistFabricMmioState = 4;

// A request's target: BySocketDie set names Socket and Die; clear, Bus names
// a PCI bus that the fabric's bus-range map leads to a die.
struct FabricTarget {
  using Bus = reg::Field<uint16_t, 7, 0>;
  using Socket = reg::Field<uint16_t, 9, 8>;
  using Die = reg::Field<uint16_t, 12, 10>;
  using BySocketDie = reg::Field<uint16_t, 15, 15>;
};
constexpr uint16_t kFabricTargetBySocketDie = FabricTarget::BySocketDie::kMask;
constexpr uint16_t FabricTargetSocketDie(uint16_t socket, uint16_t die) {
  return uint16_t(kFabricTargetBySocketDie | FabricTarget::Socket::Of(socket) | FabricTarget::Die::Of(die));
}

// MmioAttribute: bits 7:6 the request type; bits 1:0 set and 3:2 cleared on success.
constexpr uint8_t kMmioTypeBelow4G = 0;
constexpr uint8_t kMmioTypeAbove4G = 1;
constexpr uint8_t MmioAttributeType(uint8_t attribute) { return attribute >> 6; }

// The split's constants.
constexpr uint64_t kBelowSharedEnd = PciConfigBase;  // the PCI configuration space starts here
constexpr uint64_t kBelowFirstDieBase = 0xFE000000, kBelowFirstDieSize = 0xB00000;
constexpr uint64_t kAboveLowestStart = 0x10000000000;
constexpr uint64_t kAboveSpareEnd = 0xFD00000000;
constexpr uint64_t kAboveTopLow = 0x7FD00000000, kAboveTopHigh = 0xFFFD00000000;
constexpr uint64_t kMmioGranularity = 0x1000000;  // the split's unit; requests this big are taken bottom-up
constexpr uint64_t kMmioSmallest = 0x10000;
// The build's die mask: bit (socket x die count + die) enables below-4 GiB ranges for that die.
constexpr uint32_t PcdVyrAllocateMmioBelow4GOnSocketN = 0xFFF;

// The die count: consecutive die-present bits from bit 0 (0 to 4).
uint8_t FabricDieCount();
// Splits the space into a zero-filled state. EFI_ABORTED, writing nothing, when
// the fabric reports no die or TopMem leaves no below-4 GiB space to share.
EfiStatus FabricMmioStateInit(FabricMmioState* state);
// The base of a new range of `length` bytes; the caller has checked the free space.
uint64_t MmioRegionTake(MmioRegion* region, uint64_t length);
// Free bytes of a region; 0 for a region whose usage exceeds its size.
uint64_t MmioRegionFree(const MmioRegion& region);
// A range for the target die: 0, EFI_ABORTED or EFI_OUT_OF_RESOURCES (Base 0,
// Length the biggest free space found).
EfiStatus FabricAddMmioMap(uint64_t* base, uint64_t* length, uint16_t target, uint8_t* attribute);
