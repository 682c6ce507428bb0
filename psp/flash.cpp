#include "psp/flash.h"

#include "diag/trap.h"
#include "platform/access.h"
#include "platform/hw.h"
#include "platform/probes.h"
#include "platform/timer.h"
#include "psp/psp_window.h"

namespace {

// The u32 at `address` in the flash window, or 0 when its four bytes do not all
// lie in the window. No magic, signature or count check passes on a 0. Out of
// line: one copy of the window check serves every read.
__attribute__((noinline)) uint32_t FlashRead32(uint64_t address) {
  return FlashRegionContains(kFlashWindow, address, 4) ? hw::Read32(address) : 0;
}

// The directory at `address` has the magic, its entries lie in the window, and
// its checksum holds. wordsPerEntry: the 16-bit words of one entry.
bool DirectoryValid(uint64_t address, uint32_t magic, uint64_t wordsPerEntry) {
  if (FlashRead32(address) != magic) return false;
  const uint64_t first = address + kChecksumStart;
  const uint64_t words = 4 + wordsPerEntry * FlashRead32(address + offsetof(FlashDirectoryHeader, Count));
  return FlashRegionContains(kFlashWindow, first, 2 * words) &&
         Fletcher32(first, words) == FlashRead32(address + offsetof(FlashDirectoryHeader, Checksum));
}

// The entry count of the directory at `directory` (a BIOS or combo directory:
// the count at offset 8 in both), or 0 when its entries do not all lie in the
// window. Out of line: the BIOS entry search and the combo resolution share it.
__attribute__((noinline)) uint32_t EntriesInWindow(uint64_t directory, uint64_t headerSize, uint64_t entrySize) {
  const uint32_t count = FlashRead32(directory + offsetof(FlashDirectoryHeader, Count));
  return FlashRegionContains(kFlashWindow, directory + headerSize, uint64_t{count} * entrySize) ? count : 0;
}
static_assert(offsetof(FlashDirectoryHeader, Count) == offsetof(ComboDirectoryHeader, Count));

// The first entry of the type in the BIOS directory at `directory`, whose entries must lie in the window.
bool EntryFind(uint64_t directory, uint8_t type, BiosDirectoryEntry* found) {
  const uint32_t count = EntriesInWindow(directory, sizeof(FlashDirectoryHeader), sizeof(BiosDirectoryEntry));
  uint64_t entry = directory + sizeof(FlashDirectoryHeader);
  for (uint32_t i = 0; i < count; ++i, entry += sizeof(BiosDirectoryEntry)) {
    const uint32_t typeWord = hw::Read32(entry);
    if (uint8_t(typeWord) != type) continue;
    found->TypeWord = typeWord;
    found->Size = hw::Read32(entry + offsetof(BiosDirectoryEntry, Size));
    found->Source = hw::Read64(entry + offsetof(BiosDirectoryEntry, Source));
    found->Destination = hw::Read64(entry + offsetof(BiosDirectoryEntry, Destination));
    return true;
  }
  return false;
}

// The PSP directory a combo directory names for the processor, or the combo
// directory itself when no entry matches or its entries leave the window.
uint32_t ComboResolve(uint32_t combo, uint32_t processorId) {
  const uint32_t count = EntriesInWindow(combo, sizeof(ComboDirectoryHeader), sizeof(ComboDirectoryEntry));
  uint64_t entry = uint64_t{combo} + sizeof(ComboDirectoryHeader);
  for (uint32_t i = 0; i < count; ++i, entry += sizeof(ComboDirectoryEntry))
    if (hw::Read32(entry + offsetof(ComboDirectoryEntry, ProcessorId)) == processorId)
      return hw::Read32(entry + offsetof(ComboDirectoryEntry, PspDirectory));
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

uint32_t Fletcher32(uint64_t address, uint64_t words) {
  return Fletcher32Words(words, [address](uint64_t i) -> uint32_t { return hw::Read16(address + 2 * i); });
}

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

  const bool pspValid = DirectoryValid(psp, kPspDirectoryMagic, kPspDirectoryEntrySize / 2);
  const bool biosValid = DirectoryValid(bios, kBiosDirectoryMagic, sizeof(BiosDirectoryEntry) / 2);
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
    const bool valid = DirectoryValid(level2.Source, kBiosLevel2Magic, sizeof(BiosDirectoryEntry) / 2);
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
  const uint32_t base = PspWindowRegisterRead(kPspWindowBaseLow) & kPspWindowBaseMask;
  // No window, no mailbox: the caller must not trust the level-2 directory.
  if (base == 0) {
    FatalTrap(kTrapPspMailboxUnusable);
    return true;
  }
  const uint64_t status = uint64_t{base} + kPspMailboxStatusOffset;
  const uint64_t start = TscRead();
  while ((hw::Read32(status) & (PspMailboxStatus::Booted::kMask | PspMailboxStatus::Recovery::kMask)) == 0) {
    // A PSP that never answers is taken to be in recovery.
    if (TscRead() - start >= kPspStatusWaitTicks) return true;
    SpinPause();
  }
  const uint32_t word = hw::Read32(status);
  return PspMailboxStatus::Recovery::IsSet(word) && !PspMailboxStatus::Booted::IsSet(word);
}
