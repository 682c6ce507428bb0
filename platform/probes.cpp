#include "platform/probes.h"

#include "platform/firmware_services.h"

IMAGE_STATE void* mHobList;

void HobListLocate() {
  mHobList = nullptr;
  const EfiSystemTable* st = mFirmwareServices.SystemTable;
  for (uint64_t i = 0; i < st->NumberOfTableEntries; ++i) {
    if (GuidEqual(st->ConfigurationTable[i].VendorGuid, kHobListGuid)) {
      mHobList = st->ConfigurationTable[i].VendorTable;
      return;
    }
  }
}

// The processor, sleep-type and capsule probes arrive with the firmware-table
// work; until then they report a plain cold boot on a processor that needs the
// DRUX check.
bool CpuSignatureMatches(uint32_t) { return false; }
uint8_t GetSleepType() { return 0xFF; }
bool VyrCapsuleGetStatus() { return false; }
