#include "core/meminfo.h"
#include "core/ready_to_boot_registers.h"
#include "platform/access.h"
#include "platform/hw.h"

// The record the notify builds its value from; the body sets it.
IMAGE_STATE MemInfoRecord* mMemInfoRecord;

uint32_t RootRegisterValue(const MemInfoRecord& r) {
  using R = RootReadyToBootRegister;
  uint32_t value = R::kDefault;
  if (r.RootRegHighOverride) value = R::High::Set(value, r.RootRegHigh);
  if (r.RootRegLowOverride) value = R::Low::Set(value, r.RootRegLow);
  return value;
}

// Without a record (its allocation failed) there are no fields to build the value
// from, and nothing is written.
void EFIAPI ReadyToBootNotify(EfiEvent, void*) {
  const MemInfoRecord* record = mMemInfoRecord;
  if (record == nullptr) return;
  const uint32_t value = RootRegisterValue(*record);
  for (uint64_t i = 0; i < kFabricDeviceCount; ++i) {
    const uint64_t function0 = PciConfigAddress(0, kFabricFirstDevice + i, 0, 0);
    if (hw::Read16(function0) != kFabricVendorId) continue;
    const uint64_t bus = hw::Read8(function0 + FabricRootBus::kAt);
    hw::Write32(IndexRegisterAddress(bus), RootReadyToBootRegister::kAt);
    hw::Write32(DataRegisterAddress(bus), value);
  }
}
