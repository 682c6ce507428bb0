// The published record and the driver core's entry points.
#pragma once
#include "uefi/system_table.h"

inline constexpr Guid MemInfoProtocolGuid = {0x3C6ED57C, 0x4F6A, 0x8A58, {0x85, 0xDF, 0xDC, 0xA5, 0xAD, 0xF0, 0xF1, 0x6B}};

// Published under MemInfoProtocolGuid; other modules read it byte for byte.
struct MemInfoRecord {
  uint8_t Token16Flag;
  uint8_t Reserved1;
  uint16_t SmiCommandPort;
  uint8_t Token467Byte;
  uint8_t Token242Flag;
  uint16_t Token243Word;
  uint8_t RootRegLowOverride;
  uint8_t Reserved9;
  uint16_t RootRegLow;
  uint8_t RootRegHighOverride;
  uint8_t Reserved13;
  uint16_t RootRegHigh;
  uint64_t ChipSelectCount;
  uint64_t ChipSelectEntries;  // address of the chip-select table, 0 when absent
  uint64_t ChannelMap;         // address of the channel map snapshot, 0 when absent
};
static_assert(sizeof(MemInfoRecord) == 40);
static_assert(offsetof(MemInfoRecord, SmiCommandPort) == 2 && offsetof(MemInfoRecord, Token467Byte) == 4 &&
              offsetof(MemInfoRecord, Token242Flag) == 5 && offsetof(MemInfoRecord, Token243Word) == 6 &&
              offsetof(MemInfoRecord, RootRegLowOverride) == 8 && offsetof(MemInfoRecord, RootRegLow) == 10 &&
              offsetof(MemInfoRecord, RootRegHighOverride) == 12 && offsetof(MemInfoRecord, RootRegHigh) == 14 &&
              offsetof(MemInfoRecord, ChipSelectCount) == 16 && offsetof(MemInfoRecord, ChipSelectEntries) == 24 &&
              offsetof(MemInfoRecord, ChannelMap) == 32);

// PCD tokens read by the body.
constexpr uint64_t kPcdToken16 = 16;
constexpr uint64_t kPcdToken242 = 242;
constexpr uint64_t kPcdToken243 = 243;
constexpr uint64_t kPcdToken467 = 467;
constexpr uint64_t kPcdRootRegLowOverride = 468;
constexpr uint64_t kPcdRootRegLow = 469;
constexpr uint64_t kPcdRootRegHighOverride = 470;
constexpr uint64_t kPcdRootRegHigh = 471;

constexpr uint64_t kSmiCommandPortRegister = 0xFED8036A;

// The record for the ReadyToBoot notify (core/ready_to_boot.cpp): the body sets
// it, null until the body's allocation succeeds. The builds get the record from
// the body.
extern MemInfoRecord* mMemInfoRecord;

// The start-up steps the image entry runs, in order. The entry is written against
// this list so the order and the failure path can be exercised on their own.
struct StartupSteps {
  EfiStatus (*S3SaveLibInit)();
  void (*HobListLocate)();
  EfiStatus (*HeapListInit)();
  EfiStatus (*DebugPrintInit)();
  bool (*CpuSignatureMatches)(uint32_t signature);
  uint8_t (*GetSleepType)();
  bool (*CapsulePending)();
  bool (*DruxInfoPresent)();
  void (*DruxHobInfoInit)();
  EfiStatus (*Body)(EfiHandle imageHandle);
  void (*S3SaveLibTeardown)();
  void (*HeapListTeardown)();
};
extern const StartupSteps kStartupSteps;

EfiStatus RunImageEntry(EfiHandle imageHandle, EfiSystemTable* systemTable, const StartupSteps& steps);
extern "C" EfiStatus EFIAPI ImageEntry(EfiHandle imageHandle, EfiSystemTable* systemTable);

EfiStatus DriverBody(EfiHandle imageHandle);
void EFIAPI ReadyToBootNotify(EfiEvent event, void* context);
uint32_t RootRegisterValue(const MemInfoRecord& record);
