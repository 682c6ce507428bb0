// Basic UEFI ABI types shared by the driver and the virtual platform.
// Our own definitions: no outside firmware headers are used anywhere.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Every firmware-facing function uses the x64 calling convention UEFI prescribes, also
// in the host build, so the same table types serve both builds.
#define EFIAPI __attribute__((ms_abi))

// Mutable driver state lives in one section. The host build restores it before
// every boot, which gives each boot a freshly loaded image.
#define IMAGE_STATE __attribute__((section("mistate")))

using EfiStatus = uint64_t;
using EfiHandle = void*;
using EfiEvent = void*;
using EfiTpl = uint64_t;
using Boolean = uint8_t;

constexpr EfiStatus kEfiErrorBit = 0x8000000000000000ull;
constexpr EfiStatus EFI_SUCCESS = 0;
constexpr EfiStatus EFI_INVALID_PARAMETER = kEfiErrorBit | 2;
constexpr EfiStatus EFI_UNSUPPORTED = kEfiErrorBit | 3;
constexpr EfiStatus EFI_BAD_BUFFER_SIZE = kEfiErrorBit | 4;
constexpr EfiStatus EFI_BUFFER_TOO_SMALL = kEfiErrorBit | 5;
constexpr EfiStatus EFI_DEVICE_ERROR = kEfiErrorBit | 7;
constexpr EfiStatus EFI_OUT_OF_RESOURCES = kEfiErrorBit | 9;
constexpr EfiStatus EFI_NOT_FOUND = kEfiErrorBit | 14;
constexpr EfiStatus EFI_ABORTED = kEfiErrorBit | 21;

constexpr bool EfiError(EfiStatus s) { return (s & kEfiErrorBit) != 0; }

// 16 bytes in the UEFI layout; compared as 16 bytes.
struct Guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(Guid) == 16 && offsetof(Guid, Data2) == 4 && offsetof(Guid, Data3) == 6 &&
              offsetof(Guid, Data4) == 8);

constexpr bool GuidEqual(const Guid& a, const Guid& b) {
  // At run time as two 8-byte halves: the same answer in a fraction of the code.
  if (!__builtin_is_constant_evaluated()) {
    uint64_t x[2], y[2];
    __builtin_memcpy(x, &a, sizeof x);
    __builtin_memcpy(y, &b, sizeof y);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// Task priority levels.
constexpr EfiTpl TPL_APPLICATION = 4;
constexpr EfiTpl TPL_CALLBACK = 8;
constexpr EfiTpl TPL_NOTIFY = 16;
constexpr EfiTpl TPL_HIGH_LEVEL = 31;

// Event types.
constexpr uint32_t EVT_TIMER = 0x80000000u;
constexpr uint32_t EVT_RUNTIME = 0x40000000u;
constexpr uint32_t EVT_NOTIFY_WAIT = 0x00000100u;
constexpr uint32_t EVT_NOTIFY_SIGNAL = 0x00000200u;

// Memory types used for pool memory.
enum EfiMemoryType : uint32_t {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
  EfiRuntimeServicesCode = 5,
  EfiRuntimeServicesData = 6,
  EfiConventionalMemory = 7,
};

enum EfiInterfaceType : uint32_t { EFI_NATIVE_INTERFACE = 0 };

using EfiEventNotify = void(EFIAPI*)(EfiEvent Event, void* Context);
