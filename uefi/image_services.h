// What a UEFI application needs to load and start another image from its own
// disk: the boot services the driver never calls, the loaded-image and file
// protocols, the reset service and the DXE dispatcher's services. Used by the
// firmware-test loader only.
// Our own definitions, with the offsets checked.
#pragma once
#include "uefi/system_table.h"

using Char16 = uint16_t;

using EfiHandleProtocol = EfiStatus(EFIAPI*)(EfiHandle Handle, const Guid* Protocol, void** Interface);
using EfiReinstallProtocolInterface = EfiStatus(EFIAPI*)(EfiHandle Handle, const Guid* Protocol, void* OldInterface,
                                                         void* NewInterface);
// SearchType 2: every handle that carries Protocol.
constexpr uint32_t kLocateByProtocol = 2;
using EfiLocateHandle = EfiStatus(EFIAPI*)(uint32_t SearchType, const Guid* Protocol, void* SearchKey,
                                           uint64_t* BufferSize, EfiHandle* Buffer);
using EfiLoadImage = EfiStatus(EFIAPI*)(Boolean BootPolicy, EfiHandle ParentImageHandle, void* DevicePath,
                                        const void* SourceBuffer, uint64_t SourceSize, EfiHandle* ImageHandle);
using EfiStartImage = EfiStatus(EFIAPI*)(EfiHandle ImageHandle, uint64_t* ExitDataSize, Char16** ExitData);
using EfiSetWatchdogTimer = EfiStatus(EFIAPI*)(uint64_t Timeout, uint64_t WatchdogCode, uint64_t DataSize,
                                               Char16* WatchdogData);

// The boot-services slots above, by offset into EfiBootServices (whose own
// declaration keeps them untyped).
static_assert(offsetof(EfiBootServices, ReinstallProtocolInterface) == 0x88);
static_assert(offsetof(EfiBootServices, HandleProtocol) == 0x98);
static_assert(offsetof(EfiBootServices, LocateHandle) == 0xB0);
static_assert(offsetof(EfiBootServices, LoadImage) == 0xC8);
static_assert(offsetof(EfiBootServices, StartImage) == 0xD0);
static_assert(offsetof(EfiBootServices, SetWatchdogTimer) == 0x100);

template <class Fn>
Fn BootService(void* slot) {
  return reinterpret_cast<Fn>(slot);
}

// The runtime-services table up to ResetSystem.
enum EfiResetType : uint32_t { EfiResetCold = 0, EfiResetWarm = 1, EfiResetShutdown = 2 };
struct EfiRuntimeServicesTable {
  EfiTableHeader Hdr;
  void* GetTime;
  void* SetTime;
  void* GetWakeupTime;
  void* SetWakeupTime;
  void* SetVirtualAddressMap;
  void* ConvertPointer;
  void* GetVariable;
  void* GetNextVariableName;
  void* SetVariable;
  void* GetNextHighMonotonicCount;
  void(EFIAPI* ResetSystem)(EfiResetType ResetType, EfiStatus ResetStatus, uint64_t DataSize, void* ResetData);
};
static_assert(offsetof(EfiRuntimeServicesTable, ResetSystem) == 0x68);

inline constexpr Guid kLoadedImageProtocolGuid = {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
struct EfiLoadedImage {
  uint32_t Revision;
  EfiHandle ParentHandle;
  EfiSystemTable* SystemTable;
  EfiHandle DeviceHandle;
  void* FilePath;
  void* Reserved;
  uint32_t LoadOptionsSize;
  void* LoadOptions;
  void* ImageBase;
  uint64_t ImageSize;
  EfiMemoryType ImageCodeType;
  EfiMemoryType ImageDataType;
  void* Unload;
};
static_assert(offsetof(EfiLoadedImage, DeviceHandle) == 0x18 && offsetof(EfiLoadedImage, ImageBase) == 0x40 &&
              offsetof(EfiLoadedImage, ImageSize) == 0x48);

inline constexpr Guid kSimpleFileSystemProtocolGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

struct EfiFile {
  uint64_t Revision;
  EfiStatus(EFIAPI* Open)(EfiFile* Self, EfiFile** NewHandle, const Char16* FileName, uint64_t OpenMode,
                          uint64_t Attributes);
  EfiStatus(EFIAPI* Close)(EfiFile* Self);
  void* Delete;
  EfiStatus(EFIAPI* Read)(EfiFile* Self, uint64_t* BufferSize, void* Buffer);
};
static_assert(offsetof(EfiFile, Open) == 0x08 && offsetof(EfiFile, Close) == 0x10 && offsetof(EfiFile, Read) == 0x20);
constexpr uint64_t kFileModeRead = 1;

struct EfiSimpleFileSystem {
  uint64_t Revision;
  EfiStatus(EFIAPI* OpenVolume)(EfiSimpleFileSystem* Self, EfiFile** Root);
};
static_assert(offsetof(EfiSimpleFileSystem, OpenVolume) == 0x08);

// The DXE services table (a configuration-table entry): its dispatcher takes
// firmware volumes handed to it at run time.
inline constexpr Guid kDxeServicesTableGuid = {0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};
struct EfiDxeServices {
  EfiTableHeader Hdr;
  void* MemoryAndIoSpaceServices[13];
  EfiStatus(EFIAPI* Dispatch)();
  void* Schedule;
  void* Trust;
  EfiStatus(EFIAPI* ProcessFirmwareVolume)(const void* FirmwareVolumeHeader, uint64_t Size,
                                           EfiHandle* FirmwareVolumeHandle);
};
static_assert(offsetof(EfiDxeServices, Dispatch) == 0x80 && offsetof(EfiDxeServices, ProcessFirmwareVolume) == 0x98);
