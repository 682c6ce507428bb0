// EFI system table, boot-services table and configuration table.
#pragma once
#include "uefi/base.h"

struct EfiTableHeader {
  uint64_t Signature;
  uint32_t Revision;
  uint32_t HeaderSize;
  uint32_t Crc32;
  uint32_t Reserved;
};
static_assert(sizeof(EfiTableHeader) == 24);

constexpr uint64_t kSystemTableSignature = 0x5453595320494249ull;   // "IBI SYST"
constexpr uint64_t kBootServicesSignature = 0x56524553544f4f42ull;  // "BOOTSERV"
constexpr uint64_t kRuntimeServicesSignature = 0x56524553544e5552ull; // "RUNTSERV"

struct EfiConfigurationTable {
  Guid VendorGuid;
  void* VendorTable;
};
static_assert(sizeof(EfiConfigurationTable) == 24 && offsetof(EfiConfigurationTable, VendorTable) == 16);

using EfiRaiseTpl = EfiTpl(EFIAPI*)(EfiTpl NewTpl);
using EfiRestoreTpl = void(EFIAPI*)(EfiTpl OldTpl);
using EfiAllocatePool = EfiStatus(EFIAPI*)(EfiMemoryType PoolType, uint64_t Size, void** Buffer);
using EfiFreePool = EfiStatus(EFIAPI*)(void* Buffer);
using EfiCreateEvent = EfiStatus(EFIAPI*)(uint32_t Type, EfiTpl NotifyTpl, EfiEventNotify NotifyFunction,
                                          void* NotifyContext, EfiEvent* Event);
using EfiSignalEvent = EfiStatus(EFIAPI*)(EfiEvent Event);
using EfiCloseEvent = EfiStatus(EFIAPI*)(EfiEvent Event);
using EfiUninstallProtocolInterface = EfiStatus(EFIAPI*)(EfiHandle Handle, const Guid* Protocol, void* Interface);
using EfiInstallProtocolInterface = EfiStatus(EFIAPI*)(EfiHandle* Handle, const Guid* Protocol,
                                                       EfiInterfaceType InterfaceType, void* Interface);
using EfiRegisterProtocolNotify = EfiStatus(EFIAPI*)(const Guid* Protocol, EfiEvent Event, void** Registration);
using EfiLocateProtocol = EfiStatus(EFIAPI*)(const Guid* Protocol, void* Registration, void** Interface);
using EfiCreateEventEx = EfiStatus(EFIAPI*)(uint32_t Type, EfiTpl NotifyTpl, EfiEventNotify NotifyFunction,
                                            const void* NotifyContext, const Guid* EventGroup, EfiEvent* Event);

// The boot-services table through CreateEventEx. Slots this system never calls are
// kept as untyped pointers so the layout stays exact.
struct EfiBootServices {
  EfiTableHeader Hdr;
  EfiRaiseTpl RaiseTpl;
  EfiRestoreTpl RestoreTpl;
  void* AllocatePages;
  void* FreePages;
  void* GetMemoryMap;
  EfiAllocatePool AllocatePool;
  EfiFreePool FreePool;
  EfiCreateEvent CreateEvent;
  void* SetTimer;
  void* WaitForEvent;
  EfiSignalEvent SignalEvent;
  EfiCloseEvent CloseEvent;
  void* CheckEvent;
  EfiInstallProtocolInterface InstallProtocolInterface;
  void* ReinstallProtocolInterface;
  EfiUninstallProtocolInterface UninstallProtocolInterface;
  void* HandleProtocol;
  void* Reserved;
  EfiRegisterProtocolNotify RegisterProtocolNotify;
  void* LocateHandle;
  void* LocateDevicePath;
  void* InstallConfigurationTable;
  void* LoadImage;
  void* StartImage;
  void* Exit;
  void* UnloadImage;
  void* ExitBootServices;
  void* GetNextMonotonicCount;
  void* Stall;
  void* SetWatchdogTimer;
  void* ConnectController;
  void* DisconnectController;
  void* OpenProtocol;
  void* CloseProtocol;
  void* OpenProtocolInformation;
  void* ProtocolsPerHandle;
  void* LocateHandleBuffer;
  EfiLocateProtocol LocateProtocol;
  void* InstallMultipleProtocolInterfaces;
  void* UninstallMultipleProtocolInterfaces;
  void* CalculateCrc32;
  void* CopyMem;
  void* SetMem;
  EfiCreateEventEx CreateEventEx;
};
static_assert(offsetof(EfiBootServices, RaiseTpl) == 0x18);
static_assert(offsetof(EfiBootServices, AllocatePool) == 0x40);
static_assert(offsetof(EfiBootServices, FreePool) == 0x48);
static_assert(offsetof(EfiBootServices, CreateEvent) == 0x50);
static_assert(offsetof(EfiBootServices, SignalEvent) == 0x68);
static_assert(offsetof(EfiBootServices, CloseEvent) == 0x70);
static_assert(offsetof(EfiBootServices, InstallProtocolInterface) == 0x80);
static_assert(offsetof(EfiBootServices, RegisterProtocolNotify) == 0xA8);
static_assert(offsetof(EfiBootServices, LocateProtocol) == 0x140);
static_assert(offsetof(EfiBootServices, CreateEventEx) == 0x170);
static_assert(sizeof(EfiBootServices) == 0x178);

struct EfiRuntimeServices {
  EfiTableHeader Hdr;
  // Not used by the driver; the pointer is stored only.
};

struct EfiSystemTable {
  EfiTableHeader Hdr;
  uint16_t* FirmwareVendor;
  uint32_t FirmwareRevision;
  EfiHandle ConsoleInHandle;
  void* ConIn;
  EfiHandle ConsoleOutHandle;
  void* ConOut;
  EfiHandle StandardErrorHandle;
  void* StdErr;
  EfiRuntimeServices* RuntimeServices;
  EfiBootServices* BootServices;
  uint64_t NumberOfTableEntries;
  EfiConfigurationTable* ConfigurationTable;
};
static_assert(offsetof(EfiSystemTable, FirmwareRevision) == 0x20);
static_assert(offsetof(EfiSystemTable, RuntimeServices) == 0x58);
static_assert(offsetof(EfiSystemTable, BootServices) == 0x60);
static_assert(offsetof(EfiSystemTable, NumberOfTableEntries) == 0x68);
static_assert(offsetof(EfiSystemTable, ConfigurationTable) == 0x70);
static_assert(sizeof(EfiSystemTable) == 0x78);

// The configuration-table entry that points at the HOB list.
inline constexpr Guid kHobListGuid = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
// The event group the firmware signals when it is about to boot.
inline constexpr Guid kReadyToBootGroupGuid = {0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};

using EfiImageEntryPoint = EfiStatus(EFIAPI*)(EfiHandle ImageHandle, EfiSystemTable* SystemTable);
