#include "platform/probes.h"

#include "diag/debug_print.h"
#include "platform/access.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"

IMAGE_STATE void* mHobList;

namespace {
constexpr uint32_t kCpuidExtendedSignature = 0x80000001;
constexpr uint32_t kSignatureMask = 0x0FFF0F00;  // extended family and model, base family
constexpr uint16_t kPmIndexPort = 0xCD6;
constexpr uint16_t kPmDataPort = 0xCD7;
constexpr uint8_t kPmAcpiPm1ControlLow = 0x62;  // then 0x63, the high byte
}  // namespace

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

void* FindNextGuidHob(const Guid* name, const void* hob) {
  const uint8_t* at = static_cast<const uint8_t*>(hob);
  if (at == nullptr || name == nullptr) return nullptr;
  for (;;) {
    const auto* header = reinterpret_cast<const HobHeader*>(at);
    if (header->Type == kHobTypeEndOfList) return nullptr;
    // A HOB shorter than its own header ends the list, before any match: one of
    // length 0 would hold the walk in place for ever, and no caller may get a
    // GUID-extension HOB whose data would start beyond its end.
    const bool guided = header->Type == kHobTypeGuidExtension;
    if (header->Length < (guided ? sizeof(GuidHob) : sizeof(HobHeader))) return nullptr;
    if (guided && GuidEqual(reinterpret_cast<const GuidHob*>(at)->Name, *name)) return const_cast<uint8_t*>(at);
    at += header->Length;
  }
}

void* FindFirstGuidHob(const Guid* name) { return FindNextGuidHob(name, mHobList); }

bool CpuSignatureMatches(uint32_t signature) {
  uint32_t eax = 0;
  CpuidQuery(kCpuidExtendedSignature, &eax, nullptr, nullptr, nullptr);
  return (eax & kSignatureMask) == signature;
}

uint8_t GetSleepType() {
  uint16_t port = 0;
  for (uint8_t i = 0; i < 2; ++i) {
    hw::Out8(kPmIndexPort, uint8_t(kPmAcpiPm1ControlLow + i));
    port = uint16_t(port | (uint16_t{hw::In8(kPmDataPort)} << (8 * i)));
  }
  if (port == 0 || port == 0xFFFF) return 0xFF;
  return uint8_t((hw::In16(port) >> 10) & 7);
}

bool VyrCapsuleGetStatus() {
  const bool pending = FindFirstGuidHob(&kCapsuleStatusHobGuid) != nullptr;
  DebugPrint(kDebugLevelCore, "VyrCapsuleGetStatus  %x\n", pending ? 1u : 0u);
  return pending;
}
