#include "psp/flash.h"

#include "diag/trap.h"
#include "platform/access.h"
#include "platform/hw.h"
#include "platform/probes.h"
#include "platform/timer.h"
#include "psp/psp_window.h"

namespace {

// The u32 at `address` in the flash window (0 when its four bytes do not all
// lie in it). Out of line: one copy of the window check serves the reads of the
// entry table and of the directories' headers.
__attribute__((noinline)) uint32_t FlashRead32(uint64_t address) { return kFlashWindow.Read32(address - kFlashWindow.Base()); }

// The directory at `address` has the magic, its entries lie in the window, and
// its checksum holds. entrySize: the bytes of one entry.
bool DirectoryValid(uint64_t address, uint32_t magic, uint64_t entrySize) {
  if (FlashRead32(address + offsetof(FlashDirectoryHeader, Magic)) != magic) return false;
  // What the checksum covers: the count, the header's rest and the entries.
  const uint64_t covered = sizeof(FlashDirectoryHeader) - kChecksumStart +
                           entrySize * FlashRead32(address + offsetof(FlashDirectoryHeader, Count));
  const uint64_t first = address + kChecksumStart;
  return kFlashWindow.HoldsAddress(first, covered) &&
         kFlashWindow.CutAt(first, covered).Fletcher32() == FlashRead32(address + offsetof(FlashDirectoryHeader, Checksum));
}

// The entry count of the directory at `directory` (a BIOS or combo directory:
// the count at offset 8 in both), or 0 when its entries do not all lie in the
// window. Out of line: the BIOS entry search and the combo resolution share it.
__attribute__((noinline)) uint32_t EntriesInWindow(uint64_t directory, uint64_t headerSize, uint64_t entrySize) {
  const uint32_t count = FlashRead32(directory + offsetof(FlashDirectoryHeader, Count));
  return kFlashWindow.HoldsAddress(directory + headerSize, uint64_t{count} * entrySize) ? count : 0;
}
// The entries of the directory at `directory`: the cut of the window that holds
// them, empty when they leave it. (A cut lies where it was asked for; only the
// count comes back from the shared check, in a register, where a region would
// come back through memory.)
REGION_INLINE PhysRegion EntriesOf(uint64_t directory, uint64_t headerSize, uint64_t entrySize) {
  static_assert(kFlashWindow.Size() <= UINT32_MAX, "entries that lie in the window take fewer bytes than 32 bits count");
  const uint32_t count = EntriesInWindow(directory, headerSize, entrySize);
  return PhysRegion(directory + headerSize, uint32_t(count * uint32_t(entrySize)));
}
static_assert(offsetof(FlashDirectoryHeader, Count) == offsetof(ComboDirectoryHeader, Count));

// The first entry of the type in the BIOS directory at `directory`, whose entries must lie in the window.
bool EntryFind(uint64_t directory, uint8_t type, BiosDirectoryEntry* found) {
  const PhysRegion entries = EntriesOf(directory, sizeof(FlashDirectoryHeader), sizeof(BiosDirectoryEntry));
  for (PhysRegion rest = entries; rest.Holds(0, sizeof(BiosDirectoryEntry)); rest = rest.Skip(sizeof(BiosDirectoryEntry))) {
    const PhysRegion entry = rest.Cut(0, sizeof(BiosDirectoryEntry));
    const uint32_t typeWord = entry.Read32(offsetof(BiosDirectoryEntry, TypeWord));
    if (BiosEntryTypeWord::Type::Get(typeWord) != type) continue;
    found->TypeWord = typeWord;
    found->Size = entry.Read32(offsetof(BiosDirectoryEntry, Size));
    found->Source = entry.Read64(offsetof(BiosDirectoryEntry, Source));
    found->Destination = entry.Read64(offsetof(BiosDirectoryEntry, Destination));
    return true;
  }
  return false;
}

// The PSP directory a combo directory names for the processor, or the combo
// directory itself when no entry matches or its entries leave the window.
uint32_t ComboResolve(uint32_t combo, uint32_t processorId) {
  const PhysRegion entries = EntriesOf(combo, sizeof(ComboDirectoryHeader), sizeof(ComboDirectoryEntry));
  for (PhysRegion rest = entries; rest.Holds(0, sizeof(ComboDirectoryEntry)); rest = rest.Skip(sizeof(ComboDirectoryEntry))) {
    const PhysRegion entry = rest.Cut(0, sizeof(ComboDirectoryEntry));
    if (entry.Read32(offsetof(ComboDirectoryEntry, ProcessorId)) == processorId)
      return entry.Read32(offsetof(ComboDirectoryEntry, PspDirectory));
  }
  return combo;
}

// The entry table's positions, computed rather than stored: 0x20000 into a
// flash of 512 KiB << i that ends at 4 GiB.
constexpr uint32_t kEntryTablePositions = sizeof(kFirmwareEntryTableAddresses) / sizeof(kFirmwareEntryTableAddresses[0]);
constexpr uint64_t EntryTableAddress(uint32_t i) { return 0x100000000ull - (0x80000ull << i) + 0x20000; }
constexpr bool EntryTableAddressesMatch() {
  for (uint32_t i = 0; i < kEntryTablePositions; ++i)
    if (EntryTableAddress(i) != kFirmwareEntryTableAddresses[i]) return false;
  return true;
}
static_assert(EntryTableAddressesMatch());

}  // namespace

uint32_t Fletcher32(uint64_t address, uint64_t words) { return PhysRegion(address, 2 * words).Fletcher32(); }

bool FlashDirectoryLocate(uint32_t* pspDirectory, uint32_t* biosDirectory) {
  const ProcessorFlashRow* row = nullptr;
  for (const ProcessorFlashRow& r : kProcessorFlashRows)
    if (CpuSignatureMatches(r.Signature)) {
      row = &r;
      break;
    }
  if (row == nullptr) return false;

  uint64_t table = 0;
  for (uint32_t i = 0; i < kEntryTablePositions; ++i)
    if (FlashRead32(EntryTableAddress(i)) == kFirmwareEntryTableSignature) {
      table = EntryTableAddress(i);
      break;
    }
  if (table == 0) return false;

  const uint32_t bios = FlashRead32(table + offsetof(FirmwareEntryTable, BiosDirectory) + 4 * row->BiosTableIndex);
  if (biosDirectory) *biosDirectory = bios;
  uint32_t psp = FlashRead32(table + offsetof(FirmwareEntryTable, PspDirectory));
  if (FlashRead32(psp) == kComboDirectoryMagic) psp = ComboResolve(psp, row->ComboProcessorId);
  if (pspDirectory) *pspDirectory = psp;

  const bool pspValid = DirectoryValid(psp, kPspDirectoryMagic, kPspDirectoryEntrySize);
  const bool biosValid = DirectoryValid(bios, kBiosDirectoryMagic, sizeof(BiosDirectoryEntry));
  if (!pspValid) FatalTrap(kTrapPspDirectoryInvalid);
  if (!biosValid) FatalTrap(kTrapBiosDirectoryInvalid);
  return pspValid && biosValid;
}

bool BiosDirectoryEntryLookup(uint8_t type, BiosDirectoryEntry* found) {
  uint32_t psp, bios;
  if (!FlashDirectoryLocate(&psp, &bios)) return false;

  BiosDirectoryEntry level2;
  if (type != kBiosEntryLevel2 && BiosDirectoryEntryLookup(kBiosEntryLevel2, &level2)) {
    // A bad level-2 directory is silent: the level-1 entries serve.
    const bool valid = DirectoryValid(level2.Source, kBiosLevel2Magic, sizeof(BiosDirectoryEntry));
    const bool recovery = PspRecoveryCheck();
    if (valid && !recovery && EntryFind(level2.Source, type, found)) return true;
  }
  return EntryFind(bios, type, found);
}

bool BiosDirectoryEntryFind(uint8_t type, uint32_t* typeWord, uint64_t* source, uint32_t* size,
                            uint64_t* destination) {
  BiosDirectoryEntry found;
  if (!BiosDirectoryEntryLookup(type, &found)) return false;
  if (typeWord) *typeWord = found.TypeWord;
  if (source) *source = found.Source;
  if (size) *size = found.Size;
  if (destination) *destination = found.Destination;
  return true;
}

bool PspRecoveryCheck() {
  PspBarInitEarlyV2();
  const uint32_t base = PspWindowRegisterRead(PspWindowBaseLow::kAt) & PspWindowBaseLow::Base::kMask;
  // No window, no mailbox: the caller must not trust the level-2 directory.
  if (base == 0) {
    FatalTrap(kTrapPspMailboxUnusable);
    return true;
  }
  const uint64_t status = uint64_t{base} + PspMailboxStatus::kAt;
  const uint64_t start = TscRead();
  while ((hw::Read32(status) & (PspMailboxStatus::Booted::kMask | PspMailboxStatus::Recovery::kMask)) == 0) {
    // A PSP that never answers is taken to be in recovery.
    if (TscRead() - start >= kPspStatusWaitTicks) return true;
    SpinPause();
  }
  const uint32_t word = hw::Read32(status);
  return PspMailboxStatus::Recovery::IsSet(word) && !PspMailboxStatus::Booted::IsSet(word);
}
