// Heap buffers shared between the package's drivers and with the earlier boot
// phase. Each buffer is named by a 32-bit handle and lives in one node of a
// circular list; the first driver of the package to start creates the list,
// imports the earlier phase's buffers from its HOBs and publishes the list head
// under HeapListProtocolGuid; every later driver joins that list. Nothing here
// frees a buffer.
#pragma once
#include "uefi/base.h"

// Handles of the buffers this image looks up or creates.
constexpr uint32_t kHeapHandleDebugMailbox = 0xA019;     // the debug agent's mailbox, never created here
constexpr uint32_t kHeapHandleFabricMmioState = 0xA03D;  // the fabric MMIO allocator's state

inline constexpr Guid HeapListProtocolGuid = {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
// GUID-extension HOBs of the earlier phase that carry a buffer: a
// HeapBufferHeader, then the buffer's contents.
inline constexpr Guid HeapHobGuid = {0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};

constexpr uint32_t kHeapSignature = 0x50414548;  // "HEAP"
constexpr uint8_t kHeapPersistFirst = 1;
constexpr uint8_t kHeapPersistRuntime = 8;  // survives into the OS runtime; also the highest code
constexpr uint8_t kHeapValid = 1;

// The same 16 bytes in a node and in a HOB.
struct HeapBufferHeader {
  uint32_t Signature;
  uint32_t Handle;
  uint32_t Size;  // bytes of data
  uint8_t PersistCode;
  uint8_t Valid;
  uint8_t Reserved[2];
};
static_assert(sizeof(HeapBufferHeader) == 16 && offsetof(HeapBufferHeader, Handle) == 4 &&
              offsetof(HeapBufferHeader, Size) == 8 && offsetof(HeapBufferHeader, PersistCode) == 12 &&
              offsetof(HeapBufferHeader, Valid) == 13);

// Forward and back link; also the list's separate head.
struct HeapListLink {
  HeapListLink* Forward;
  HeapListLink* Back;
};

// One pool allocation of 32 + size bytes; the data follows the node.
struct HeapBufferNode {
  HeapListLink Link;
  HeapBufferHeader Header;
};
static_assert(sizeof(HeapListLink) == 16 && sizeof(HeapBufferNode) == 32 && offsetof(HeapBufferNode, Header) == 16);

// The interface published under HeapListProtocolGuid.
struct HeapListInterface {
  uint64_t Revision;  // 1
  HeapListLink Head;
};
static_assert(sizeof(HeapListInterface) == 24 && offsetof(HeapListInterface, Head) == 8);

#pragma pack(push, 1)
// A request for a new buffer: Size, Handle and PersistCode in; Data out.
struct HeapAllocateRequest {
  uint32_t Size;
  uint32_t Handle;
  uint8_t PersistCode;  // 1-8
  void* Data;           // unaligned
};
#pragma pack(pop)
static_assert(sizeof(HeapAllocateRequest) == 17 && offsetof(HeapAllocateRequest, Handle) == 4 &&
              offsetof(HeapAllocateRequest, PersistCode) == 8 && offsetof(HeapAllocateRequest, Data) == 9);

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
constexpr uint32_t kHeapBadPersistCode = 1;
constexpr uint32_t kHeapHandleExists = 2;
constexpr uint32_t kHeapNotFound = 2;
constexpr uint32_t kHeapNoMemory = 5;

// Trap codes.
constexpr uint32_t kTrapHeapNodeRuntime = 0x70177;  // no runtime-services pool for a node
constexpr uint32_t kTrapHeapNodeBoot = 0x70180;     // no boot-services pool for a node
constexpr uint32_t kTrapHeapInstall = 0x70268;      // the list could not be published

// This driver's interface record, and the head in use: this record's list
// until HeapListInit joins an earlier driver's.
extern HeapListInterface mHeapListInterface;
extern HeapListLink* mHeapList;

// Joins the published list, or creates, fills and publishes this driver's.
EfiStatus HeapListInit();
// On the entry's failure path: the list head lives in this driver's image,
// which the firmware unloads, so a list this driver published is withdrawn.
// A later driver then starts a list of its own.
void HeapListTeardown();
// Adds a node for each valid heap buffer the earlier phase's HOBs carry.
void HeapImportHobs();
// Allocates and appends one node for the header; EFI_UNSUPPORTED when the pool is exhausted.
EfiStatus HeapCreateNode(const HeapBufferHeader* header, HeapBufferNode** node);
// The first node of the list with this handle and a valid signature, or null.
HeapBufferNode* HeapFindNode(uint32_t handle);

// kHeapSuccess with Data set to the new, zero-filled buffer; kHeapBadPersistCode
// or kHeapHandleExists with the request unchanged; kHeapNoMemory with Data null.
uint32_t HeapAllocateBuffer(HeapAllocateRequest* request);
// kHeapSuccess with Data and Size set, or kHeapNotFound with Data null and Size 0.
uint32_t HeapLocateBuffer(HeapLocateRequest* request);

// Pool memory from the firmware; null when it refuses.
void* PoolAllocBoot(uint64_t size);
void* PoolAllocRuntime(uint64_t size);
// 16 bytes of runtime-services data, cleared.
void* PoolAllocRuntimeZeroed();
