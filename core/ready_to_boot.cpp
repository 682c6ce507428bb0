#include "core/meminfo.h"
#include "platform/access.h"
#include "platform/hw.h"

namespace {
constexpr uint32_t kRootRegisterIndex = 0x13B20000;
constexpr uint16_t kFabricVendorId = 0x1022;  // the fabric devices' vendor identifier
constexpr uint64_t kFabricFirstDevice = 0x18;
constexpr uint64_t kFabricDeviceCount = 8;
constexpr uint64_t kRootBusOffset = 0x84;
}  // namespace

// The record the notify builds its value from; the body sets it.
IMAGE_STATE MemInfoRecord* mMemInfoRecord;

uint32_t RootRegisterValue(const MemInfoRecord& r) {
  uint32_t value = 0x00010001;
  if (r.RootRegHighOverride) value = (uint32_t{r.RootRegHigh} << 16) | (value & 0xFFFF);
  if (r.RootRegLowOverride) value = (value & 0xFFFF0000u) | r.RootRegLow;
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
    const uint64_t bus = hw::Read8(function0 + kRootBusOffset);
    hw::Write32(IndexRegisterAddress(bus), kRootRegisterIndex);
    hw::Write32(DataRegisterAddress(bus), value);
  }
}
