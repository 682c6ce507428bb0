// DRUX block access: the data the PSP leaves for the firmware.
#pragma once
#include "uefi/base.h"

constexpr Guid kDruxInfoHobGuid = {0x30B174F3, 0x7712, 0x4CCA, {0xBD, 0x13, 0xD0, 0xB8, 0xA8, 0x80, 0x19, 0x97}};

struct DruxInfo;

EfiStatus DruxInfoGet(DruxInfo** info);
void DruxHobInfoInit();
