// The boot flash's directories: the firmware entry table near the bottom of the
// flash, the PSP (or combo) directory it points to, the BIOS directory of the
// running processor and its optional level-2 extension. Lookups start again from
// the flash every time and keep nothing.
//
// The layouts are shared with the virtual platform's flash builder and inspector.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "platform/register.h"
#include "psp/flash_region.h"
#include "psp/psp_window.h"

// ---- layouts (little-endian; addresses are physical) ----

constexpr uint32_t kFirmwareEntryTableSignature = 0x55AA55AA;
constexpr uint32_t kPspDirectoryMagic = 0x50535024;    // "$PSP"
constexpr uint32_t kBiosDirectoryMagic = 0x44484224;   // "$BHD"
constexpr uint32_t kBiosLevel2Magic = 0x324C4224;      // "$BL2"
constexpr uint32_t kComboDirectoryMagic = 0x50535032;  // "2PSP"

struct FirmwareEntryTable {
  uint32_t Signature;
  uint32_t Unread04[4];
  uint32_t PspDirectory;      // a PSP directory or a combo directory
  uint32_t BiosDirectory[2];  // one per row of kProcessorFlashRows
};
static_assert(sizeof(FirmwareEntryTable) == 0x20 && offsetof(FirmwareEntryTable, PspDirectory) == 0x14 &&
              offsetof(FirmwareEntryTable, BiosDirectory) == 0x18);

// The header of a PSP, BIOS and level-2 BIOS directory; the entries follow it.
// The checksum covers everything from Count to the end of the last entry.
struct FlashDirectoryHeader {
  uint32_t Magic;
  uint32_t Checksum;
  uint32_t Count;
  uint32_t Unread0C;
};
static_assert(sizeof(FlashDirectoryHeader) == 0x10 && offsetof(FlashDirectoryHeader, Checksum) == 4 &&
              offsetof(FlashDirectoryHeader, Count) == 8);
constexpr uint64_t kChecksumStart = offsetof(FlashDirectoryHeader, Count);

// PSP directory entries are covered by the checksum but not read here.
constexpr uint64_t kPspDirectoryEntrySize = 16;

struct BiosDirectoryEntry {
  uint32_t TypeWord;  // BiosEntryTypeWord
  uint32_t Size;
  uint64_t Source;       // where the data lies in the flash
  uint64_t Destination;  // where the data is placed in memory
};
static_assert(sizeof(BiosDirectoryEntry) == 24 && offsetof(BiosDirectoryEntry, Size) == 4 &&
              offsetof(BiosDirectoryEntry, Source) == 8 && offsetof(BiosDirectoryEntry, Destination) == 16);
// A BIOS directory entry's first word: the type the lookups match, and flags
// that go to the caller as they are.
struct BiosEntryTypeWord : reg::Register<uint32_t, offsetof(BiosDirectoryEntry, TypeWord)> {
  using Type = Bits<7, 0>;
  using Flags = Bits<31, 8>;
};

// Stands in for a PSP directory when the flash serves more than one processor kind.
struct ComboDirectoryHeader {
  uint32_t Magic;
  uint32_t Unread04;  // a checksum, not verified
  uint32_t Count;
  uint32_t Unread0C[5];
};
struct ComboDirectoryEntry {
  uint32_t Unread00;
  uint32_t ProcessorId;
  uint32_t PspDirectory;
  uint32_t Unread0C;
};
static_assert(sizeof(ComboDirectoryHeader) == 0x20 && offsetof(ComboDirectoryHeader, Count) == 8);
static_assert(sizeof(ComboDirectoryEntry) == 16 && offsetof(ComboDirectoryEntry, ProcessorId) == 4 &&
              offsetof(ComboDirectoryEntry, PspDirectory) == 8);

// BIOS directory entry types the system uses.
constexpr uint8_t kBiosEntryLevel2 = 0x70;    // source: the level-2 directory
constexpr uint8_t kBiosEntryDrux = 0x61;      // destination: the DRUX block in memory
constexpr uint8_t kBiosEntryDruxCopy = 0x63;  // source: the DRUX block's copy in the flash

// The entry table's positions, searched in this order: 0x20000 into a flash of
// 512 KiB, 1, 2, 4, 8 and 16 MiB that ends at 4 GiB.
constexpr uint64_t kFirmwareEntryTableAddresses[6] = {0xFFFA0000, 0xFFF20000, 0xFFE20000,
                                                      0xFFC20000, 0xFF820000, 0xFF020000};

// The processors the flash serves, tested in this order.
struct ProcessorFlashRow {
  uint32_t Signature;       // for CpuSignatureMatches
  uint32_t BiosTableIndex;  // into FirmwareEntryTable::BiosDirectory
  uint32_t ComboProcessorId;
};
alignas(4) constexpr ProcessorFlashRow kProcessorFlashRows[2] = {{0x00800F00, 0, 0xBC090000}, {0x00810F00, 1, 0xBC0A0000}};

// 16-bit words a directory's checksum covers, from offset 8, for a count of entries.
constexpr uint64_t PspDirectoryChecksumWords(uint64_t count) { return 4 + 8 * count; }
constexpr uint64_t BiosDirectoryChecksumWords(uint64_t count) { return 4 + 12 * count; }

// ---- the flash window ----

// The largest flash the entry table's positions serve: 16 MiB ending at 4 GiB.
// Every read of the flash goes through this region or one cut from it.
constexpr PhysRegion kFlashWindow(0xFF000000, 0x01000000);

// ---- operations ----

constexpr uint32_t kTrapPspDirectoryInvalid = 0x20300266;
constexpr uint32_t kTrapBiosDirectoryInvalid = 0x20300267;
constexpr uint32_t kTrapPspMailboxUnusable = 0x20300533;

// How long the recovery check waits for either bit, in time-stamp counter ticks.
constexpr uint64_t kPspStatusWaitTicks = 1ull << 32;

// Fletcher-32 over memory at a physical address.
uint32_t Fletcher32(uint64_t address, uint64_t words);
// TRUE when the entry table was found and both the PSP directory and the BIOS
// directory of the running processor hold their checksums. The BIOS directory
// output is written once the table is found, the PSP one once a combo directory
// has been resolved.
bool FlashDirectoryLocate(uint32_t* pspDirectory, uint32_t* biosDirectory);
// TRUE when a BIOS directory entry of the type was found; the outputs then hold
// its fields, and are untouched otherwise. A valid level-2 directory's entries
// win unless the PSP booted in recovery.
bool BiosDirectoryEntryFind(uint8_t type, uint32_t* typeWord, uint64_t* source, uint32_t* size,
                            uint64_t* destination);
// The same search, into one entry: TRUE with *found filled, else *found untouched.
bool BiosDirectoryEntryLookup(uint8_t type, BiosDirectoryEntry* found);
// TRUE when the PSP reports that it booted in recovery, and whenever it cannot
// tell (no window, or no answer in time).
bool PspRecoveryCheck();
