#include "services/reserved_buffer.h"

#include "platform/firmware_services.h"
#include "platform/mem.h"

// Out of line: the record, the snapshot and the table share one copy.
__attribute__((noinline)) EfiStatus ReservedBufferAllocate(uint64_t size, void** buffer) {
  *buffer = nullptr;
  const EfiStatus status = mFirmwareServices.BootServices->AllocatePool(EfiReservedMemoryType, size, buffer);
  if (EfiError(status) || *buffer == nullptr) return EfiError(status) ? status : EFI_OUT_OF_RESOURCES;
  MemZero(*buffer, size);
  return EFI_SUCCESS;
}
