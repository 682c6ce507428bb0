#include "core/channel_map.h"
#include "core/chip_select.h"
#include "core/meminfo.h"
#include "platform/firmware_services.h"
#include "platform/hw.h"
#include "services/reserved_buffer.h"

namespace {
constexpr uint16_t kToken243Unset = 0xFFFF;
constexpr uint16_t kToken243WhenToken16 = 0xFFE;
constexpr uint16_t kToken243Otherwise = 0xFF5;

void FillConfiguration(MemInfoRecord* r) {
  r->Token16Flag = PcdGetBool(kPcdToken16);
  r->Token467Byte = PcdGet8(kPcdToken467);
  r->Token242Flag = PcdGetBool(kPcdToken242);
  if (PcdGet16(kPcdToken243) == kToken243Unset)
    PcdSet16(kPcdToken243, PcdGetBool(kPcdToken16) ? kToken243WhenToken16 : kToken243Otherwise);
  r->Token243Word = PcdGet16(kPcdToken243);
  r->RootRegLowOverride = PcdGetBool(kPcdRootRegLowOverride);
  r->RootRegLow = PcdGet16(kPcdRootRegLow);
  r->RootRegHighOverride = PcdGetBool(kPcdRootRegHighOverride);
  r->RootRegHigh = PcdGet16(kPcdRootRegHigh);
  r->SmiCommandPort = hw::Read16(kSmiCommandPortRegister);
}
}  // namespace

// Without a record there is nothing to fill or publish: the body returns the
// allocation's status at once. The snapshot and table builds, which store into the
// record, are not run, and no ReadyToBoot event is created.
EfiStatus DriverBody(EfiHandle imageHandle) {
  EfiBootServices* bs = mFirmwareServices.BootServices;
  void* block;
  EfiStatus status = ReservedBufferAllocate(sizeof(MemInfoRecord), &block);
  MemInfoRecord* record = EfiError(status) ? nullptr : static_cast<MemInfoRecord*>(block);
  mMemInfoRecord = record;
  if (EfiError(status)) return status;
  FillConfiguration(record);

  ChannelMapBuild(*record);
  ChipSelectTableBuild(*record);

  EfiHandle handle = imageHandle;
  status = bs->InstallProtocolInterface(&handle, &MemInfoProtocolGuid, EFI_NATIVE_INTERFACE, record);
  if (EfiError(status)) return status;

  EfiEvent event;
  return ReadyToBootEventCreate(TPL_NOTIFY, ReadyToBootNotify, &event);
}
