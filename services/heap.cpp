#include "services/heap.h"

// Not built yet: the driver joins no heap list, so no buffer is ever found.
EfiStatus HeapListInit() { return EFI_UNSUPPORTED; }

uint32_t HeapLocateBuffer(HeapLocateRequest* request) {
  if (request == nullptr) return kHeapNotFound;
  request->Size = 0;
  request->Data = nullptr;
  return kHeapNotFound;
}
