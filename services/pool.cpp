#include "services/pool.h"

#include "platform/firmware_services.h"
#include "platform/mem.h"

namespace {
constexpr uint64_t kZeroedBlockSize = 16;
}  // namespace

void* PoolAllocRuntimeZeroed() {
  void* block = nullptr;
  EfiStatus status = mFirmwareServices.BootServices->AllocatePool(EfiRuntimeServicesData, kZeroedBlockSize, &block);
  if (EfiError(status) || block == nullptr) return nullptr;
  MemZero(block, kZeroedBlockSize);
  return block;
}
