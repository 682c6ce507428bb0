// Read-only queries of firmware tables and platform state: the HOB list and its
// GUID-extension HOBs, the processor signature, the sleep type the platform
// wakes from, and whether a capsule update is pending.
#pragma once
#include "platform/register.h"
#include "uefi/system_table.h"

inline constexpr Guid kCapsuleStatusHobGuid = {0x3A8E17F2, 0x7895, 0x4FB6, {0xA8, 0x6C, 0xDE, 0x82, 0xD3, 0x65, 0x63, 0x1E}};

// HOB header, and the GUID that follows it in a GUID-extension HOB.
struct HobHeader {
  uint16_t Type;
  uint16_t Length;
  uint32_t Reserved;
};
struct GuidHob {
  HobHeader Header;
  Guid Name;
  // Data follows.
};
static_assert(sizeof(HobHeader) == 8 && offsetof(HobHeader, Length) == 2);
static_assert(sizeof(GuidHob) == 24 && offsetof(GuidHob, Name) == 8);

constexpr uint16_t kHobTypeGuidExtension = 4;
constexpr uint16_t kHobTypeEndOfList = 0xFFFF;

// The first HOB, null when the firmware handed over no HOB list.
extern void* mHobList;

void HobListLocate();
// Null when there is no HOB list or no such HOB. The walk never leaves the
// list: when it opens with a hand-off information HOB, nothing at or past the
// end-of-list HOB that one names is read. A HOB shorter than its header (8
// bytes; 24 for a GUID-extension HOB), one reaching past that end, or one not
// on an 8-byte boundary ends the list. A HOB returned lies whole in the list.
void* FindFirstGuidHob(const Guid* name);
void* FindNextGuidHob(const Guid* name, const void* hob);

bool CpuSignatureMatches(uint32_t signature);

// The chipset's power-management registers, behind an index port and a data
// port. Two of them hold the port of the PM1 control register, low byte first.
constexpr uint16_t kPmIndexPort = 0xCD6;
constexpr uint16_t kPmDataPort = 0xCD7;
struct PmPm1ControlPortLow : reg::Register<uint8_t, 0x62> {};
struct PmPm1ControlPortHigh : reg::Register<uint8_t, 0x63> {};
// The PM1 control register, at that port.
struct Pm1Control : reg::Register<uint16_t, 0> {
  using SleepType = Bits<12, 10>;
};

// The sleep type 0-7 the platform last entered, or 0xFF when the PM1 control
// register's base is not programmed.
uint8_t GetSleepType();
bool VyrCapsuleGetStatus();
