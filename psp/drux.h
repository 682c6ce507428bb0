// DRUX block access: the data the PSP leaves for the firmware. The block is a
// header and a chain of entries, each tagged with a group, a type and an
// instance. A normal boot reads it where the DRUX information HOB says; an S3
// resume or a pending capsule update reads the copy the boot flash keeps.
//
// The layouts are shared with the virtual platform's DRUX block builder.
#pragma once
#include "platform/register.h"
#include "uefi/base.h"

inline constexpr Guid kDruxInfoHobGuid = {0x30B174F3, 0x7712, 0x4CCA, {0xBD, 0x13, 0xD0, 0xB8, 0xA8, 0x80, 0x19, 0x97}};

// The DRUX information HOB's data, 24 bytes after the HOB's start.
struct DruxInfo {
  uint8_t Supported;  // 0: the block is not usable
  uint8_t Unread01[3];
  uint32_t DruxSize;  // logged only
  uint64_t DruxAddr;
};
static_assert(sizeof(DruxInfo) == 16 && offsetof(DruxInfo, DruxSize) == 4 && offsetof(DruxInfo, DruxAddr) == 8);

constexpr uint32_t kDruxSignature = 0x58555244;  // "DRUX"
struct DruxBlockHeader {
  uint32_t Signature;
  uint32_t Version;
  uint32_t Size;         // the whole block, header included; 0 and 0xFFFFFFFF are invalid
  uint32_t EntryOffset;  // of the first entry; only from version 5 on
};
static_assert(sizeof(DruxBlockHeader) == 16 && offsetof(DruxBlockHeader, Version) == 4 &&
              offsetof(DruxBlockHeader, Size) == 8 && offsetof(DruxBlockHeader, EntryOffset) == 12);
constexpr uint32_t kDruxVersionWithEntryOffset = 5;
constexpr uint32_t kDruxFixedEntryOffset = 0x220;  // the first entry of a block below version 5
constexpr uint32_t kDruxSizeErased = 0xFFFFFFFF;

// The header of every entry; the entry's data follows it.
struct DruxEntry {
  uint32_t GroupID;
  uint32_t TypeId;
  uint32_t Instance;
  uint32_t EntrySize;  // the whole entry, header included; the next entry starts this far on
};
static_assert(sizeof(DruxEntry) == 16 && offsetof(DruxEntry, TypeId) == 4 && offsetof(DruxEntry, Instance) == 8 &&
              offsetof(DruxEntry, EntrySize) == 12);

// The per-die memory description: group 3, type 1, and an instance naming the die.
constexpr uint32_t kDruxGroupMemory = 3;
constexpr uint32_t kDruxTypeDieMemory = 1;
struct DruxDieInstanceWord : reg::Register<uint32_t, offsetof(DruxEntry, Instance)> {
  using Die = Bits<7, 0>;
  using Socket = Bits<31, 8>;
};
constexpr uint32_t DruxDieInstance(uint64_t socket, uint64_t die) {
  return DruxDieInstanceWord::Socket::Of(uint32_t(socket)) | DruxDieInstanceWord::Die::Of(uint32_t(die));
}

// The list VyrPspGetDruxEntry fills holds this many entry pointers.
constexpr uint32_t kDruxEntryListLength = 256;

constexpr uint32_t kTrapDruxInfoNullOut = 0x20320096;
constexpr uint32_t kTrapDruxInstanceDuplicate = 0x20320339;
constexpr uint32_t kTrapDruxSizeZero = 0x20320401;
constexpr uint32_t kTrapDruxSizeErased = 0x20320402;

// 0 with *info set to the DRUX information HOB's data; EFI_UNSUPPORTED with
// *info null when there is no such HOB (or it is too short to hold the data).
EfiStatus DruxInfoGet(DruxInfo** info);
// Lists the entries of the group and type, in block order, in `list` (room for
// kDruxEntryListLength pointers) and their number in *count. 0 when at least
// one matched; EFI_NOT_FOUND when none did or the flash copy is missing;
// EFI_UNSUPPORTED when the information HOB is missing or says the block is
// unusable; EFI_BUFFER_TOO_SMALL when more matched than the list holds (the
// list then holds the first kDruxEntryListLength).
EfiStatus VyrPspGetDruxEntry(uint32_t group, uint32_t type, uint32_t* count, DruxEntry** list);
// The one entry of the group and type with the instance: 0 with *entry set;
// EFI_NOT_FOUND when none has it; EFI_UNSUPPORTED when several have it (after a
// fatal trap); EFI_BUFFER_TOO_SMALL when more entries matched than could be
// listed. The fourth argument is not used (callers pass 0).
EfiStatus VyrPspGetDruxEntryInstance(uint32_t group, uint32_t type, uint32_t instance, uint64_t unused,
                                     DruxEntry** entry);
// The start-up check of the block the BIOS directory names; builds nothing.
void DruxHobInfoInit();
