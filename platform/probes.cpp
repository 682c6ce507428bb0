#include "platform/probes.h"

#include "diag/debug_print.h"
#include "platform/access.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"

IMAGE_STATE void* mHobList;

namespace {
constexpr uint32_t kCpuidExtendedSignature = 0x80000001;
constexpr uint32_t kSignatureMask = 0x0FFF0F00;  // extended family and model, base family
// The hand-off information HOB: its length, and where it holds the address of
// the list's end-of-list HOB.
constexpr uint16_t kHobTypeHandoff = 1;
constexpr uint16_t kHandoffLength = 56;
constexpr uint32_t kHandoffEndOfList = 48;
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

// Where the list ends: the hand-off information HOB that opens a list names
// its end-of-list HOB. A list without one is taken as it stands (no bound).
uintptr_t HobListEnd() {
  const auto* first = static_cast<const HobHeader*>(mHobList);
  if (first == nullptr || first->Type != kHobTypeHandoff || first->Length < kHandoffLength) return UINTPTR_MAX;
  return uintptr_t(*reinterpret_cast<const uint64_t*>(static_cast<const uint8_t*>(mHobList) + kHandoffEndOfList));
}

void* FindNextGuidHob(const Guid* name, const void* hob) {
  uintptr_t at = reinterpret_cast<uintptr_t>(hob);
  if (hob == nullptr || name == nullptr) return nullptr;
  // A bounded walk stays between the list's first HOB and its end-of-list HOB.
  const uintptr_t end = HobListEnd();
  if (end != UINTPTR_MAX && at < reinterpret_cast<uintptr_t>(mHobList)) return nullptr;
  for (;;) {
    // HOBs start on 8-byte boundaries: a walk that leaves them has left the list.
    if (at >= end || at % 8 != 0) return nullptr;
    const auto* header = reinterpret_cast<const HobHeader*>(at);
    if (header->Type == kHobTypeEndOfList) return nullptr;
    // A HOB shorter than its own header ends the list, before any match: one of
    // length 0 would hold the walk in place for ever, and no caller may get a
    // GUID-extension HOB whose data would start beyond its end. So does a HOB
    // that reaches past the list's end (or the top of memory).
    const bool guided = header->Type == kHobTypeGuidExtension;
    if (header->Length < (guided ? sizeof(GuidHob) : sizeof(HobHeader)) || header->Length > end - at) return nullptr;
    if (guided && GuidEqual(reinterpret_cast<const GuidHob*>(at)->Name, *name)) return reinterpret_cast<void*>(at);
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
    hw::Out8(kPmIndexPort, uint8_t(PmPm1ControlPortLow::kAt + i));
    port = uint16_t(port | (uint16_t{hw::In8(kPmDataPort)} << (8 * i)));
  }
  if (port == 0 || port == 0xFFFF) return 0xFF;
  return uint8_t(Pm1Control::SleepType::Get(hw::In16(port)));
}

bool VyrCapsuleGetStatus() {
  const bool pending = FindFirstGuidHob(&kCapsuleStatusHobGuid) != nullptr;
  DebugPrint(kDebugLevelCore, "VyrCapsuleGetStatus  %x\n", pending ? 1u : 0u);
  return pending;
}
