#include "services/heap.h"

#include "diag/trap.h"
#include "platform/firmware_services.h"
#include "platform/mem.h"
#include "platform/probes.h"

// Until HeapListInit runs, the head in use is this driver's own empty list, so
// a look-up finds nothing and never meets a null head.
IMAGE_STATE HeapListInterface mHeapListInterface = {1, {&mHeapListInterface.Head, &mHeapListInterface.Head}};
IMAGE_STATE HeapListLink* mHeapList = &mHeapListInterface.Head;
// The handle this driver published its list on; null when it joined another's.
IMAGE_STATE EfiHandle mHeapListHandle = nullptr;

namespace {
__attribute__((noinline)) void* PoolAlloc(EfiMemoryType type, uint64_t size) {
  void* buffer = nullptr;
  if (EfiError(mFirmwareServices.BootServices->AllocatePool(type, size, &buffer))) return nullptr;
  return buffer;
}
}  // namespace

void* PoolAllocBoot(uint64_t size) { return PoolAlloc(EfiBootServicesData, size); }
void* PoolAllocRuntime(uint64_t size) { return PoolAlloc(EfiRuntimeServicesData, size); }

void* PoolAllocRuntimeZeroed() {
  constexpr uint64_t kSize = 16;
  void* buffer = PoolAllocRuntime(kSize);
  if (buffer != nullptr) MemZero(buffer, kSize);
  return buffer;
}

EfiStatus HeapListInit() {
  EfiBootServices* bs = mFirmwareServices.BootServices;
  void* published;
  // An earlier driver of the package created, filled and published the list.
  // A protocol installed without an interface is no list.
  if (!EfiError(ProtocolLocate(&HeapListProtocolGuid, &published)) && published != nullptr) {
    mHeapList = &static_cast<HeapListInterface*>(published)->Head;
    return EFI_SUCCESS;
  }
  // This driver's own list, still empty as the image was loaded, is the one in use.
  HeapImportHobs();
  EfiHandle handle = nullptr;
  const EfiStatus status =
      bs->InstallProtocolInterface(&handle, &HeapListProtocolGuid, EFI_NATIVE_INTERFACE, &mHeapListInterface);
  if (status != EFI_SUCCESS) FatalTrapExpr(kTrapHeapInstall);
  else mHeapListHandle = handle;
  return status;
}

void HeapListTeardown() {
  if (mHeapListHandle == nullptr) return;
  mFirmwareServices.BootServices->UninstallProtocolInterface(mHeapListHandle, &HeapListProtocolGuid,
                                                              &mHeapListInterface);
  mHeapListHandle = nullptr;
}

void HeapImportHobs() {
  for (auto* hob = static_cast<const GuidHob*>(FindFirstGuidHob(&HeapHobGuid)); hob != nullptr;
       hob = static_cast<const GuidHob*>(
           FindNextGuidHob(&HeapHobGuid, reinterpret_cast<const uint8_t*>(hob) + hob->Header.Length))) {
    // The HOB must hold the header and all the data the header announces.
    const uint32_t room = hob->Header.Length - uint32_t{sizeof(GuidHob)};
    if (room < sizeof(HeapBufferHeader)) continue;
    const auto* header = reinterpret_cast<const HeapBufferHeader*>(hob + 1);
    if (room - sizeof(HeapBufferHeader) < header->Size) continue;
    if (header->Signature != kHeapSignature || header->Valid != kHeapValid) continue;
    HeapBufferNode* node = nullptr;
    if (HeapCreateNode(header, &node) == EFI_SUCCESS) MemCopy(node + 1, header + 1, header->Size);
  }
}

EfiStatus HeapCreateNode(const HeapBufferHeader* header, HeapBufferNode** node) {
  const uint64_t bytes = sizeof(HeapBufferNode) + uint64_t{header->Size};
  const bool runtime = header->PersistCode == kHeapPersistRuntime;
  const EfiMemoryType type = runtime ? EfiRuntimeServicesData : EfiBootServicesData;
  auto* created = static_cast<HeapBufferNode*>(PoolAlloc(type, bytes));
  if (created == nullptr) {
    FatalTrapExpr(runtime ? kTrapHeapNodeRuntime : kTrapHeapNodeBoot);
    return EFI_UNSUPPORTED;
  }
  created->Header = *header;
  // At the tail: just before the head.
  HeapListLink* head = mHeapList;
  created->Link.Forward = head;
  created->Link.Back = head->Back;
  head->Back->Forward = &created->Link;
  head->Back = &created->Link;
  *node = created;
  return EFI_SUCCESS;
}

// Out of line: the look-up and the allocation share one copy of the walk.
__attribute__((noinline)) HeapBufferNode* HeapFindNode(uint32_t handle) {
  for (HeapListLink* link = mHeapList->Forward; link != mHeapList; link = link->Forward) {
    auto* node = reinterpret_cast<HeapBufferNode*>(link);
    if (node->Header.Handle == handle && node->Header.Signature == kHeapSignature) return node;
  }
  return nullptr;
}

uint32_t HeapAllocateBuffer(HeapAllocateRequest* request) {
  if (request == nullptr) return kHeapBadPersistCode;
  const uint8_t persist = request->PersistCode;
  if (persist < kHeapPersistFirst || persist > kHeapPersistRuntime) return kHeapBadPersistCode;
  if (HeapFindNode(request->Handle) != nullptr) return kHeapHandleExists;
  request->Data = nullptr;
  const HeapBufferHeader header = {kHeapSignature, request->Handle, request->Size, persist, kHeapValid, {0, 0}};
  HeapBufferNode* node = nullptr;
  if (HeapCreateNode(&header, &node) != EFI_SUCCESS) return kHeapNoMemory;
  request->Data = node + 1;
  if (header.Size != 0) MemZero(node + 1, header.Size);
  return kHeapSuccess;
}

uint32_t HeapLocateBuffer(HeapLocateRequest* request) {
  if (request == nullptr) return kHeapNotFound;
  HeapBufferNode* node = HeapFindNode(request->Handle);
  request->Data = node != nullptr ? node + 1 : nullptr;
  request->Size = node != nullptr ? node->Header.Size : 0;
  return node != nullptr ? kHeapSuccess : kHeapNotFound;
}
