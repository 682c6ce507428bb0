// Read-only queries of firmware tables and platform state.
#pragma once
#include "uefi/base.h"

constexpr Guid kHobListGuid = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

// The first HOB, null when the firmware handed over no HOB list.
extern void* mHobList;

void HobListLocate();
bool CpuSignatureMatches(uint32_t signature);
uint8_t GetSleepType();
bool VyrCapsuleGetStatus();
