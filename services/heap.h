// Heap buffers shared between the package's drivers.
#pragma once
#include "uefi/base.h"

// Handles of the buffers this driver looks up or creates.
constexpr uint32_t kHeapHandleDebugMailbox = 0xA019;  // the debug agent's mailbox, never created here

// A look-up by handle: Handle in; Size and Data out.
struct HeapLocateRequest {
  uint32_t Handle;
  uint32_t Size;  // bytes of data in the buffer
  void* Data;     // the buffer's data, null when not found
};
static_assert(sizeof(HeapLocateRequest) == 16 && offsetof(HeapLocateRequest, Handle) == 0 &&
              offsetof(HeapLocateRequest, Size) == 4 && offsetof(HeapLocateRequest, Data) == 8);

// Results of the heap buffer operations.
constexpr uint32_t kHeapSuccess = 0;
constexpr uint32_t kHeapNotFound = 2;

EfiStatus HeapListInit();
// Finds the buffer with the request's handle: 0 with Data and Size set, or
// kHeapNotFound with Data null and Size 0.
uint32_t HeapLocateBuffer(HeapLocateRequest* request);
