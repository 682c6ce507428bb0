#include "psp/drux.h"

#include "diag/debug_print.h"
#include "diag/trap.h"
#include "platform/hw.h"
#include "platform/probes.h"
#include "psp/flash.h"

namespace {

constexpr uint8_t kSleepTypeS3 = 3;

// Where a block may lie: the flash's copy anywhere below the flash window's end
// at 4 GiB (its source is not required to lie in the window), a block in
// memory anywhere below the top of the address space. The header and the block
// as its size gives it are cut from the space.
constexpr PhysRegion kDruxCopySpace(0, kFlashWindow.Base() + kFlashWindow.Size());
constexpr PhysRegion kMemorySpace(0, UINT64_MAX);

// A listed entry's header: it lay in the block when the walk listed it.
PhysRegion ListedEntry(const DruxEntry* entry) { return PhysRegion(hw::PtrToPhys(entry), sizeof(DruxEntry)); }

// Where the block lies: the flash copy on an S3 resume or with a capsule update
// pending, else where the information HOB says. `spaceSize` (of the space the
// block is cut from, which starts at 0) is left as it is for a block in memory.
EfiStatus DruxBlockLocate(uint64_t* block, uint64_t* spaceSize) {
  if (GetSleepType() == kSleepTypeS3 || VyrCapsuleGetStatus()) {
    BiosDirectoryEntry copy;
    if (!BiosDirectoryEntryLookup(kBiosEntryDruxCopy, &copy)) {
      DebugPrint(kDebugLevelPsp, "DRUX NV Entry not found\n");
      return EFI_NOT_FOUND;
    }
    *block = copy.Source;
    *spaceSize = kDruxCopySpace.Size();
    return EFI_SUCCESS;
  }
  DruxInfo* info = nullptr;
  const EfiStatus status = DruxInfoGet(&info);
  if (EfiError(status)) {
    DebugPrint(kDebugLevelPsp, "DRUXLIB Info data uninitialized\n");
    return status;
  }
  if (info->Supported == 0) {
    DebugPrint(kDebugLevelPsp, "Error detected in the DRUX DATA\n");
    return EFI_UNSUPPORTED;
  }
  DebugPrint(kDebugLevelPsp, "DruxInfoPtr %x Supported %x DruxAddr %x DruxSize %x\n", info, info->Supported,
             info->DruxAddr, info->DruxSize);
  *block = info->DruxAddr;
  return EFI_SUCCESS;
}

}  // namespace

EfiStatus DruxInfoGet(DruxInfo** info) {
  if (info == nullptr) {
    FatalTrap(kTrapDruxInfoNullOut);
    return EFI_UNSUPPORTED;
  }
  *info = nullptr;
  auto* hob = static_cast<uint8_t*>(FindFirstGuidHob(&kDruxInfoHobGuid));
  // A HOB too short for the data would have the readers run past its end.
  if (hob == nullptr || reinterpret_cast<const HobHeader*>(hob)->Length < sizeof(GuidHob) + sizeof(DruxInfo))
    return EFI_UNSUPPORTED;
  *info = reinterpret_cast<DruxInfo*>(hob + sizeof(GuidHob));
  return EFI_SUCCESS;
}

// The walk stays inside the block: an empty or erased size field gives no
// entries, and an entry whose size would not advance past its header, or that
// runs past the block's end, ends the walk without being listed. At most
// kDruxEntryListLength entries are listed.
EfiStatus VyrPspGetDruxEntry(uint32_t group, uint32_t type, uint32_t* count, DruxEntry** list) {
  if (count == nullptr || list == nullptr) return EFI_INVALID_PARAMETER;
  *count = 0;
  list[0] = nullptr;
  DebugPrint(kDebugLevelPsp, "VyrPspGetDruxEntry %x %x\n", group, type);
  uint64_t block = 0;
  uint64_t spaceSize = kMemorySpace.Size();
  const EfiStatus located = DruxBlockLocate(&block, &spaceSize);
  if (EfiError(located)) return located;
  DebugPrint(kDebugLevelPsp, "VyrPspGetDruxEntry %x %x\n", group, type);
  DebugPrint(kDebugLevelPsp, "DRUX Addr %x\n", block);

  // A block whose header, or whose bytes as its size gives them, would leave
  // its space (reach past the top of the address space, or for the flash copy
  // past the flash window's end at 4 GiB) is none.
  const PhysRegion space(0, spaceSize);
  const PhysRegion header = space.Cut(block, sizeof(DruxBlockHeader));
  const uint32_t size = header.Read32(offsetof(DruxBlockHeader, Size));
  PhysRegion entries(block, 0);  // none unless the size is valid and the first entry lies inside
  if (size != 0 && size != kDruxSizeErased && space.Holds(block, size)) {
    const uint32_t first = header.Read32(offsetof(DruxBlockHeader, Version)) < kDruxVersionWithEntryOffset
                               ? kDruxFixedEntryOffset
                               : header.Read32(offsetof(DruxBlockHeader, EntryOffset));
    entries = space.Cut(block, size).Skip(first);
  } else {
    DebugPrint(kDebugLevelPsp, "DRUX size %x: no entries\n", size);
  }

  uint32_t found = 0;
  EfiStatus status = EFI_SUCCESS;
  for (PhysRegion rest = entries; rest.Holds(0, sizeof(DruxEntry));) {
    const PhysRegion entry = rest.Cut(0, sizeof(DruxEntry));
    const uint32_t entryGroup = entry.Read32(offsetof(DruxEntry, GroupID));
    const uint32_t entryType = entry.Read32(offsetof(DruxEntry, TypeId));
    DebugPrint(kDebugLevelPsp, "DruxEntry @0x%x GroupID 0x%x TypeId 0x%x\n", entry.Base(), entryGroup, entryType);
    const uint32_t entrySize = entry.Read32(offsetof(DruxEntry, EntrySize));
    if (entrySize < sizeof(DruxEntry) || !rest.Holds(0, entrySize)) {
      DebugPrint(kDebugLevelPsp, "DruxEntry @0x%x size 0x%x leaves the block: walk ended\n", entry.Base(), entrySize);
      break;
    }
    if (entryGroup == group && entryType == type) {
      if (found == kDruxEntryListLength) {
        DebugPrint(kDebugLevelPsp, "More than %d entries: list full\n", kDruxEntryListLength);
        status = EFI_BUFFER_TOO_SMALL;
        break;
      }
      list[found++] = static_cast<DruxEntry*>(hw::PhysToPtr(entry.Base()));
      DebugPrint(kDebugLevelPsp, "Type found @0x%x\n", entry.Base());
    }
    rest = rest.Skip(entrySize);
  }
  *count = found;
  DebugPrint(kDebugLevelPsp, "Total  %d entries found\n", found);
  if (EfiError(status)) return status;
  return found != 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EfiStatus VyrPspGetDruxEntryInstance(uint32_t group, uint32_t type, uint32_t instance, uint64_t,
                                     DruxEntry** entry) {
  if (entry != nullptr) *entry = nullptr;
  DebugPrint(kDebugLevelPsp, "VyrPspGetDruxEntryInstance %x %x %x\n", group, type, instance);
  DruxEntry* list[kDruxEntryListLength];
  uint32_t count = 0;
  // An overfull list may hide a second entry with the instance: no answer from it.
  if (VyrPspGetDruxEntry(group, type, &count, list) == EFI_BUFFER_TOO_SMALL) return EFI_BUFFER_TOO_SMALL;
  if (count == 0) {
    DebugPrint(kDebugLevelPsp, "No entry found\n");
    return EFI_NOT_FOUND;
  }
  uint32_t matches = 0;
  DruxEntry* match = nullptr;
  for (uint32_t i = 0; i < count; ++i)
    if (ListedEntry(list[i]).Read32(offsetof(DruxEntry, Instance)) == instance) {
      ++matches;
      match = list[i];
    }
  if (matches > 1) {
    FatalTrap(kTrapDruxInstanceDuplicate);
    return EFI_UNSUPPORTED;
  }
  if (matches == 0) return EFI_NOT_FOUND;
  DebugPrint(kDebugLevelPsp, "Instance found @0x%x\n", match);
  if (entry != nullptr) *entry = match;
  return EFI_SUCCESS;
}

void DruxHobInfoInit() {
  DebugPrint(kDebugLevelPsp, "Init DRUX HOB Info struct\n");
  BiosDirectoryEntry entry;
  if (!BiosDirectoryEntryLookup(kBiosEntryDrux, &entry)) {
    DebugPrint(kDebugLevelPsp, "DRUX Entry not found\n");
    return;
  }
  const uint64_t block = entry.Destination;
  DebugPrint(kDebugLevelPsp, "DRUX Addr %x\n", block);
  const PhysRegion header = kMemorySpace.Cut(block, sizeof(DruxBlockHeader));
  if (header.Read32(offsetof(DruxBlockHeader, Signature)) != kDruxSignature) {
    DebugPrint(kDebugLevelPsp, "DRUX SIG Check fail, DRUX is not supported\n");
    return;
  }
  const uint32_t size = header.Read32(offsetof(DruxBlockHeader, Size));
  if (size == 0) FatalTrap(kTrapDruxSizeZero);
  if (size == kDruxSizeErased) FatalTrap(kTrapDruxSizeErased);
  if (size == 0 || size == kDruxSizeErased) {
    DebugPrint(kDebugLevelPsp, "DRUX Size Check fail\n");
    return;
  }
  DebugPrint(kDebugLevelPsp, "DRUX HOB Build fail\n");
}
